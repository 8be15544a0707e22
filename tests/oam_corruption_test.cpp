#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

#include "test_machine.h"

namespace {

struct Copy {
    int to, from, count;
};

// `oam` with the copies applied in order, each to the bytes as the one
// before left them.
std::array<u8, 256> after_copies(std::array<u8, 256> oam, const std::vector<Copy>& copies) {
    for (const Copy& c : copies) {
        const auto before = oam;
        std::copy_n(before.begin() + c.from, c.count, oam.begin() + c.to);
    }
    return oam;
}

// OAM filled with its own offsets; the check runs with the PPU placed at line
// cycle `sc` in `mode`. Expected copies are applied in order to the pattern.
// The DMG row copies of each access kind are checked by the test ROMs; these
// are the cases they do not reach.
TEST(OamCorruption, RowCopiesByAccessKindOnDmgOnly) {
    struct Row {
        const char* model;
        u8 lcdc;
        int mode, sc;
        u16 address;
        int kind;
        std::vector<Copy> copies;
    };
    const Row rows[] = {
        {"dmgC", 0x91, 0, 83, 0xFE00, 0, {{168, 160, 6}}},
        // The writes of LD (HL+/-),A (kinds 8, 9) skip the copies back into
        // the first row that the reads of kinds 6 and 7 make.
        {"dmgC", 0x91, 2, 4, 0xFE20, 6, {{2, 10, 8}, {18, 10, 6}, {0, 16, 2}}},
        {"dmgC", 0x91, 2, 4, 0xFE20, 8, {{18, 10, 6}}},
        {"dmgC", 0x91, 0, 0, 0xFE20, 9, {{10, 2, 6}}},
        {"dmgC", 0x91, 2, 12, 0xFE20, 9, {{18, 26, 8}, {34, 26, 6}, {16, 32, 2}}},
        // No corruption on a CGB.
        {"cgbE", 0x91, 2, 10, 0xFE00, 0, {}},
        {"cgbE", 0x91, 2, 6, 0xFE01, 4, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " mode " << r.mode << " sc " << r.sc << " kind " << r.kind
                                        << " " << std::hex << r.address);
        TestMachine m(RomImage(), r.model);
        GB& gb = *m.gb;
        std::iota(gb.oam.begin(), gb.oam.end(), 0);
        const auto expected = after_copies(gb.oam, r.copies);
        gb.ppu.lcdc = r.lcdc;
        gb.ppu.mode = r.mode;
        gb.ppu.line_start_cycle = gb.cpu.cycles_4mhz - u64(r.sc);
        ASSERT_EQ(gb.ppu.get_scanline_cycle_count(), r.sc);
        gb.cpu.check_oam_corruption(r.address, r.kind);
        EXPECT_EQ(gb.oam, expected);
    }
}

// Entering an interrupt puts PC on the bus for the first push: with PC in
// FE00-FEFF during the OAM scan, a DMG copies rows as an INC rr does.
TEST(OamCorruption, InterruptEntryWithPcInObjectMemory) {
    struct Row {
        const char* model;
        u16 pc;
        std::vector<Copy> copies;
    };
    // Scan cycle 20: the INC rr pattern moves bytes 34-39 to 42-47.
    const Row rows[] = {
        {"dmgC", 0xFE40, {{42, 34, 6}}}, {"dmgB", 0xFEFF, {{42, 34, 6}}}, {"dmgC", 0xFF00, {}},
        {"dmgC", 0xC000, {}},            {"cgbE", 0xFE40, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " pc " << std::hex << r.pc);
        TestMachine m(RomImage(), r.model);
        GB& gb = *m.gb;
        std::iota(gb.oam.begin(), gb.oam.end(), 0);
        const auto expected = after_copies(gb.oam, r.copies);
        gb.ppu.lcdc = 0x91;
        gb.ppu.mode = 2;
        gb.ppu.line_start_cycle = gb.cpu.cycles_4mhz - 20;
        gb.cpu.sp = 0xDFF0;
        gb.cpu.pc = r.pc;
        gb.cpu.dispatch_interrupt();
        EXPECT_EQ(gb.oam, expected);
    }
}

// A DMG write by LD (HL+/-),A landing in the first cycle of a line whose OAM
// scan is starting is followed by the first row taking bytes 2-7 from the
// second row; later in the scan, or on a colour model, nothing moves.
TEST(OamCorruption, WriteAtScanStartRefillsFirstRow) {
    struct Row {
        const char* model;
        int line, line_cycle, state;
        u16 address;
        bool copies;
    };
    const Row rows[] = {
        {"dmgC", 5, 0, PPU::STATE_LINE_1_143_CLOCKS_0, 0xFE04, true},
        {"dmgB", 0, 0, PPU::STATE_LINE_0_CLOCKS_0, 0xFE9F, true},
        {"dmgC", 5, 0, PPU::STATE_LINE_1_143_CLOCKS_0, 0xC004, false},
        {"dmgC", 5, 4, PPU::STATE_LINE_1_143_CLOCKS_4, 0xFE04, false},
        {"dmgC", 5, 300, PPU::STATE_LINE_1_143_HBLANK_STAT, 0xFE04, false},
        {"cgbE", 5, 0, PPU::STATE_LINE_1_143_CLOCKS_0, 0xFE04, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " line " << r.line << " cycle " << r.line_cycle << " "
                                        << std::hex << r.address);
        TestMachine m(RomImage(), r.model);
        GB& gb = *m.gb;
        std::iota(gb.oam.begin(), gb.oam.end(), 0);
        auto expected = gb.oam;
        if (r.copies) std::copy_n(gb.oam.begin() + 10, 6, expected.begin() + 2);
        gb.ppu.lcdc = 0x91;
        gb.ppu.lcd_enabled = true;
        gb.ppu.mode = 0;
        gb.ppu.current_line = r.line;
        gb.ppu.state = r.state;
        gb.ppu.line_start_cycle = gb.cpu.cycles_4mhz - u64(r.line_cycle);
        gb.cpu.check_oam_scan_start_write(r.address);
        EXPECT_EQ(gb.oam, expected);
    }
}

}  // namespace
