// The picture as it lands in the frame buffer, where the picture test ROMs
// (dmg-acid2, cgb-acid2, the mid-line and sprite-priority pictures) do not
// reach: the window at the edges of its WX range, sprites cut by the screen's
// edges or crowded out by sprites off its right side, and the colours of the
// non-grey DMG ramp and of a CGB running a monochrome cartridge.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ppu_screen.h"

namespace {

// ---------------------------------------------------------------------------
// Window

// The window is its own map (here 0x9C00) drawn from its top-left corner at
// screen column WX - 7 on every line from WY down; WX below 7 cuts its left
// edge off, WX above 166 hides it. WX = 166 meets the line's last pixel: the
// CGB starts the window there and shows its first column, the DMG puts that
// pixel out before the window can start and shows none of it. The whole-line
// renderers draw the same and count the same window lines; mode 3 takes the
// window's 6 cycles exactly where it starts, in the pipeline as in the state
// machine's count.
TEST(PpuWindow, EdgesOfTheWxRange) {
    struct Case {
        const char* model;
        u8 wx, wy;
        bool starts;
    };
    const Case cases[] = {
        {"dmgB", 0, 10, true},    {"dmgB", 165, 0, true},  {"dmgB", 166, 0, false},
        {"dmgB", 167, 0, false},  {"cgbC", 166, 0, true},  {"cgbE", 166, 0, true},
        {"cgbE", 167, 0, false},
    };
    constexpr int LINE = 100;
    for (const Case c : cases) {
        int window_lines[2] = {};
        for (const bool whole : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.model << " WX " << int(c.wx) << (whole ? " whole line" : ""));
            Screen s(c.model);
            s.gb.ppu.use_pipeline = s.gb.ppu.register_write_catch_up = !whole;
            s.solid_tile(1, 1);  // background
            s.fill_map(0x9800, 1);
            // Window tiles: column stripes telling the window column apart.
            s.tile(2, {"23232323", "23232323", "23232323", "23232323", "23232323", "23232323", "23232323",
                       "33333333"});
            s.fill_map(0x9C00, 2);
            s.write(REG_WX, c.wx);
            s.write(REG_WY, c.wy);
            s.show(u8(0x91 | Screen::WINDOW_MAP_9C00 | Screen::WINDOW_ON));
            window_lines[whole] = s.gb.ppu.window_line;
            for (int y = 0; y < PPU::SCREEN_HEIGHT; ++y) {
                std::string expected;
                for (int x = 0; x < PPU::SCREEN_WIDTH; ++x) {
                    const int wx = x - (c.wx - 7), wy = y - c.wy;
                    const bool in_window = c.starts && y >= c.wy && wx >= 0;
                    expected += !in_window ? '1' : ((wy & 7) == 7 ? '3' : char('2' + (wx & 1)));
                }
                ASSERT_EQ(s.shades(y), expected) << "line " << y;
            }
            if (whole) continue;
            // Against the same line with the window off, in its horizontal blank.
            s.run_to_line(LINE);
            s.run(400);
            const int window_pipeline = s.gb.ppu.mode_3_cycle, window_count = s.gb.ppu.mode_3_length;
            s.write(REG_LCDC, 0x91);
            s.run_to_line(LINE);
            s.run(400);
            EXPECT_EQ(window_count - s.gb.ppu.mode_3_length, c.starts ? 6 : 0);
            EXPECT_EQ(window_pipeline - s.gb.ppu.mode_3_cycle, c.starts ? 6 : 0);
        }
        EXPECT_EQ(window_lines[0], window_lines[1]) << c.model << " WX " << int(c.wx);
    }
}

