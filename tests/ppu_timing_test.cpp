// Line and frame timing of the picture unit where the test ROMs do not
// reach: the first line on a CGB after the LCD is switched on, line 153 on
// the later CGB revisions and in double speed, and the frames presented to
// the host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lcd_machine.h"

namespace {

// Records every frame the machine presents and the 4 MHz cycle it came at.
class RecordingHost : public Host {
public:
    explicit RecordingHost(GB& gb_) : gb(gb_) {}
    void update_display(const u32* frame) override {
        cycles.push_back(gb.cpu.cycles_4mhz);
        all_white.push_back(true);
        for (int i = 0; i < PPU::SCREEN_WIDTH * PPU::SCREEN_HEIGHT; ++i)
            if (frame[i] != 0xFFFFFFFF) all_white.back() = false;
    }
    u8 get_joypad_state() override { return 0; }
    GB& gb;
    std::vector<u64> cycles;
    std::vector<bool> all_white;
};

// ---------------------------------------------------------------------------
// Switching the LCD on

// The first line is 452 cycles without an OAM scan; mode 3 starts at cycle 80
// and lasts 171 cycles on a CGB (the DMG's 169 is checked by the test ROMs).
TEST(PpuLcdOn, CgbFirstLineIs452CyclesWithoutOamScan) {
    Lcd lcd("cgbC");
    lcd.write(REG_LCDC, 0x11);
    lcd.run(1000);
    lcd.write(REG_LCDC, 0x91);
    for (int cycle = 0; cycle < 452; ++cycle) {
        const int expected = (cycle >= 80 && cycle < 80 + 171) ? 3 : 0;
        ASSERT_EQ(lcd.mode(), expected) << "line cycle " << cycle;
        ASSERT_EQ(lcd.ly(), 0) << "line cycle " << cycle;
        lcd.run(1);
    }
    EXPECT_EQ(lcd.ly(), 1);
    EXPECT_EQ(lcd.mode(), 0) << "line 1 begins like any other";
    EXPECT_EQ(lcd.cycles_until([&] { return lcd.ly() == 2; }), 456);
}

TEST(PpuLcdOn, SecondEnableDoesNotRestartTheLine) {
    Lcd lcd("dmgB");
    lcd.write(REG_LCDC, 0x11);
    lcd.write(REG_LCDC, 0x91);
    lcd.run(100);
    lcd.write(REG_LCDC, 0x93);
    EXPECT_EQ(lcd.cycles_until([&] { return lcd.ly() == 1; }), 352);
}

// ---------------------------------------------------------------------------
// Line 153: LY reads 153 only for its first few cycles

struct Line153 {
    const char* model;
    bool double_speed;
    int zero_from;  // line cycle from which LY reads 0 (cycle 5 is read only
                    // by a CPU moved off its grid by a speed switch)
};

class PpuLine153 : public testing::TestWithParam<Line153> {};

TEST_P(PpuLine153, LyTurnsToZero) {
    const Line153& p = GetParam();
    Lcd lcd(p.model);
    lcd.gb.set_double_speed(p.double_speed);
    lcd.run_to_line(153);
    for (int cycle = 0; cycle < 16; ++cycle, lcd.run(1))
        EXPECT_EQ(lcd.ly(), cycle < p.zero_from ? 153 : 0) << "line cycle " << cycle;
    EXPECT_EQ(lcd.mode(), 1);
    // Line 0 of the next frame still starts 456 cycles after line 153.
    EXPECT_EQ(lcd.cycles_until([&] { return lcd.ly() == 1; }), 456 - 16 + 456);
}

INSTANTIATE_TEST_SUITE_P(Models, PpuLine153,
                         testing::Values(Line153{"cgbD", false, 5}, Line153{"agb0", false, 5},
                                         Line153{"cgbC", true, 5}));

// ---------------------------------------------------------------------------
// Switching the LCD off

TEST(PpuLcdOff, PresentsTwoWhiteFramesUnlessRunningToATarget) {
    for (bool running_to_target : {false, true}) {
        Lcd lcd("dmgB");
        RecordingHost host(lcd.gb);
        lcd.gb.host = &host;
        lcd.run_to_line(20);
        lcd.gb.turbo_run = running_to_target;
        lcd.write(REG_LCDC, 0x11);
        if (running_to_target) {
            EXPECT_TRUE(host.cycles.empty());
        } else {
            ASSERT_EQ(host.cycles.size(), 2u);
            EXPECT_TRUE(host.all_white[0] && host.all_white[1]);
        }
        lcd.gb.host = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Frames

TEST(PpuFrame, DoneWhenTheLastVisibleLineEndsAndPresentedEveryFrame) {
    Lcd lcd("dmgB");
    RecordingHost host(lcd.gb);
    lcd.gb.host = &host;
    lcd.run_to_line(143);
    lcd.gb.ppu.frame_done = false;
    // Mode 3 of line 143 ends at cycle 253.
    EXPECT_EQ(lcd.cycles_until([&] { return lcd.gb.ppu.frame_done; }), 253);
    EXPECT_EQ(lcd.ly(), 143);
    for (int frame = 0; frame < 2; ++frame) {
        lcd.gb.ppu.frame_done = false;
        EXPECT_EQ(lcd.cycles_until([&] { return lcd.gb.ppu.frame_done; }), PPU::FRAME_CYCLES);
    }
    ASSERT_EQ(host.cycles.size(), 3u);
    EXPECT_EQ(host.cycles[2] - host.cycles[1], u64(PPU::FRAME_CYCLES));
    lcd.gb.host = nullptr;
}

// A DMG whose CPU is stopped shows white frames while the LCD stays on, even
// when it stopped in mode 3, whose picture fetches still see VRAM.
TEST(PpuFrame, StoppedDmgShowsWhite) {
    for (bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stopped" : "running");
        // STOP, or NOPs; the post-boot picture shows the logo.
        Lcd lcd("dmgB", RomImage(stop ? std::vector<u8>{0x10, 0x00} : std::vector<u8>{}));
        RecordingHost host(lcd.gb);
        lcd.gb.host = &host;
        lcd.run_to(20, 100);
        ASSERT_EQ(lcd.mode(), 3);
        lcd.m.step();
        ASSERT_EQ(lcd.gb.cpu.stopped, stop);
        lcd.run(2 * PPU::FRAME_CYCLES);
        ASSERT_EQ(host.all_white.size(), 2u);
        EXPECT_EQ(host.all_white[1], stop);
        EXPECT_EQ(lcd.read(REG_LCDC) & 0x80, 0x80);
        lcd.gb.host = nullptr;
    }
}

// The debug viewers draw the maps with the LCDC, SCX and SCY values that
// stood when line 72 was finished.
TEST(PpuFrame, MapSnapshotTakesTheRegistersAsLine72Ends) {
    Lcd lcd("dmgB");
    auto set = [&](u8 lcdc, u8 scx, u8 scy) {
        lcd.write(REG_LCDC, lcdc);
        lcd.write(REG_SCX, scx);
        lcd.write(REG_SCY, scy);
    };
    lcd.run_to(71, 300);
    set(0x91, 71, 1);
    lcd.run_to(72, 10);  // OAM scan of line 72
    set(0x93, 72, 2);
    lcd.run(290);  // horizontal blank of line 72
    set(0x95, 99, 9);
    lcd.run_to(73, 10);
    set(0x97, 73, 3);
    lcd.run_to(100, 0);
    EXPECT_EQ(lcd.gb.ppu.map_snapshot_lcdc, (std::array<u8, 3>{0x93, 72, 2}));
}

TEST(PpuFrame, NotPresentedWhileRunningFarAheadToATarget) {
    Lcd lcd("dmgB");
    RecordingHost host(lcd.gb);
    lcd.gb.host = &host;
    lcd.gb.turbo_run = true;
    // Target four frames away: the first two frames are skipped, the last two shown.
    lcd.gb.cpu.turbo_target_cycle = lcd.gb.cpu.cycles_4mhz + 4 * PPU::FRAME_CYCLES;
    int frames_done = 0;
    for (int frame = 0; frame < 4; ++frame) {
        lcd.gb.ppu.frame_done = false;
        if (lcd.cycles_until([&] { return lcd.gb.ppu.frame_done; }) > 0) ++frames_done;
    }
    EXPECT_EQ(frames_done, 4);
    EXPECT_EQ(host.cycles.size(), 2u);
    lcd.gb.host = nullptr;
}

}  // namespace
