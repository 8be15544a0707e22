// The picture as it lands in the frame buffer: background scrolling and tile
// addressing, the window and its line counter, sprites with their flips,
// palettes, sizes and the ten-per-line limit, priority between sprites and
// against the background on DMG, in CGB mode and in CGB-in-DMG mode, and the
// colours that shades and CGB palettes become.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ppu_screen.h"

namespace {

// ---------------------------------------------------------------------------
// Background: scrolling, tile maps, tile data areas, BGP

// Every 16-byte slot of tile data gets its own pattern, so that a pixel tells
// which slot, row and column it came from.
int slot_pattern(int slot, int row, int column) { return (slot * 7 + row * 3 + column) & 3; }

u8 map_9800(int x, int y) { return u8(x * 5 + y * 11); }
u8 map_9c00(int x, int y) { return u8(x * 13 + y * 3 + 100); }

void lay_out_background(Screen& s) {
    for (int slot = 0; slot < 384; ++slot) {
        std::array<std::string, 8> rows;
        for (int r = 0; r < 8; ++r)
            for (int c = 0; c < 8; ++c) rows[r] += char('0' + slot_pattern(slot, r, c));
        s.tile(slot, {rows[0].c_str(), rows[1].c_str(), rows[2].c_str(), rows[3].c_str(), rows[4].c_str(),
                      rows[5].c_str(), rows[6].c_str(), rows[7].c_str()});
    }
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            s.map(0x9800, x, y, map_9800(x, y));
            s.map(0x9C00, x, y, map_9c00(x, y));
        }
}

// The background colour number at a screen pixel: the 256x256 map scrolled
// by SCX/SCY with wrap-around; tile numbers index 0x8000 unsigned, or 0x9000
// signed (0x80-0xFF then sit at 0x8800-0x8FFF).
int background_colour(int x, int y, u8 scx, u8 scy, u8 lcdc) {
    const int px = (x + scx) & 255, py = (y + scy) & 255;
    const u8 n = (lcdc & Screen::BG_MAP_9C00) ? map_9c00(px >> 3, py >> 3) : map_9800(px >> 3, py >> 3);
    const int slot = (lcdc & Screen::TILES_8000) ? n : (n < 128 ? 256 + n : n);
    return slot_pattern(slot, py & 7, px & 7);
}

char bgp_shade(u8 bgp, int colour) { return char('0' + ((bgp >> (2 * colour)) & 3)); }

struct ScrollCase {
    const char* name;
    u8 scx, scy, lcdc, bgp;
};

class PpuBackground : public testing::TestWithParam<ScrollCase> {};