// A WX written in the horizontal blank before a line has reached the window
// trigger when that line's mode 3 starts: the state machine counts the
// window's cycles by it, as the pipeline takes them, also on DMG, which
// counts them a cycle before the pipeline starts.
TEST(PpuWindow, WxWrittenBeforeTheLineCountsForItsMode3) {
    for (const char* model : {"dmgB", "cgbE"}) {
        SCOPED_TRACE(model);
        Screen s(model);
        s.write(REG_WY, 0);
        s.write(REG_WX, 7);
        s.show(u8(0x91 | Screen::WINDOW_ON));
        std::set<int> differences;  // pipeline against state machine
        for (int line = 1; line < PPU::SCREEN_HEIGHT; ++line) {
            s.run_to_line(line);
            s.run(320);
            if (line > 1) differences.insert(s.gb.ppu.mode_3_cycle - s.gb.ppu.mode_3_length);
            s.write(REG_WX, line % 2 ? 167 : 7);  // the window on every other line
        }
        EXPECT_EQ(differences.size(), 1u);
    }
}

// ---------------------------------------------------------------------------
// Sprites on DMG

// OAM X = column + 8, Y = line + 16: a sprite at X 6, Y 13 loses its two
// left columns and three top rows. Colour 0 is transparent.
TEST(PpuDmgSprites, CutAtTheLeftAndTopEdges) {
    Screen s("dmgB");
    s.tile(1, {"33000000", "32200000", "32110000", "32111000", "32110000", "32200000", "33000000", "10000001"});
    s.sprite(0, 16 - 3, 8 - 2, 1);
    s.show(0x93);
    EXPECT_EQ(s.shades(0, 0, 8), "11100000");
    EXPECT_EQ(s.shades(1, 0, 8), "11000000");
    EXPECT_EQ(s.shades(4, 0, 8), "00000100");
}

// Sprites off the right of the screen still count towards the ten of a line:
// after ten of them an eleventh on the screen is not drawn.
TEST(PpuDmgSprites, OffScreenSpritesCountTowardsTheTen) {
    for (int off_screen : {9, 10}) {
        Screen s("dmgB");
        s.solid_tile(2, 1);
        for (int i = 0; i < off_screen; ++i) s.sprite(i, 16 + 60, 8 + 192, 2);
        s.sprite(off_screen, 16 + 60, 8 + 40, 2);
        s.show(0x93);
        EXPECT_EQ(s.shades(60, 40, 8), off_screen < 10 ? "11111111" : "00000000") << off_screen;
    }
}

// ---------------------------------------------------------------------------
// Colours

TEST(PpuColours, DmgShadesFromTheGreySelector) {
    struct Case {
        bool grey;
        u32 shades[4];
    };
    for (const Case c : {Case{true, {0xFFFFFFFF, 0xFFAAAAAA, 0xFF555555, 0xFF000000}},
                         Case{false, {0xFFFFFFFF, 0xFFBFBFBF, 0xFF7F7F7F, 0xFF3F3F3F}}}) {
        Screen s("dmgB");
        s.gb.grey_shades = c.grey;
        s.gb.reset();
        s.write(REG_LCDC, 0x00);
        s.gb.vram.fill(0);
        s.tile(1, {"01230123", "01230123", "01230123", "01230123", "01230123", "01230123", "01230123", "01230123"});
        s.fill_map(0x9800, 1);
        s.write(REG_BGP, 0xE4);
        s.show(0x91);
        for (int x = 0; x < 8; ++x) EXPECT_EQ(s.pixel(x, 3), c.shades[x & 3]) << "grey " << c.grey << " column " << x;
    }
}

