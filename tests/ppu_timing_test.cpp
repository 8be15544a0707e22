// Line and frame timing of the picture unit as the CPU sees it through STAT,
// LY and the interrupt flags: the modes of a line, the length of mode 3, the
// first line after the LCD is switched on, VBlank, line 153, and the LCD
// switched off.
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
// The modes of a visible line

struct LineModes {
    const char* model;
    bool phase_shift;  // single speed entered back from double speed out of phase
    int mode_2_from;
    int mode_3_from;
    int mode_0_from;
};

class PpuVisibleLine : public testing::TestWithParam<LineModes> {};

TEST_P(PpuVisibleLine, ModesFollowTheLineCycle) {
    const LineModes& p = GetParam();
    Lcd lcd(p.model);
    lcd.gb.ppu_phase_shift = p.phase_shift;
    lcd.run_to_line(10);
    for (int cycle = 0; cycle < PPU::LINE_CYCLES; ++cycle) {
        const int expected = cycle >= p.mode_0_from   ? 0
                             : cycle >= p.mode_3_from ? 3
                             : cycle >= p.mode_2_from ? 2
                                                      : 0;
        ASSERT_EQ(lcd.mode(), expected) << "line cycle " << cycle;
        ASSERT_EQ(lcd.ly(), 10) << "line cycle " << cycle;
        lcd.run(1);
    }
    EXPECT_EQ(lcd.ly(), 11) << "a line is 456 cycles";
}

INSTANTIATE_TEST_SUITE_P(Models, PpuVisibleLine,
                         testing::Values(LineModes{"dmgB", false, 4, 81, 253}, LineModes{"cgbC", false, 2, 81, 253},
                                         LineModes{"cgbE", true, 0, 80, 252}));

// ---------------------------------------------------------------------------
// Mode 3 length: fine scroll, window and sprites

struct SpriteAt {
    u8 y, x;
};

struct Mode3Case {
    const char* name;
    const char* model;
    u8 lcdc;
    u8 scx;
    u8 wx;
    u8 wy;
    std::vector<SpriteAt> sprites;
    int mode_3_cycles;  // on line 10
};

class PpuMode3Length : public testing::TestWithParam<Mode3Case> {};

TEST_P(PpuMode3Length, OnLineTen) {
    const Mode3Case& p = GetParam();
    Lcd lcd(p.model);
    // Set up during the vertical blank the machine starts in.
    ASSERT_EQ(lcd.mode(), 1);
    lcd.write(REG_SCX, p.scx);
    lcd.write(REG_WX, p.wx);
    lcd.write(REG_WY, p.wy);
    for (size_t i = 0; i < p.sprites.size(); ++i) lcd.sprite(int(i), p.sprites[i].y, p.sprites[i].x);
    lcd.write(REG_LCDC, p.lcdc);
    lcd.run_to_line(10);
    int mode_3 = 0;
    for (int cycle = 0; cycle < PPU::LINE_CYCLES; ++cycle, lcd.run(1))
        if (lcd.mode() == 3) ++mode_3;
    EXPECT_EQ(mode_3, p.mode_3_cycles);
}

// Sprites on line 10 have Y = 26 (8-pixel rows 10-17); Y = 18 reaches line 10
// only as a 16-pixel sprite.
std::vector<SpriteAt> repeat(int n, SpriteAt s) { return std::vector<SpriteAt>(size_t(n), s); }

std::vector<SpriteAt> ten_off_screen_then_one() {
    auto v = repeat(10, {26, 168});
    v.push_back({26, 8});
    return v;
}

