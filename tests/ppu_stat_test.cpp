// STAT, LY and LYC on the models the test ROMs check less: the coincidence
// bit and the STAT interrupt sources on CGB revisions, the STAT and LYC
// write quirks per model, and LY read by a CPU moved off its M-cycle grid
// by a speed switch. The DMG behaviour is checked by the test ROMs.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "lcd_machine.h"

namespace {

// Cycle within the frame of a line cycle, counted from the start of line 100.
int from_line_100(int line, int cycle) {
    return ((line - 100 + PPU::LINES_PER_FRAME) % PPU::LINES_PER_FRAME) * PPU::LINE_CYCLES + cycle;
}

// The coincidence bit around the starts of lines 10 and 11, LYC = 10.
struct CoincidencePoint {
    const char* model;
    int line;
    int cycle;
    bool set;
};

class PpuCoincidence : public testing::TestWithParam<CoincidencePoint> {};

TEST_P(PpuCoincidence, FollowsTheComparisonWindow) {
    const CoincidencePoint& p = GetParam();
    Lcd lcd(p.model);
    lcd.write(REG_LYC, 10);
    lcd.run_to(p.line, p.cycle);
    EXPECT_EQ(lcd.coincidence(), p.set);
}

INSTANTIATE_TEST_SUITE_P(
    Models, PpuCoincidence,
    testing::Values(
        // Early CGB: the comparison is off for the first 4 cycles of a line.
        CoincidencePoint{"cgbC", 10, 3, false}, CoincidencePoint{"cgbC", 11, 0, false},
        // Later CGB: the old line still matches for 2 cycles, then 2 cycles off.
        CoincidencePoint{"cgbE", 10, 3, false}, CoincidencePoint{"cgbE", 10, 4, true},
        CoincidencePoint{"cgbE", 11, 1, true}, CoincidencePoint{"cgbE", 11, 2, false},
        CoincidencePoint{"cgbD", 11, 1, true}));

// ---------------------------------------------------------------------------
// The STAT interrupt over a whole frame

using Points = std::vector<std::pair<int, int>>;  // (line, cycle)

struct FrameCase {
    const char* name;
    const char* model;
    u8 enables;
    u8 lyc;
    std::function<Points()> expected;
    bool double_speed = false;
};

class PpuStatSources : public testing::TestWithParam<FrameCase> {};

TEST_P(PpuStatSources, RequestedOnEveryRisingEdgeOfTheLine) {
    const FrameCase& p = GetParam();
    Lcd lcd(p.model);
    lcd.gb.set_double_speed(p.double_speed);
    lcd.write(REG_LYC, p.lyc);
    lcd.write(REG_STAT, p.enables);
    lcd.run_to_line(100);
    lcd.clear_requests();
    std::vector<int> seen;
    for (int t = 1; t <= PPU::FRAME_CYCLES; ++t) {
        lcd.run(1);
        if (lcd.stat_requested()) {
            seen.push_back(t);
            lcd.clear_requests();
        }
    }
    std::vector<int> expected;
    for (auto [line, cycle] : p.expected()) {
        int t = from_line_100(line, cycle);
        expected.push_back(t == 0 ? PPU::FRAME_CYCLES : t);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
}

const FrameCase FRAME_CASES[] = {
    {"vblank_cgb", "cgbC", 0x10, 0, [] { return Points{{144, 4}}; }},
    // In double speed mode 1 and its STAT source begin 2 cycles into line 144.
    {"vblank_cgb_double_speed", "cgbE", 0x10, 0, [] { return Points{{144, 2}}; }, true},
    {"vblank_cgbc_double_speed", "cgbC", 0x10, 0, [] { return Points{{144, 2}}; }, true},
    // OAM: lines 1-144 at their first cycle, line 0 when its mode 2 starts.
    {"oam_cgb", "cgbE", 0x20, 0,
     [] {
         Points p{{0, 2}};
         for (int line = 1; line <= 144; ++line) p.push_back({line, 0});
         return p;
     }},
    {"lyc_0_cgb", "cgbE", 0x40, 0, [] { return Points{{153, 12}}; }},
};

INSTANTIATE_TEST_SUITE_P(Sources, PpuStatSources, testing::ValuesIn(FRAME_CASES),
                         [](const testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// STAT writes

struct StatWrite {
    const char* name;
    const char* model;
    u8 enables_before;
    u8 lyc;
    int line;
    int cycle;
    u8 written;
    bool requested;
};

class PpuStatWrite : public testing::TestWithParam<StatWrite> {};

TEST_P(PpuStatWrite, RequestOnWrite) {
    const StatWrite& p = GetParam();
    Lcd lcd(p.model);
    lcd.write(REG_LYC, p.lyc);
    lcd.write(REG_STAT, p.enables_before);
    lcd.run_to(p.line, p.cycle);
    lcd.clear_requests();
    lcd.write(REG_STAT, p.written);
    EXPECT_EQ(lcd.stat_requested(), p.requested);
}

const StatWrite STAT_WRITES[] = {
    // DMG family: the write itself briefly enables every source.
    {"mgb_hblank", "mgb", 0x00, 99, 10, 300, 0x00, true},
    {"sgb2_vblank", "sgb2", 0x00, 99, 150, 100, 0x00, true},
    // CGB: nothing unless an enabled source becomes active.
    {"cgbC_hblank", "cgbC", 0x00, 99, 10, 300, 0x00, false},
    {"cgbE_vblank", "cgbE", 0x00, 99, 150, 100, 0x00, false},
    {"cgbE_ly_is_lyc", "cgbE", 0x00, 10, 10, 300, 0x00, false},
    // Early in a line the LY = LYC source still compares the previous line; a
    // CGB other than "cgbD" first re-evaluates it against the current line
    // with the enable bits the write replaces.
    {"old_bits_cgbE", "cgbE", 0x40, 10, 10, 3, 0x00, true},
    {"old_bits_cgbC", "cgbC", 0x40, 10, 10, 3, 0x00, true},
    {"old_bits_cgbD", "cgbD", 0x40, 10, 10, 3, 0x00, false},
    // Enabling the active mode's source requests at once on every model.
    {"enable_hblank_cgbD", "cgbD", 0x00, 99, 10, 300, 0x08, true},
    {"enable_vblank_cgbE", "cgbE", 0x00, 99, 150, 100, 0x10, true},
    {"enable_lyc_cgbE", "cgbE", 0x00, 10, 10, 300, 0x40, true},
    {"enable_other_mode_cgbE", "cgbE", 0x00, 99, 10, 300, 0x30, false},
    // ... but not while another source already holds the line high.
    {"line_held_by_lyc_cgbC", "cgbC", 0x40, 10, 10, 300, 0x48, false},
};

INSTANTIATE_TEST_SUITE_P(Models, PpuStatWrite, testing::ValuesIn(STAT_WRITES),
                         [](const testing::TestParamInfo<StatWrite>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// LYC writes

struct LycWrite {
    const char* model;
    int line;
    int cycle;
    bool requested;
};

class PpuLycWrite : public testing::TestWithParam<LycWrite> {};

// LY = LYC enabled, LYC moved from 7 to the current line.
TEST_P(PpuLycWrite, MatchingValueRequestsOnlyInsideTheLine) {
    const LycWrite& p = GetParam();
    Lcd lcd(p.model);
    lcd.write(REG_LYC, 7);
    lcd.write(REG_STAT, 0x40);
    lcd.run_to(p.line, p.cycle);
    lcd.clear_requests();
    lcd.write(REG_LYC, u8(p.line));
    EXPECT_EQ(lcd.stat_requested(), p.requested);
}

INSTANTIATE_TEST_SUITE_P(Models, PpuLycWrite,
                         testing::Values(LycWrite{"cgbE", 0, 4, false},
                                         LycWrite{"cgbE", 0, 5, true}, LycWrite{"cgbC", 0, 451, true},
                                         LycWrite{"cgbE", 0, 452, false}, LycWrite{"cgbE", 20, 100, true},
                                         LycWrite{"cgbE", 20, 3, false}));

// A CPU moved off its M-cycle grid by a return from double speed reads LY in
// line cycles 454 and 455, where the counter's bits are changing.
struct OffGridRead {
    const char* model;
    bool double_speed;
    int line;
    int cycle;
    u8 value;
};

class PpuLyOffGrid : public testing::TestWithParam<OffGridRead> {};

TEST_P(PpuLyOffGrid, ReadInTheLastCyclesOfALine) {
    const OffGridRead& p = GetParam();
    Lcd lcd(p.model);
    lcd.gb.set_double_speed(p.double_speed);
    lcd.run_to(p.line, p.cycle);
    EXPECT_EQ(lcd.ly(), p.value);
    lcd.run(PPU::LINE_CYCLES - p.cycle);
    EXPECT_EQ(lcd.ly(), p.line + 1) << "the next line reads whole from its first cycle";
}

INSTANTIATE_TEST_SUITE_P(
    Models, PpuLyOffGrid,
    testing::Values(
        // Cycle 455: bits that must rise are still low; 0x8F shows 0x80.
        OffGridRead{"cgbE", false, 143, 455, 0x80}, OffGridRead{"cgbE", false, 47, 455, 0x20},
        OffGridRead{"cgbE", false, 5, 455, 4}, OffGridRead{"cgbE", false, 1, 455, 0},
        OffGridRead{"cgbE", true, 143, 455, 0x80}, OffGridRead{"cgbC", true, 1, 455, 0},
        OffGridRead{"cgbE", false, 145, 455, 144},
        // Cycle 454 still reads the line, except on CGB-C in single speed.
        OffGridRead{"cgbE", false, 143, 454, 143}, OffGridRead{"cgbE", true, 143, 454, 143},
        OffGridRead{"cgbC", true, 143, 454, 143}, OffGridRead{"cgbC", false, 143, 454, 0x80},
        OffGridRead{"cgbC", false, 143, 453, 143}));

}  // namespace
