// LCDC bit 0 switched off and on again in the middle of a line on the DMG
// revisions: the older chips (up to DMG-B) bring the background back one
// pixel sooner than DMG-C, while switching it off lands on the same pixel.
#include <gtest/gtest.h>

#include <string>

#include "ppu_screen.h"

namespace {

constexpr int LINE = 50;

struct BgGap {
    int off = 0;  // first column without the background
    int on = 0;   // first column with it again
};

// A background of shade 1 everywhere; BG off at line cycle `cycle`, back on
// 16 cycles later.
BgGap bg_gap(const char* model, int cycle) {
    Screen s(model);
    s.solid_tile(1, 1);
    s.fill_map(0x9800, 1);
    s.write(REG_LCDC, 0x91);
    s.finish_frame();
    s.run_to_line(LINE);
    s.run(cycle);
    s.write(REG_LCDC, 0x90);
    s.run(16);
    s.write(REG_LCDC, 0x91);
    s.finish_frame();
    const std::string row = s.shades(LINE);
    BgGap gap;
    gap.off = int(row.find('0'));
    gap.on = int(row.find('1', size_t(gap.off)));
    return gap;
}

TEST(PpuDmgBgEnable, OlderRevisionsShowTheBackgroundOnePixelSooner) {
    struct Row {
        const char* model;
        int sooner;  // pixels by which the background returns before DMG-C's
    };
    for (int cycle : {110, 137, 180}) {
        const BgGap reference = bg_gap("dmgC", cycle);
        ASSERT_GT(reference.off, 0) << "cycle " << cycle;
        ASSERT_GT(reference.on, reference.off) << "cycle " << cycle;
        for (const Row r : {Row{"dmg0", 1}, Row{"dmgA", 1}, Row{"dmgB", 1}, Row{"mgb", 0}}) {
            SCOPED_TRACE(std::string(r.model) + " cycle " + std::to_string(cycle));
            const BgGap gap = bg_gap(r.model, cycle);
            EXPECT_EQ(gap.off, reference.off);
            EXPECT_EQ(gap.on, reference.on - r.sooner);
        }
    }
}

}  // namespace
