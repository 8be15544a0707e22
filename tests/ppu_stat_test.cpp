// STAT, LY and LYC as the CPU sees them, and the STAT interrupt: its four
// sources, the rising-edge rule of the shared STAT line, the STAT and LYC
// write quirks per model, and the coincidence bit around line starts and
// while the LCD is off.
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

// ---------------------------------------------------------------------------
// STAT reads

TEST(PpuStatRead, EnableBitsReadBack) {
    for (const char* model : {"dmgB", "cgbE"}) {
        Lcd lcd(model);
        lcd.run_to(10, 300);
        lcd.write(REG_LYC, 0x00);
        for (u8 enables : {0x08, 0x50, 0x78}) {
            lcd.write(REG_STAT, u8(enables | 0x87));  // mode, coincidence and bit 7 are not writable
            EXPECT_EQ(lcd.read(REG_STAT), enables | 0x80) << model;
        }
    }
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
        // DMG and early CGB: the comparison is off for the first 4 cycles of a line.
        CoincidencePoint{"dmgB", 10, 3, false}, CoincidencePoint{"dmgB", 10, 4, true},
        CoincidencePoint{"dmgB", 10, 455, true}, CoincidencePoint{"dmgB", 11, 0, false},
        CoincidencePoint{"cgbC", 10, 3, false}, CoincidencePoint{"cgbC", 11, 0, false},
        // Later CGB: the old line still matches for 2 cycles, then 2 cycles off.
        CoincidencePoint{"cgbE", 10, 3, false}, CoincidencePoint{"cgbE", 10, 4, true},
        CoincidencePoint{"cgbE", 11, 1, true}, CoincidencePoint{"cgbE", 11, 2, false},
        CoincidencePoint{"cgbD", 11, 1, true}));

TEST(PpuCoincidenceBit, Line153MatchesAtCycle4AndLine0AtCycle12) {
    struct Case {
        u8 lyc;
        int first_cycle_set;
        int last_cycle_set;
    };
    for (const Case c : {Case{153, 4, 7}, Case{0, 12, 455}}) {
        Lcd lcd("dmgB");
        lcd.write(REG_LYC, c.lyc);
        lcd.run_to_line(153);
        for (int cycle = 0; cycle < PPU::LINE_CYCLES; ++cycle, lcd.run(1))
            ASSERT_EQ(lcd.coincidence(), cycle >= c.first_cycle_set && cycle <= c.last_cycle_set)
                << "LYC " << int(c.lyc) << " cycle " << cycle;
    }
}

// With the LCD off the bit keeps the value it had when the LCD went off.
TEST(PpuCoincidenceBit, FrozenWhileTheLcdIsOff) {
    struct Case {
        u8 lyc_at_switch_off;
        u8 lyc_afterwards;
        bool set;
    };
    for (const Case c : {Case{5, 9, true}, Case{6, 5, false}, Case{5, 5, true}}) {
        Lcd lcd("dmgB");
        lcd.write(REG_LYC, c.lyc_at_switch_off);
        lcd.run_to(5, 100);
        lcd.write(REG_LCDC, 0x11);
        lcd.write(REG_LYC, c.lyc_afterwards);
        lcd.run(1000);
        EXPECT_EQ(lcd.coincidence(), c.set) << int(c.lyc_at_switch_off) << " then " << int(c.lyc_afterwards);
    }
}

// ---------------------------------------------------------------------------
// The STAT interrupt over a whole frame

using Points = std::vector<std::pair<int, int>>;  // (line, cycle)

Points hblank_points(int skip_line = -1) {
    Points p;
    for (int line = 0; line < 144; ++line)
        if (line != skip_line) p.push_back({line, 254});
    return p;
}

struct FrameCase {
    const char* name;
    const char* model;
    u8 enables;
    u8 lyc;
    std::function<Points()> expected;
};

class PpuStatSources : public testing::TestWithParam<FrameCase> {};

TEST_P(PpuStatSources, RequestedOnEveryRisingEdgeOfTheLine) {
    const FrameCase& p = GetParam();
    Lcd lcd(p.model);
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
    {"hblank", "dmgB", 0x08, 0, [] { return hblank_points(); }},
    {"vblank_cgb", "cgbC", 0x10, 0, [] { return Points{{144, 4}}; }},
    // OAM: lines 1-144 at their first cycle, line 0 when its mode 2 starts.
    {"oam", "dmgB", 0x20, 0,
     [] {
         Points p{{0, 4}};
         for (int line = 1; line <= 144; ++line) p.push_back({line, 0});
         return p;
     }},
    {"oam_cgb", "cgbE", 0x20, 0,
     [] {
         Points p{{0, 2}};
         for (int line = 1; line <= 144; ++line) p.push_back({line, 0});
         return p;
     }},
    {"lyc_10", "dmgB", 0x40, 10, [] { return Points{{10, 4}}; }},
    {"lyc_153", "dmgB", 0x40, 153, [] { return Points{{153, 4}}; }},
    {"lyc_0_cgb", "cgbE", 0x40, 0, [] { return Points{{153, 12}}; }},
    // LY = LYC holds the line high through line 10, swallowing its HBlank.
    {"hblank_and_lyc", "dmgB", 0x48, 10,
     [] {
         Points p = hblank_points(10);
         p.push_back({10, 4});
         return p;
     }},
    // HBlank holds the line high into the next line's OAM source: only the
    // first OAM scan after the vertical blank gets through.
    {"hblank_and_oam", "dmgB", 0x28, 0,
     [] {
         Points p = hblank_points();
         p.push_back({0, 4});
         return p;
     }},
    // VBlank holds the line from line 144 until line 0's OAM scan.
    {"vblank_and_lyc_inside_vblank", "dmgB", 0x50, 150, [] { return Points{{144, 4}}; }},
};