// A CGB running a monochrome cartridge takes BGP/OBP shades into the colours
// its boot program chose: BG palette 0 for the background, OBJ palettes 0 and
// 1 for OBP0 and OBP1, in the pipeline and the whole-line renderer alike.
TEST(PpuColours, CgbInDmgModeShadesThroughTheBootPalettes) {
    for (const bool whole_line : {false, true}) {
        SCOPED_TRACE(whole_line ? "whole line" : "pipeline");
        Screen s("cgbE", false);
        if (whole_line) {
            s.gb.ppu.use_pipeline = false;
            s.gb.ppu.register_write_catch_up = false;
        }
        // OBJ palette 1 as a boot program may leave it, unlike palette 0:
        // white, green, blue, black.
        s.gb.ppu.write_ocps(0x80 | 8);
        for (u8 b : {0xFF, 0x7F, 0xE0, 0x03, 0x00, 0x7C, 0x00, 0x00}) s.gb.ppu.write_ocpd(b);
        s.tile(1, {"01230123", "01230123", "01230123", "01230123", "01230123", "01230123", "01230123", "01230123"});
        s.fill_map(0x9800, 1);
        s.write(REG_BGP, 0x1B);   // colours 0-3 to shades 3, 2, 1, 0
        s.write(REG_OBP0, 0xE4);
        s.write(REG_OBP1, 0x24);  // colours 1-3 to shades 1, 2, 0
        s.sprite(0, 16 + 20, 8 + 0, 1, 0);
        s.sprite(1, 16 + 20, 8 + 8, 1, Screen::OBJ_OBP1);
        s.show(0x93);
        const u32 bg[4] = {0xFFFFFFFF, 0xFF7BFF31, 0xFF0063C6, 0xFF000000};
        const u32 obj0[4] = {0xFFFFFFFF, 0xFFFF8484, 0xFF943939, 0xFF000000};
        const u32 obj1[4] = {s.gb.ppu.mapped_colors[36], s.gb.ppu.mapped_colors[37], s.gb.ppu.mapped_colors[38],
                             s.gb.ppu.mapped_colors[39]};
        ASSERT_NE(obj1[1], obj0[1]);
        ASSERT_NE(obj1[2], obj0[2]);
        for (int x = 0; x < 4; ++x) EXPECT_EQ(s.pixel(x, 3), bg[3 - x]) << "background column " << x;
        EXPECT_EQ(s.pixel(0, 20), bg[3]) << "sprite colour 0 shows the background";
        const int obp0[3] = {1, 2, 3}, obp1[3] = {1, 2, 0};
        for (int c = 1; c < 4; ++c) {
            EXPECT_EQ(s.pixel(c, 20), obj0[obp0[c - 1]]) << "OBP0 colour " << c;
            EXPECT_EQ(s.pixel(8 + c, 20), obj1[obp1[c - 1]]) << "OBP1 colour " << c;
        }
    }
}

// ---------------------------------------------------------------------------
// Sprites on CGB

// An LCDC write switching 8 to 16 pixel sprites during the OAM scan reaches
// the entries the scan examines from 2 cycles after the write on. The scan
// examines entry e at line cycle 2 + 2e, in double speed at 4 + 2e. In single
// speed the switch also takes in the entry examined just before it.
TEST(PpuObjSizeChange, ReachesTheEntriesTheScanExaminesAfterIt) {
    struct Row {
        bool double_speed;
        int write_cycle;
        int entry;
        bool shown;
    };
    const Row rows[] = {
        {false, 20, 8, false}, {false, 20, 9, true},  {false, 20, 10, true},  // 9: just before the switch
        {false, 21, 9, false}, {false, 21, 10, true}, {false, 60, 28, false}, {false, 60, 29, true},
        {true, 20, 8, false},  {true, 20, 9, true},   {true, 21, 9, false},   {true, 21, 10, true},
    };
    constexpr int LINE = 40;
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << (r.double_speed ? "double" : "single") << " speed, write at "
                                        << r.write_cycle << ", entry " << r.entry);
        Screen s("cgbE", true);
        s.gb.set_double_speed(r.double_speed);
        s.solid_tile(1, 1);
        s.write(REG_OCPS, 0x82);  // OBJ palette 0 colour 1: red
        s.write(REG_OCPD, 0x1F);
        s.write(REG_OCPD, 0x00);
        // The one sprite near the line reaches it only as a 16 pixel sprite
        // (its row 8, tile 1), at screen columns 72-79.
        for (int i = 0; i < 40; ++i) s.sprite(i, 0, 0, 0);
        s.sprite(r.entry, LINE + 16 - 8, 80, 1);
        s.write(REG_LCDC, 0x93);
        s.finish_frame();
        s.run_to_line(LINE);
        s.run(r.write_cycle - s.gb.ppu.get_scanline_cycle_count());
        s.write(REG_LCDC, 0x97);
        s.finish_frame();
        const u32 red = s.gb.ppu.mapped_colors[32 + 1];
        EXPECT_EQ(s.pixel(72, LINE) == red, r.shown);
        EXPECT_EQ(s.pixel(79, LINE) == red, r.shown);
    }
}

}  // namespace