const Mode3Case MODE_3_CASES[] = {
    {"plain", "dmgB", 0x91, 0, 0, 0, {}, 172},
    {"scx5", "dmgB", 0x91, 5, 0, 0, {}, 177},
    {"coarse_scroll_is_free", "dmgB", 0x91, 13, 0, 0, {}, 177},
    {"window_wx7", "dmgB", 0xB1, 0, 7, 0, {}, 178},
    {"window_reached_at_line_5", "dmgB", 0xB1, 0, 7, 5, {}, 178},
    {"window_below_the_line", "dmgB", 0xB1, 0, 7, 20, {}, 172},
    {"window_wx165", "dmgB", 0xB1, 0, 165, 0, {}, 178},
    {"window_wx166_off_screen", "dmgB", 0xB1, 0, 166, 0, {}, 172},
    {"window_wx7_scx3", "dmgB", 0xB1, 3, 7, 0, {}, 181},
    {"window_wx0_scx6", "dmgB", 0xB1, 6, 0, 0, {}, 185},
    {"window_wx0_scx7", "dmgB", 0xB1, 7, 0, 0, {}, 187},
    {"sprite_x8", "dmgB", 0x93, 0, 0, 0, {{26, 8}}, 183},
    {"sprite_not_on_line", "dmgB", 0x93, 0, 0, 0, {{18, 8}}, 172},
    {"tall_sprite_reaches_line", "dmgB", 0x97, 0, 0, 0, {{18, 8}}, 183},
    {"ten_sprites_one_column", "dmgB", 0x93, 0, 0, 0, repeat(10, {26, 8}), 237},
    {"eleventh_sprite_ignored", "dmgB", 0x93, 0, 0, 0, repeat(11, {26, 8}), 237},
    {"off_screen_sprites_fill_the_ten", "dmgB", 0x93, 0, 0, 0, ten_off_screen_then_one(), 172},
    {"sprite_x12_small_penalty", "dmgB", 0x93, 0, 0, 0, {{26, 12}}, 179},
    {"sprite_x13_no_penalty", "dmgB", 0x93, 0, 0, 0, {{26, 13}}, 178},
    {"two_columns", "dmgB", 0x93, 0, 0, 0, {{26, 8}, {26, 16}}, 194},
    {"sprite_x0_scx3", "dmgB", 0x93, 3, 0, 0, {{26, 0}}, 186},
    {"sprite_and_window", "dmgB", 0xB3, 0, 7, 0, {{26, 8}}, 189},
};