INSTANTIATE_TEST_SUITE_P(Sources, PpuStatSources, testing::ValuesIn(FRAME_CASES),
                         [](const testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

// Leaving HALT for a STAT interrupt takes a DMG one M-cycle longer when the
// interrupt came from mode 0 or mode 2.
TEST(PpuStatSource, HaltDelayDependsOnTheSource) {
    struct Case {
        u8 enables;
        u8 lyc;
        bool delayed;
    };
    for (const Case c : {Case{0x08, 0, true}, Case{0x20, 0, true}, Case{0x10, 0, false}, Case{0x40, 20, false}}) {
        Lcd lcd("dmgB");
        lcd.write(REG_LYC, c.lyc);
        lcd.write(REG_STAT, c.enables);
        lcd.run_to_line(5);
        lcd.clear_requests();
        for (int guard = 0; !lcd.stat_requested(); ++guard) {
            ASSERT_LT(guard, PPU::FRAME_CYCLES);
            lcd.run(1);
        }
        EXPECT_EQ(lcd.gb.ppu.should_delay_lcdc_interrupt(), c.delayed) << "STAT " << int(c.enables);
    }
}

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
    // DMG: the write itself briefly enables every source.
    {"dmg_vblank", "dmgB", 0x00, 99, 150, 100, 0x00, true},
    {"dmg_line_start", "dmgB", 0x00, 99, 10, 1, 0x00, true},
    {"dmg_mode3", "dmgB", 0x00, 99, 10, 150, 0x00, false},
    {"dmg_mode3_ly_is_lyc", "dmgB", 0x00, 10, 10, 150, 0x00, true},
    {"dmg_late_mode2", "dmgB", 0x00, 99, 10, 40, 0x00, false},
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
    {"line_held_by_lyc_dmg", "dmgB", 0x40, 10, 10, 300, 0x48, false},
    {"line_held_by_lyc_cgbC", "cgbC", 0x40, 10, 10, 300, 0x48, false},
    {"line_held_by_vblank_dmg", "dmgB", 0x10, 99, 150, 100, 0x00, false},
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
                         testing::Values(LycWrite{"dmgB", 0, 3, true}, LycWrite{"cgbE", 0, 4, false},
                                         LycWrite{"cgbE", 0, 5, true}, LycWrite{"cgbC", 0, 451, true},
                                         LycWrite{"cgbE", 0, 452, false}, LycWrite{"cgbE", 20, 100, true},
                                         LycWrite{"cgbE", 20, 3, false}));

// ---------------------------------------------------------------------------
// LCD switched on with LYC = 0

TEST(PpuLcdOnLyc, LycZeroRequestsAtOnceUnlessTheBitWasAlreadySet) {
    struct Case {
        u8 lyc_at_switch_off;  // line 5 when the LCD goes off
        bool requested;
    };
    for (const char* model : {"dmgB", "cgbE"}) {
        for (const Case c : {Case{7, true}, Case{5, false}}) {
            Lcd lcd(model);
            lcd.write(REG_LYC, c.lyc_at_switch_off);
            lcd.run_to(5, 100);
            lcd.write(REG_LCDC, 0x11);
            lcd.write(REG_STAT, 0x40);
            lcd.write(REG_LYC, 0);
            lcd.clear_requests();
            lcd.write(REG_LCDC, 0x91);
            EXPECT_EQ(lcd.stat_requested(), c.requested) << model << " LYC " << int(c.lyc_at_switch_off);
            EXPECT_TRUE(lcd.coincidence()) << model;
        }
    }
}

// ---------------------------------------------------------------------------
// LY after a return to single speed out of phase

TEST(PpuLyRead, BitsSettleInTheLastCyclesOfALine) {
    struct Case {
        int line;
        u8 read_at_452;
    };
    for (const Case c : {Case{3, 0}, Case{5, 4}, Case{9, 8}, Case{10, 10}, Case{47, 0x20}, Case{143, 0x80}}) {
        Lcd lcd("cgbE");
        lcd.gb.ppu_phase_shift = true;
        lcd.run_to(c.line, 451);
        EXPECT_EQ(lcd.ly(), c.line);
        lcd.run(1);
        EXPECT_EQ(lcd.ly(), c.read_at_452) << "line " << c.line;
        lcd.run(1);
        EXPECT_EQ(lcd.ly(), c.line);
    }
}

TEST(PpuLyRead, NoSettlingInPhaseAndWritesAreIgnored) {
    Lcd lcd("cgbE");
    lcd.run_to(3, 452);
    EXPECT_EQ(lcd.ly(), 3);
    lcd.write(REG_LY, 0x00);
    EXPECT_EQ(lcd.ly(), 3);
}

}  // namespace
