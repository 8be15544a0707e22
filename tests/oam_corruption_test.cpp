#include <gtest/gtest.h>

#include <numeric>

#include "test_machine.h"

namespace {

struct Copy {
    int to, from, count;
};

// OAM filled with its own offsets; the check runs with the PPU placed at line
// cycle `sc` in `mode`. Expected copies are applied in order to the pattern.
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
        {"dmgB", 0x91, 2, 10, 0xFE00, 0, {{22, 14, 6}}},
        {"dmgB", 0x91, 2, 10, 0xFEFF, 1, {{22, 14, 6}}},
        {"dmgB", 0x91, 2, 2, 0xFE10, 2, {}},
        {"dmgB", 0x91, 2, 5, 0xFE10, 3, {{10, 2, 2}}},
        {"dmgB", 0x91, 2, 10, 0xFE10, 3, {{22, 6, 8}, {30, 6, 6}, {20, 12, 2}}},
        {"dmgB", 0x91, 2, 1, 0xFE00, 4, {{10, 2, 2}}},
        {"dmgB", 0x91, 2, 6, 0xFE01, 4, {{20, 12, 2}, {22, 6, 6}}},
        {"dmgB", 0x91, 2, 2, 0xFE00, 5, {{14, 6, 6}}},
        {"dmgB", 0x91, 2, 10, 0xFE40, 6, {{14, 22, 8}, {30, 22, 6}, {12, 28, 2}}},
        {"dmgB", 0x91, 2, 3, 0xFE40, 7, {{0, 8, 8}, {16, 8, 6}}},
        {"dmgC", 0x91, 0, 83, 0xFE00, 0, {{168, 160, 6}}},
        // No corruption: a CGB, the LCD off, mode 3 or 1, too late in the
        // line, or an address outside FE00-FEFF.
        {"cgbE", 0x91, 2, 10, 0xFE00, 0, {}},
        {"dmgB", 0x11, 2, 10, 0xFE00, 0, {}},
        {"dmgB", 0x91, 3, 10, 0xFE00, 0, {}},
        {"dmgB", 0x91, 1, 10, 0xFE00, 5, {}},
        {"dmgB", 0x91, 2, 84, 0xFE00, 0, {}},
        {"dmgB", 0x91, 2, 10, 0xFDFF, 0, {}},
        {"dmgB", 0x91, 2, 10, 0xFF00, 5, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " mode " << r.mode << " sc " << r.sc << " kind " << r.kind
                                        << " " << std::hex << r.address);
        TestMachine m(RomImage(), r.model);
        GB& gb = *m.gb;
        std::iota(gb.oam.begin(), gb.oam.end(), 0);
        auto expected = gb.oam;
        for (const Copy& c : r.copies) {
            const auto before = expected;
            std::copy_n(before.begin() + c.from, c.count, expected.begin() + c.to);
        }
        gb.ppu.lcdc = r.lcdc;
        gb.ppu.mode = r.mode;
        gb.ppu.line_start_cycle = gb.cpu.cycles_4mhz - u64(r.sc);
        ASSERT_EQ(gb.ppu.get_scanline_cycle_count(), r.sc);
        gb.cpu.check_oam_corruption(r.address, r.kind);
        EXPECT_EQ(gb.oam, expected);
    }
}

}  // namespace