INSTANTIATE_TEST_SUITE_P(Cases, PpuMode3Length, testing::ValuesIn(MODE_3_CASES),
                         [](const testing::TestParamInfo<Mode3Case>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Switching the LCD on

struct FirstLine {
    const char* model;
    int mode_3_cycles;  // mode 3 starts at cycle 80; no mode 2 on this line
};

class PpuFirstLine : public testing::TestWithParam<FirstLine> {};

TEST_P(PpuFirstLine, FirstLineIs452CyclesWithoutOamScan) {
    const FirstLine& p = GetParam();
    Lcd lcd(p.model);
    lcd.write(REG_LCDC, 0x11);
    lcd.run(1000);
    lcd.write(REG_LCDC, 0x91);
    for (int cycle = 0; cycle < 452; ++cycle) {
        const int expected = (cycle >= 80 && cycle < 80 + p.mode_3_cycles) ? 3 : 0;
        ASSERT_EQ(lcd.mode(), expected) << "line cycle " << cycle;
        ASSERT_EQ(lcd.ly(), 0) << "line cycle " << cycle;
        lcd.run(1);
    }
    EXPECT_EQ(lcd.ly(), 1);
    EXPECT_EQ(lcd.mode(), 0) << "line 1 begins like any other";
    EXPECT_EQ(lcd.cycles_until([&] { return lcd.ly() == 2; }), 456);
}

INSTANTIATE_TEST_SUITE_P(Models, PpuFirstLine,
                         testing::Values(FirstLine{"dmgB", 169}, FirstLine{"cgbC", 171}));

TEST(PpuLcdOn, SecondEnableDoesNotRestartTheLine) {
    Lcd lcd("dmgB");
    lcd.write(REG_LCDC, 0x11);
    lcd.write(REG_LCDC, 0x91);
    lcd.run(100);
    lcd.write(REG_LCDC, 0x93);
    EXPECT_EQ(lcd.cycles_until([&] { return lcd.ly() == 1; }), 352);
}

TEST(PpuLcdOn, FirstVBlankComesFourCyclesIntoLine144) {
    for (const char* model : {"dmgB", "cgbE"}) {
        Lcd lcd(model);
        lcd.write(REG_LCDC, 0x11);
        lcd.write(REG_IF, 0x00);
        lcd.write(REG_LCDC, 0x91);
        // 452 + 143 * 456 cycles to line 144, then 4 more.
        EXPECT_EQ(lcd.cycles_until([&] { return lcd.read(REG_IF) & INT_VBLANK; }), 65664) << model;
        EXPECT_EQ(lcd.ly(), 144) << model;
    }
}

// ---------------------------------------------------------------------------
// VBlank

TEST(PpuVBlank, RequestedFourCyclesIntoLine144AndEveryFrame) {
    for (const char* model : {"dmgB", "cgbE"}) {
        Lcd lcd(model);
        lcd.run_to_line(144);
        lcd.write(REG_IF, 0x00);
        EXPECT_EQ(lcd.cycles_until([&] { return lcd.read(REG_IF) & INT_VBLANK; }), 4) << model;
        for (int frame = 0; frame < 3; ++frame) {
            lcd.write(REG_IF, 0x00);
            EXPECT_EQ(lcd.cycles_until([&] { return lcd.read(REG_IF) & INT_VBLANK; }), PPU::FRAME_CYCLES) << model;
        }
    }
}

TEST(PpuVBlank, RequestedWhateverTheStatEnables) {
    Lcd lcd("dmgB");
    lcd.write(REG_STAT, 0x00);
    lcd.run_to_line(143);
    lcd.write(REG_IF, 0x00);
    EXPECT_EQ(lcd.cycles_until([&] { return lcd.read(REG_IF) & INT_VBLANK; }), 456 + 4);
    EXPECT_EQ(lcd.read(REG_IF) & INT_STAT, 0);
}

// ---------------------------------------------------------------------------
// Line 153: LY reads 153 only for its first few cycles

struct Line153 {
    const char* model;
    bool double_speed;
    bool phase_shift;
    int zero_from;  // line cycle from which LY reads 0
};

class PpuLine153 : public testing::TestWithParam<Line153> {};

TEST_P(PpuLine153, LyTurnsToZero) {
    const Line153& p = GetParam();
    Lcd lcd(p.model);
    lcd.gb.double_speed = p.double_speed;
    lcd.gb.ppu_phase_shift = p.phase_shift;
    lcd.run_to_line(153);
    for (int cycle = 0; cycle < 16; ++cycle, lcd.run(1))
        EXPECT_EQ(lcd.ly(), cycle < p.zero_from ? 153 : 0) << "line cycle " << cycle;
    EXPECT_EQ(lcd.mode(), 1);
    // Line 0 of the next frame still starts 456 cycles after line 153.
    EXPECT_EQ(lcd.cycles_until([&] { return lcd.ly() == 1; }), 456 - 16 + 456);
}

INSTANTIATE_TEST_SUITE_P(Models, PpuLine153,
                         testing::Values(Line153{"dmgB", false, false, 4}, Line153{"cgbC", false, false, 4},
                                         Line153{"cgbD", false, false, 6}, Line153{"agb0", false, false, 6},
                                         Line153{"cgbC", true, false, 6}, Line153{"cgbE", false, true, 2}));

TEST(PpuPhaseShift, Line144ShowsVBlankAtOnce) {
    for (bool shift : {false, true}) {
        Lcd lcd("cgbE");
        lcd.gb.ppu_phase_shift = shift;
        lcd.run_to_line(144);
        EXPECT_EQ(lcd.mode(), shift ? 1 : 0);
        lcd.run(4);
        EXPECT_EQ(lcd.mode(), 1);
    }
}

// ---------------------------------------------------------------------------
// Switching the LCD off

TEST(PpuLcdOff, LyAndModeReadZeroAndTheUnitStops) {
    for (const char* model : {"dmgB", "cgbE"}) {
        Lcd lcd(model);
        lcd.run_to_line(50);
        lcd.run(150);
        ASSERT_EQ(lcd.mode(), 3);
        lcd.write(REG_LCDC, 0x11);
        EXPECT_EQ(lcd.ly(), 0) << model;
        EXPECT_EQ(lcd.read(REG_STAT) & 0x83, 0x80) << model;
        lcd.write(REG_IF, 0x00);
        lcd.write(REG_STAT, 0x78);
        for (int i = 0; i < 2 * PPU::FRAME_CYCLES; i += 97) {
            lcd.run(97);
            ASSERT_EQ(lcd.ly(), 0) << model;
            ASSERT_EQ(lcd.mode(), 0) << model;
        }
        EXPECT_EQ(lcd.read(REG_IF) & (INT_VBLANK | INT_STAT), 0) << model;
        EXPECT_EQ(lcd.gb.cpu.next_ppu_cycle, NEVER) << model;
    }
}

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
