#include <gtest/gtest.h>

#include <numeric>

#include "test_machine.h"

namespace {

struct Copy {
    int to, from, count;
};

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