TEST_P(PpuBackground, WholeFrameFollowsTheScrolledMap) {
    const ScrollCase& c = GetParam();
    Screen s("dmgB");
    lay_out_background(s);
    s.write(REG_SCX, c.scx);
    s.write(REG_SCY, c.scy);
    s.write(REG_BGP, c.bgp);
    s.show(c.lcdc);
    for (int y = 0; y < PPU::SCREEN_HEIGHT; ++y) {
        std::string expected;
        for (int x = 0; x < PPU::SCREEN_WIDTH; ++x)
            expected += bgp_shade(c.bgp, background_colour(x, y, c.scx, c.scy, c.lcdc));
        ASSERT_EQ(s.shades(y), expected) << "line " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scroll, PpuBackground,
    testing::Values(ScrollCase{"origin", 0, 0, 0x91, 0xE4}, ScrollCase{"fine_x7_y5", 7, 5, 0x91, 0xE4},
                    ScrollCase{"signed_tiles", 13, 21, 0x81, 0xE4}, ScrollCase{"map_9c00_wraps", 250, 250, 0x99, 0xE4},
                    ScrollCase{"palette_d2", 3, 3, 0x91, 0xD2}),
    [](const testing::TestParamInfo<ScrollCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Window

struct WindowCase {
    const char* name;
    u8 wx, wy, scx;
    bool enabled;
};

class PpuWindow : public testing::TestWithParam<WindowCase> {};

// The window is its own map (here 0x9C00) drawn from its top-left corner at
// screen column WX - 7 on every line from WY down; WX below 7 cuts its left
// edge off, WX above 166 hides it.
TEST_P(PpuWindow, CoversTheBackgroundFromWxAndWy) {
    const WindowCase& c = GetParam();
    Screen s("dmgB");
    s.solid_tile(1, 1);  // background
    s.fill_map(0x9800, 1);
    // Window tiles: column stripes telling the window column apart.
    s.tile(2, {"23232323", "23232323", "23232323", "23232323", "23232323", "23232323", "23232323", "33333333"});
    s.fill_map(0x9C00, 2);
    s.write(REG_SCX, c.scx);
    s.write(REG_WX, c.wx);
    s.write(REG_WY, c.wy);
    s.show(u8(0x91 | Screen::WINDOW_MAP_9C00 | (c.enabled ? Screen::WINDOW_ON : 0)));
    for (int y = 0; y < PPU::SCREEN_HEIGHT; ++y) {
        std::string expected;
        for (int x = 0; x < PPU::SCREEN_WIDTH; ++x) {
            const int wx = x - (c.wx - 7), wy = y - c.wy;
            const bool in_window = c.enabled && c.wx <= 166 && y >= c.wy && wx >= 0;
            expected += !in_window ? '1' : ((wy & 7) == 7 ? '3' : char('2' + (wx & 1)));
        }
        ASSERT_EQ(s.shades(y), expected) << "line " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, PpuWindow,
    testing::Values(WindowCase{"wx7_wy40", 7, 40, 0, true}, WindowCase{"wx87_wy20_scx3", 87, 20, 3, true},
                    WindowCase{"wx0_cuts_seven_columns", 0, 10, 0, true}, WindowCase{"wx166_one_column", 166, 0, 0, true},
                    WindowCase{"wx167_hidden", 167, 0, 0, true}, WindowCase{"disabled", 7, 0, 0, false}),
    [](const testing::TestParamInfo<WindowCase>& info) { return std::string(info.param.name); });

// The window keeps its own line counter: it advances only on lines where the
// window was drawn, so hiding it for a few lines delays the rest of it.
TEST(PpuWindowLineCounter, PausesWhileTheWindowIsHidden) {
    struct Case {
        const char* model;
        const char* how;  // hide by moving WX off screen or by LCDC bit 5
    };
    for (const Case c : {Case{"dmgB", "wx"}, Case{"cgbE", "lcdc"}}) {
        SCOPED_TRACE(std::string(c.model) + " hidden by " + c.how);
        Screen s(c.model);
        // Window tile rows: row r has colour r & 3 in every pixel.
        s.tile(2, {"00000000", "11111111", "22222222", "33333333", "00000000", "11111111", "22222222", "33333333"});
        s.fill_map(0x9C00, 2);
        s.write(REG_WX, 7);
        s.write(REG_WY, 0);
        const u8 shown = 0x91 | Screen::WINDOW_MAP_9C00 | Screen::WINDOW_ON;
        s.write(REG_LCDC, shown);
        s.finish_frame();
        // Hidden on lines 30-39, set up in the line before.
        s.run_to_line(29);
        s.run(300);
        if (std::string(c.how) == "wx")
            s.write(REG_WX, 200);
        else
            s.write(REG_LCDC, u8(shown & ~Screen::WINDOW_ON));
        s.run_to_line(39);
        s.run(300);
        if (std::string(c.how) == "wx")
            s.write(REG_WX, 7);
        else
            s.write(REG_LCDC, shown);
        s.finish_frame();
        for (int y = 0; y < PPU::SCREEN_HEIGHT; ++y) {
            const bool hidden = y >= 30 && y < 40;
            const int window_row = y < 30 ? y : y - 10;
            const char expected = hidden ? '0' : char('0' + (window_row & 3));
            ASSERT_EQ(s.shades(y), std::string(PPU::SCREEN_WIDTH, expected)) << "line " << y;
        }
    }
}

// ---------------------------------------------------------------------------
// Sprites on DMG

// An asymmetric sprite tile: a flip shows at once.
const std::array<const char*, 8> ARROW = {"33000000", "32200000", "32110000", "32111000",
                                          "32110000", "32200000", "33000000", "10000001"};

std::string reversed(std::string s) { return {s.rbegin(), s.rend()}; }

struct SpriteRow {
    int y;
    int x0;
    std::string shades;
};

struct SpriteCase {
    const char* name;
    u8 lcdc;
    u8 obp0, obp1;
    std::vector<std::array<int, 4>> sprites;  // y, x, tile, attributes
    std::vector<SpriteRow> expected;
};

// Background colour 0 everywhere (shade 0) except tile column 10-11 of rows
// 0-15, which holds colour 2 (shade 2).
void lay_out_sprite_scene(Screen& s) {
    s.tile(1, ARROW);
    s.tile(2, {"11111111", "11111111", "11111111", "11111111", "11111111", "11111111", "11111111", "11111111"});
    s.tile(3, {"22222222", "22222222", "22222222", "22222222", "22222222", "22222222", "22222222", "22222222"});
    s.solid_tile(4, 2);
    s.fill_map(0x9800, 0);
    for (int y = 0; y < 2; ++y)
        for (int x = 10; x < 12; ++x) s.map(0x9800, x, y, 4);
}

class PpuDmgSprites : public testing::TestWithParam<SpriteCase> {};

TEST_P(PpuDmgSprites, Drawn) {
    const SpriteCase& c = GetParam();
    Screen s("dmgB");
    lay_out_sprite_scene(s);
    s.write(REG_OBP0, c.obp0);
    s.write(REG_OBP1, c.obp1);
    for (size_t i = 0; i < c.sprites.size(); ++i)
        s.sprite(int(i), c.sprites[i][0], c.sprites[i][1], u8(c.sprites[i][2]), u8(c.sprites[i][3]));
    s.show(c.lcdc);
    for (const SpriteRow& r : c.expected)
        EXPECT_EQ(s.shades(r.y, r.x0, int(r.shades.size())), r.shades) << "line " << r.y << " from column " << r.x0;
}

// Ten sprites of tile 2 on line 60 at screen columns first, first + step, ...,
// followed by one more entry.
std::vector<std::array<int, 4>> ten_on_line_60(int first, int step, std::array<int, 4> eleventh) {
    std::vector<std::array<int, 4>> out;
    for (int i = 0; i < 10; ++i) out.push_back({16 + 60, 8 + first + step * i, 2, 0});
    out.push_back(eleventh);
    return out;
}

const SpriteCase DMG_SPRITE_CASES[] = {
    // OAM X = column + 8, Y = line + 16; colour 0 is transparent.
    {"placed_at_x_minus_8_y_minus_16", 0x93, 0xE4, 0xE4, {{16 + 20, 8 + 30, 1, 0}},
     {{19, 28, "000000000000"}, {20, 28, "003300000000"}, {23, 28, "003211100000"}, {27, 28, "001000000100"},
      {28, 28, "000000000000"}}},
    {"obp0_shades", 0x93, 0x1B, 0xE4, {{16 + 20, 8 + 30, 1, 0}}, {{23, 30, "01222000"}}},
    {"obp1_selected", 0x93, 0xE4, 0x1B, {{16 + 20, 8 + 30, 1, Screen::OBJ_OBP1}}, {{23, 30, "01222000"}}},
    {"x_flip", 0x93, 0xE4, 0xE4, {{16 + 20, 8 + 30, 1, Screen::OBJ_X_FLIP}},
     {{23, 30, reversed("32111000")}, {27, 30, reversed("10000001")}}},
    {"y_flip", 0x93, 0xE4, 0xE4, {{16 + 20, 8 + 30, 1, Screen::OBJ_Y_FLIP}},
     {{20, 30, "10000001"}, {21, 30, "33000000"}, {24, 30, "32111000"}, {27, 30, "33000000"}}},
    {"both_flips", 0x93, 0xE4, 0xE4, {{16 + 20, 8 + 30, 1, Screen::OBJ_X_FLIP | Screen::OBJ_Y_FLIP}},
     {{20, 30, "10000001"}, {21, 30, "00000033"}}},
    {"cut_at_the_left_and_top_edges", 0x93, 0xE4, 0xE4, {{16 - 3, 8 - 2, 1, 0}},
     {{0, 0, "111000"}, {1, 0, "110000"}, {4, 0, "000001"}}},
    {"sprites_disabled", 0x91, 0xE4, 0xE4, {{16 + 20, 8 + 30, 1, 0}}, {{20, 28, "000000000000"}}},
    // 16-pixel sprites: tile number bit 0 is ignored, the lower half is the next tile.
    {"tall_sprite", 0x97, 0xE4, 0xE4, {{16 + 40, 8 + 8, 3, 0}},
     {{40, 8, "11111111"}, {47, 8, "11111111"}, {48, 8, "22222222"}, {55, 8, "22222222"}, {56, 8, "00000000"}}},
    {"tall_sprite_y_flip_swaps_halves", 0x97, 0xE4, 0xE4, {{16 + 40, 8 + 8, 2, Screen::OBJ_Y_FLIP}},
     {{40, 8, "22222222"}, {48, 8, "11111111"}}},
    // Behind the background: hidden by BG colours 1-3, shown over colour 0.
    {"behind_background", 0x93, 0xFC, 0xE4, {{16 + 2, 8 + 76, 3, Screen::OBJ_BEHIND_BG}},
     {{2, 76, "333322222222"}}},
    // Ten per line, chosen in OAM order: the eleventh entry is not drawn even
    // though it is leftmost.
    {"ten_per_line", 0x93, 0xE4, 0xE4, ten_on_line_60(20, 10, {16 + 60, 8 + 0, 3, 0}),
     {{60, 0, "00000000"}, {60, 20, "11111111"}, {60, 110, "11111111"}}},
    // Sprites off the right of the screen still count towards the ten.
    {"off_screen_sprites_count", 0x93, 0xE4, 0xE4, ten_on_line_60(192, 0, {16 + 60, 8 + 40, 3, 0}),
     {{60, 40, "00000000"}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, PpuDmgSprites, testing::ValuesIn(DMG_SPRITE_CASES),
                         [](const testing::TestParamInfo<SpriteCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Sprite over sprite: DMG, CGB mode and CGB-in-DMG mode

enum class Machine { Dmg, CgbMode, CgbDmgMode };

struct OverlapCase {
    const char* name;
    int first_x, second_x;  // OAM entries 0 and 1, screen columns
    const char* first_tile;  // one row of entry 0's tile; entry 1 is solid colour 2
    // Columns 0-23 of the line: '0' background, '1'/'2' the sprite colour seen.
    const char* dmg;
    const char* cgb;
};

// Sprite colours seen through OBJ palette 0, as each machine maps them.
u32 sprite_colour(Screen& s, Machine m, int colour) {
    if (colour == 0) return m == Machine::Dmg ? s.gb.ppu.mapped_colors[64] : s.gb.ppu.mapped_colors[0];
    switch (m) {
        case Machine::Dmg: return s.gb.ppu.mapped_colors[64 + colour];      // OBP0 = E4
        case Machine::CgbMode: return s.gb.ppu.mapped_colors[32 + colour];  // OBJ palette 0
        case Machine::CgbDmgMode: return s.gb.ppu.mapped_colors[32 + colour];
    }
    return 0;
}

const OverlapCase OVERLAP_CASES[] = {
    // Entry 1 further left: on DMG the lower X wins, in CGB mode the lower
    // OAM index.
    {"lower_x_against_lower_index", 4, 0, "11111111", "222222221111000000000000", "222211111111000000000000"},
    {"same_x_lower_index_wins", 0, 0, "11111111", "111111110000000000000000", "111111110000000000000000"},
    {"lower_index_further_left", 0, 4, "11111111", "111111112222000000000000", "111111112222000000000000"},
    // A transparent pixel never hides the other sprite, whoever wins.
    {"holes_of_the_winner_show_the_other", 0, 0, "10101010", "121212120000000000000000", "121212120000000000000000"},
    {"holes_over_a_lower_x_sprite", 4, 0, "10101010", "222222221010000000000000", "222212121010000000000000"},
    {"holes_under_a_lower_index", 4, 0, "01010101", "222222220101000000000000", "222221210101000000000000"},
};

class PpuSpriteOverlap : public testing::TestWithParam<OverlapCase> {};

TEST_P(PpuSpriteOverlap, OnEachMachine) {
    const OverlapCase& c = GetParam();
    struct Run {
        const char* model;
        bool colour_cartridge;
        Machine machine;
    };
    for (const Run r : {Run{"dmgB", false, Machine::Dmg}, Run{"cgbE", true, Machine::CgbMode},
                        Run{"cgbE", false, Machine::CgbDmgMode}}) {
        SCOPED_TRACE(std::string(r.model) + (r.colour_cartridge ? " colour cartridge" : " monochrome cartridge"));
        Screen s(r.model, r.colour_cartridge);
        if (r.machine == Machine::CgbMode) {
            s.bg_colour(0, 0, 0x7FFF);
            s.obj_colour(0, 1, 0x001F);
            s.obj_colour(0, 2, 0x03E0);
        }
        const std::string row = c.first_tile;
        s.tile(1, {row.c_str(), row.c_str(), row.c_str(), row.c_str(), row.c_str(), row.c_str(), row.c_str(),
                   row.c_str()});
        s.solid_tile(2, 2);
        s.sprite(0, 16 + 50, 8 + c.first_x, 1);
        s.sprite(1, 16 + 50, 8 + c.second_x, 2);
        s.show(0x93);
        const std::string expected = r.machine == Machine::CgbMode ? c.cgb : c.dmg;
        for (size_t x = 0; x < expected.size(); ++x)
            EXPECT_EQ(s.pixel(int(x), 53), sprite_colour(s, r.machine, expected[x] - '0')) << "column " << x;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PpuSpriteOverlap, testing::ValuesIn(OVERLAP_CASES),
                         [](const testing::TestParamInfo<OverlapCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Sprite against background in CGB mode: the tile attribute's priority bit,
// the sprite's own bit, and LCDC bit 0 as the master switch.

struct CgbPriorityCase {
    bool master;         // LCDC bit 0
    bool tile_priority;  // BG attribute bit 7
    bool behind;         // sprite attribute bit 7
    int bg;              // background colour number under the sprite
    bool sprite_shows;
};

TEST(PpuCgbPriority, SpriteAgainstBackground) {
    const CgbPriorityCase cases[] = {
        {false, true, true, 3, true},   {false, false, false, 1, true}, {true, true, false, 3, false},
        {true, true, true, 2, false},   {true, true, false, 0, true},   {true, false, true, 1, false},
        {true, false, true, 0, true},   {true, false, false, 3, true},
    };
    for (const CgbPriorityCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "master " << c.master << " tile priority " << c.tile_priority
                                        << " behind " << c.behind << " bg colour " << c.bg);
        Screen s("cgbE", true);
        for (int i = 0; i < 4; ++i) s.bg_colour(1, i, u16(0x0421 * (i + 1)));
        s.obj_colour(2, 3, 0x001F);
        s.solid_tile(1, c.bg);
        s.fill_map(0x9800, 1);
        s.fill_attributes(0x9800, u8(1 | (c.tile_priority ? 0x80 : 0)));
        s.solid_tile(2, 3);
        s.sprite(0, 16 + 30, 8 + 40, 2, u8(2 | (c.behind ? Screen::OBJ_BEHIND_BG : 0)));
        s.show(u8(0x92 | (c.master ? 1 : 0)));
        const u32 expected = c.sprite_shows ? argb_of(0x001F) : argb_of(u16(0x0421 * (c.bg + 1)));
        EXPECT_EQ(s.pixel(44, 33), expected);
        EXPECT_EQ(s.pixel(60, 33), argb_of(u16(0x0421 * (c.bg + 1)))) << "beside the sprite";
    }
}

// DMG: the sprite's bit puts it behind BG colours 1-3; with LCDC bit 0 clear
// the background is blank and every sprite shows.
TEST(PpuDmgPriority, SpriteAgainstBackground) {
    struct Case {
        bool bg_on;
        bool behind;
        int bg;
        char expected;
    };
    for (const Case c : {Case{true, true, 2, '2'}, Case{true, true, 0, '3'}, Case{true, false, 2, '3'},
                         Case{false, true, 2, '3'}, Case{false, false, 1, '3'}}) {
        SCOPED_TRACE(testing::Message() << "bg on " << c.bg_on << " behind " << c.behind << " bg " << c.bg);
        Screen s("dmgB");
        s.solid_tile(1, c.bg);
        s.fill_map(0x9800, 1);
        s.solid_tile(2, 3);
        s.sprite(0, 16 + 30, 8 + 40, 2, c.behind ? Screen::OBJ_BEHIND_BG : 0);
        s.show(u8(0x92 | (c.bg_on ? 1 : 0)));
        EXPECT_EQ(s.shade(44, 33), c.expected);
        EXPECT_EQ(s.shade(60, 33), c.bg_on ? char('0' + c.bg) : '0') << "beside the sprite";
    }
}

// ---------------------------------------------------------------------------
// CGB background attributes

struct AttributeCase {
    const char* name;
    u8 attributes;
    const char* row0;  // columns 0-7 of line 0, as BG palette colour numbers
    const char* row7;
};

class PpuCgbAttributes : public testing::TestWithParam<AttributeCase> {};

TEST_P(PpuCgbAttributes, FlipBankAndPalette) {
    const AttributeCase& c = GetParam();
    Screen s("cgbE", true);
    for (int p = 0; p < 8; ++p)
        for (int i = 0; i < 4; ++i) s.bg_colour(p, i, u16((p << 10) | (i * 8)));
    s.tile(1, {"01230000", "00000000", "00000000", "00000000", "00000000", "00000000", "00000000", "33221100"}, 0);
    s.tile(1, {"11110000", "00000000", "00000000", "00000000", "00000000", "00000000", "00000000", "00002222"}, 1);
    s.fill_map(0x9800, 1);
    s.fill_attributes(0x9800, c.attributes);
    s.show(0x91);
    const int palette = c.attributes & 7;
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(s.pixel(x, 0), argb_of(u16((palette << 10) | ((c.row0[x] - '0') * 8)))) << "line 0 column " << x;
        EXPECT_EQ(s.pixel(x, 7), argb_of(u16((palette << 10) | ((c.row7[x] - '0') * 8)))) << "line 7 column " << x;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PpuCgbAttributes,
    testing::Values(AttributeCase{"x_flip_palette_5", 0x25, "00003210", "00112233"},
                    AttributeCase{"y_flip", 0x40, "33221100", "01230000"},
                    AttributeCase{"bank_1", 0x08, "11110000", "00002222"},
                    AttributeCase{"bank_1_both_flips_palette_7", 0x6F, "22220000", "00001111"}),
    [](const testing::TestParamInfo<AttributeCase>& info) { return std::string(info.param.name); });

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

TEST(PpuColours, CgbPaletteColoursWidenToEightBits) {
    struct Case {
        u16 bgr;
        u32 argb;
    };
    const Case cases[] = {{0x7FFF, 0xFFFFFFFF}, {0x001F, 0xFFFF0000}, {0x03E0, 0xFF00FF00},
                          {0x7C00, 0xFF0000FF}, {0x5294, 0xFFA5A5A5}, {0x8010, 0xFF840000}};
    for (const Case& c : cases) {
        Screen s("cgbE", true);
        s.bg_colour(3, 2, c.bgr);
        s.obj_colour(6, 1, c.bgr);
        s.solid_tile(1, 2);
        s.fill_map(0x9800, 1);
        s.fill_attributes(0x9800, 3);
        s.solid_tile(2, 1);
        s.sprite(0, 16, 8, 2, 6);
        s.show(0x93);
        EXPECT_EQ(s.pixel(20, 20), c.argb) << std::hex << "background " << c.bgr;
        EXPECT_EQ(s.pixel(3, 3), c.argb) << std::hex << "sprite " << c.bgr;
    }
}

// A CGB running a monochrome cartridge takes BGP/OBP shades into the colours
// its boot program chose: BG palette 0 for the background, OBJ palettes 0 and
// 1 for OBP0 and OBP1.
TEST(PpuColours, CgbInDmgModeShadesThroughTheBootPalettes) {
    Screen s("cgbE", false);
    s.tile(1, {"01230123", "01230123", "01230123", "01230123", "01230123", "01230123", "01230123", "01230123"});
    s.fill_map(0x9800, 1);
    s.write(REG_BGP, 0x1B);   // colours 0-3 to shades 3, 2, 1, 0
    s.write(REG_OBP0, 0xE4);
    s.write(REG_OBP1, 0x24);  // colours 1-3 to shades 1, 2, 0
    s.sprite(0, 16 + 20, 8 + 0, 1, 0);
    s.sprite(1, 16 + 20, 8 + 8, 1, Screen::OBJ_OBP1);
    s.show(0x93);
    const u32 bg[4] = {0xFFFFFFFF, 0xFF7BFF31, 0xFF0063C6, 0xFF000000};
    const u32 obj[4] = {0xFFFFFFFF, 0xFFFF8484, 0xFF943939, 0xFF000000};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(s.pixel(x, 3), bg[3 - x]) << "background column " << x;
    EXPECT_EQ(s.pixel(0, 20), bg[3]) << "sprite colour 0 shows the background";
    const int obp0[3] = {1, 2, 3}, obp1[3] = {1, 2, 0};
    for (int c = 1; c < 4; ++c) {
        EXPECT_EQ(s.pixel(c, 20), obj[obp0[c - 1]]) << "OBP0 colour " << c;
        EXPECT_EQ(s.pixel(8 + c, 20), obj[obp1[c - 1]]) << "OBP1 colour " << c;
    }
}

// ---------------------------------------------------------------------------
// Frames

class FrameHost : public Host {
public:
    void update_display(const u32* frame) override {
        white.push_back(true);
        for (int i = 0; i < PPU::SCREEN_WIDTH * PPU::SCREEN_HEIGHT; ++i)
            if (frame[i] != 0xFFFFFFFF) white.back() = false;
    }
    u8 get_joypad_state() override { return 0; }
    std::vector<bool> white;
};

TEST(PpuFrames, FirstFrameAfterSwitchingOnIsBlank) {
    for (const char* model : {"dmgB", "cgbE"}) {
        Screen s(model);
        FrameHost host;
        s.gb.host = &host;
        s.gb.player_turbo = true;
        s.solid_tile(1, 3);
        s.fill_map(0x9800, 1);
        s.write(REG_LCDC, 0x91);
        for (int i = 0; i < 3; ++i) s.finish_frame();
        EXPECT_EQ(host.white, (std::vector<bool>{true, false, false})) << model;
        s.gb.host = nullptr;
    }
}

}  // namespace
