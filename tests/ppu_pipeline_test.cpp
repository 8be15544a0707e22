// Register writes in the middle of a line on the models the picture test
// ROMs do not cover, the window's dropped column, the background-only line
// shortcut against the full pipeline, the register-write log, and frame
// pacing.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "ppu_screen.h"

namespace {

class FrameSink : public Host {
public:
    void update_display(const u32*) override {}
    u8 get_joypad_state() override { return 0; }
};

constexpr int LINE = 50;

// A background of colour 1 everywhere, BGP mapping colour 1 to shade 1.
void plain_colour_1(Screen& s) {
    s.solid_tile(1, 1);
    s.fill_map(0x9800, 1);
}

// First column of `line` that does not show shade `old_shade` (160 if none).
int first_change(const Screen& s, int line, char old_shade) {
    const std::string row = s.shades(line);
    const size_t at = row.find_first_not_of(old_shade);
    return at == std::string::npos ? PPU::SCREEN_WIDTH : int(at);
}

// Runs to `cycle` of line LINE in the second frame after switching on.
void run_to_line_cycle(Screen& s, u8 lcdc, int cycle) {
    s.write(REG_LCDC, lcdc);
    s.finish_frame();
    s.run_to_line(LINE);
    s.run(cycle);
}

// ---------------------------------------------------------------------------
// BGP in mode 3 on DMG (the CGB revisions are checked by the test ROMs)

// Colour 1 goes from shade 1 (BGP E4) to shade 2 (BGP E8); OR of the two
// palettes gives shade 3.
std::string line_after_bgp_write(const char* model, int cycle) {
    Screen s(model);
    plain_colour_1(s);
    run_to_line_cycle(s, 0x91, cycle);
    s.write(REG_BGP, 0xE8);
    s.finish_frame();
    return s.shades(LINE);
}

// The line splits where the write lands, with one pixel showing the old OR
// the new palette; one cycle later is one pixel later.
TEST(PpuMidLineBgp, SplitsTheLineWhereTheWriteLands) {
    for (const char* model : {"dmgB", "dmg0"}) {
        SCOPED_TRACE(model);
        for (int cycle : {120, 121, 170, 200}) {
            const std::string row = line_after_bgp_write(model, cycle);
            const size_t split = row.find_first_not_of('1');
            ASSERT_NE(split, std::string::npos) << "cycle " << cycle;
            ASSERT_GT(split, 0u) << "cycle " << cycle;
            std::string expected = std::string(split, '1') + '3';
            expected += std::string(PPU::SCREEN_WIDTH - expected.size(), '2');
            EXPECT_EQ(row, expected) << "cycle " << cycle;
            EXPECT_EQ(line_after_bgp_write(model, cycle + 1).find_first_not_of('1'), split + 1) << "cycle " << cycle;
        }
    }
}

// OBP0 and OBP1 reach the sprite pixels one cycle after the write, a cycle
// sooner than BGP reaches the background: the first sprite pixel in the new
// shade is the first background pixel that a BGP write of the same cycle
// changes (the one showing its mix of old and new, unless a sprite fetch
// stalled the output then). Ten sprites cover columns 0-79 of the line;
// transparent ones cost the same fetch time and let the background show.
TEST(PpuMidLineObp, ReachesSpritesOneCycleAfterTheWrite) {
    auto line_after_write = [](const char* model, u16 reg, bool opaque, bool obp1, int cycle) {
        Screen s(model);
        plain_colour_1(s);
        s.solid_tile(2, opaque ? 1 : 0);
        for (int i = 0; i < 10; ++i) s.sprite(i, LINE + 16, 8 + 8 * i, 2, obp1 ? Screen::OBJ_OBP1 : 0);
        run_to_line_cycle(s, 0x93, cycle);
        s.write(reg, 0xE8);  // colour 1: shade 1 -> shade 2
        s.finish_frame();
        return s.shades(LINE);
    };
    for (const char* model : {"dmgB", "dmgC"}) {
        for (bool obp1 : {false, true}) {
            int mixed_pixels = 0;
            for (int cycle = 107; cycle < 240; cycle += 3) {
                SCOPED_TRACE(testing::Message() << model << (obp1 ? " OBP1" : " OBP0") << " cycle " << cycle);
                const std::string bg = line_after_write(model, REG_BGP, false, obp1, cycle);
                const size_t first = bg.find_first_not_of('1');
                ASSERT_GT(first, 0u);
                if (first >= 80) continue;  // past the sprites
                if (bg[first] == '3') ++mixed_pixels;
                const std::string sprites = line_after_write(model, obp1 ? REG_OBP1 : REG_OBP0, true, obp1, cycle);
                EXPECT_EQ(sprites.substr(0, 80), std::string(first, '1') + std::string(80 - first, '2'));
            }
            EXPECT_GE(mixed_pixels, 5);
        }
    }
}

// LCDC bit 0 reaches mixing 2 cycles after the write, the cycle BGP arrives
// too: switching the background off splits the line where a BGP write at the
// same cycle would. (The CGB revisions and "dmgC" are checked by the test
// ROMs.)
TEST(PpuMidLineLcdc, BackgroundOffLandsWithBgp) {
    for (int cycle : {130, 190}) {
        const int bgp_new = int(line_after_bgp_write("dmgB", cycle).find_first_of('2'));
        Screen s("dmgB");
        plain_colour_1(s);
        run_to_line_cycle(s, 0x91, cycle);
        s.write(REG_LCDC, 0x90);
        s.finish_frame();
        const int off = first_change(s, LINE, '1');
        EXPECT_EQ(s.shades(LINE).substr(size_t(off)), std::string(size_t(PPU::SCREEN_WIDTH - off), '0'))
            << "cycle " << cycle;
        EXPECT_EQ(off, bgp_new) << "cycle " << cycle;
    }
}

// ---------------------------------------------------------------------------
// Enabling the window at its trigger pixel on the early DMG revisions makes
// the pipeline drop one output column; the line's pixels then never spill
// into the line above.

TEST(PpuDroppedColumn, NeverWritesIntoThePreviousLine) {
    for (const char* model : {"dmg0", "dmgB"}) {
        for (int cycle = 84; cycle < 110; ++cycle) {
            Screen s(model);
            // Background rows of colour 3, except every eighth row (line
            // LINE among them) of colour 1; the window all colour 1.
            s.tile(1, {"33333333", "33333333", "11111111", "33333333", "33333333", "33333333", "33333333",
                       "33333333"});
            s.fill_map(0x9800, 1);
            s.solid_tile(2, 1);
            s.fill_map(0x9C00, 2);
            s.write(REG_WX, 6);
            run_to_line_cycle(s, 0x91, cycle);
            s.write(REG_LCDC, 0xF1);  // window on, in the middle of line LINE
            s.finish_frame();
            ASSERT_EQ(s.shades(LINE - 1), std::string(PPU::SCREEN_WIDTH, '3')) << model << " cycle " << cycle;
        }
    }
}

// ---------------------------------------------------------------------------
// DMG: the window switched off just before its start still takes one pixel,
// showing background colour 0, and the background resumes one column later.
// It comes when the window was on as the line started and the fetcher meets
// the start column at a tile's end, or, for a window switched on later in the
// line, when the write lands as the fetcher reads a tile's high byte with the
// start 11 pixels ahead.

TEST(PpuDmgWindowOff, JustBeforeItsStartLeavesOneColour0Pixel) {
    struct Row {
        int enable_cycle;  // -1: on from the line's start
        u8 wx;
        int disable_cycle;
        bool glitch;
    };
    const Row rows[] = {
        {-1, 87, 150, true}, {-1, 95, 150, true}, {-1, 88, 150, false},   {-1, 91, 160, false},
        {100, 87, 172, true}, {100, 87, 171, false}, {100, 87, 173, false}, {100, 95, 180, true},
    };
    auto line = [](const char* model, int enable_cycle, u8 wx, int disable_cycle) {
        Screen s(model);
        s.tile(1, {"12312312", "12312312", "12312312", "12312312", "12312312", "12312312", "12312312", "12312312"});
        s.fill_map(0x9800, 1);
        s.solid_tile(2, 3);
        s.fill_map(0x9C00, 2);
        s.write(REG_WX, wx);
        s.write(REG_WY, 0);
        run_to_line_cycle(s, enable_cycle < 0 ? 0xF1 : 0xD1, 0);
        if (enable_cycle >= 0) {
            s.run(enable_cycle - s.gb.ppu.get_scanline_cycle_count());
            s.write(REG_LCDC, 0xF1);
        }
        if (disable_cycle >= 0) {
            s.run(disable_cycle - s.gb.ppu.get_scanline_cycle_count());
            s.write(REG_LCDC, 0xD1);
        }
        s.finish_frame();
        return s.shades(LINE);
    };
    for (const char* model : {"dmgB", "dmgC"}) {
        const std::string plain = line(model, -1, 200, -1);
        for (const Row& r : rows) {
            SCOPED_TRACE(testing::Message() << model << " WX " << int(r.wx) << ", on at " << r.enable_cycle
                                            << ", off at " << r.disable_cycle);
            const size_t column = size_t(r.wx - 7);
            const std::string glitch = plain.substr(0, column) + '0' + plain.substr(column, plain.size() - column - 1);
            EXPECT_EQ(line(model, r.enable_cycle, r.wx, r.disable_cycle), r.glitch ? glitch : plain);
        }
    }
}

// The same pixel on every later line of the frame, once the window has
// started in it and is then switched off: the DMG family's WX match still
// comes on each line (WX 0-166), and where WX & 7 = 7 - (SCX & 7) the pixel
// at the window's start column shows background colour 0 and the rest of the
// background comes one pixel later (left of the screen, WX below 7, only the
// shift shows). It takes a pixel's place: mode 3 keeps the length the state
// machine counts. A window that never started (WY never met) leaves no such
// pixel, and the CGB, running a monochrome cartridge or in CGB mode, shows
// none. The probe sweeps SCX and WX line by line, drawn by the pipeline with
// and without the background-only shortcut (which must leave the lines with
// the pixel to the pipeline) and by the whole-line renderer.

TEST(PpuDmgWindowOff, AfterItStartedEveryLaterMatchLeavesOneColour0Pixel) {
    struct Machine {
        const char* model;
        bool colour_cartridge;
        bool glitch;
    };
    const Machine machines[] = {
        {"dmg0", false, true}, {"dmgA", false, true}, {"dmgB", false, true},  {"dmgC", false, true},
        {"mgb", false, true},  {"sgb", false, true},  {"sgb2", false, true},  {"cgbC", false, false},
        {"cgbE", false, false}, {"cgbE", true, false},
    };
    struct Probe {
        u8 scx, wx;
    };
    std::vector<Probe> probes;
    for (int fine = 0; fine < 8; ++fine) {
        for (int wx = 0; wx < 168; ++wx) {
            if (wx >= 16 && wx < 80) continue;
            if (wx >= 88 && wx < 150) continue;
            probes.push_back({u8(fine + 8 * (probes.size() % 32)), u8(wx)});
        }
    }
    constexpr int FIRST_LINE = 8;  // the window is on for lines 0-7
    constexpr int LINES = PPU::SCREEN_HEIGHT - FIRST_LINE;
    const std::string tile_row = "12312312";  // no colour 0 in the background
    for (const Machine& m : machines) {
        for (const bool started : {true, false}) {
            for (const int path : {0, 1, 2}) {
                const bool whole = path == 2;
                SCOPED_TRACE(testing::Message() << m.model << (m.colour_cartridge ? " CGB mode" : "")
                                                << (started ? "" : ", window never started")
                                                << (path == 0 ? "" : path == 1 ? ", no shortcut" : ", whole line"));
                Screen s(m.model, m.colour_cartridge);
                s.gb.ppu.use_pipeline = s.gb.ppu.register_write_catch_up = !whole;
                s.gb.ppu.plain_line_shortcut = path == 0;
                if (m.colour_cartridge)
                    for (int c = 0; c < 4; ++c) s.bg_colour(0, c, u16(0x7FFF - 0x2108 * 3 * c));
                s.tile(1, {tile_row.c_str(), tile_row.c_str(), tile_row.c_str(), tile_row.c_str(), tile_row.c_str(),
                           tile_row.c_str(), tile_row.c_str(), tile_row.c_str()});
                s.fill_map(0x9800, 1);
                s.write(REG_LCDC, 0x91);
                s.finish_frame();  // the first frame after switching on is blank
                std::set<int> length_differences;  // pipeline against state machine
                for (size_t next = 0; next < probes.size();) {
                    // Before the frame starts: the window on for its first
                    // lines, met by WY or not.
                    s.write(REG_WY, started ? 0 : 200);
                    s.write(REG_WX, 7);
                    s.write(REG_SCX, 0);
                    s.write(REG_LCDC, 0xB1);
                    const size_t first = next;
                    for (int line = 0; line < PPU::SCREEN_HEIGHT; ++line) {
                        s.run_to_line(line);
                        s.run(320);  // the line's horizontal blank
                        const int y = line - FIRST_LINE;
                        if (!whole && y >= 0 && first + size_t(y) < probes.size())
                            length_differences.insert(s.gb.ppu.mode_3_cycle - s.gb.ppu.mode_3_length);
                        if (line == FIRST_LINE - 1) s.write(REG_LCDC, 0x91);  // the window off
                        if (line + 1 >= FIRST_LINE && line + 1 < PPU::SCREEN_HEIGHT && next < probes.size()) {
                            s.write(REG_SCX, probes[next].scx);
                            s.write(REG_WX, probes[next].wx);
                            ++next;
                        }
                    }
                    for (int y = 0; y < LINES && first + size_t(y) < probes.size(); ++y) {
                        const Probe p = probes[first + size_t(y)];
                        const bool glitch = m.glitch && started && p.wx <= 166 && ((p.wx + p.scx) & 7) == 7;
                        const int at = p.wx - 7;  // the window's start column
                        std::string expected;
                        for (int x = 0; x < PPU::SCREEN_WIDTH; ++x) {
                            const int from = glitch && x > at ? x - 1 : x;
                            expected += glitch && x == at ? '0' : tile_row[size_t((from + p.scx) & 7)];
                        }
                        ASSERT_EQ(s.shades(FIRST_LINE + y), expected)
                            << "SCX " << int(p.scx) << ", WX " << int(p.wx) << ", line " << FIRST_LINE + y;
                    }
                    s.run_to_line(PPU::SCREEN_HEIGHT);
                    s.run(320);
                }
                if (!whole) {
                    EXPECT_EQ(length_differences.size(), 1u);
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// CGB: an LCDC write switching tile data from 8000 to 8800 on the very cycle
// of a tile data read. Tile 1 is all colour 3 at 8010 and columns of colours
// 1 and 2 (bytes F0, 0F) at 9010. On the revisions before D a read of the low
// byte takes the tile number (01) instead, and a read of the high byte the
// new byte replaced by the tile number; CGB-D reads the high byte from the
// low byte's address instead. Over one tile's eight write cycles the line
// shows these tiles between the old and the new pattern.

TEST(PpuCgbTileDataSwitch, ReadOnTheWriteCycleMixesTheAreasByRevision) {
    struct Row {
        const char* model;
        std::set<std::string> tiles;
    };
    const Row rows[] = {
        {"cgbD", {"11113333", "33331111"}},
        {"cgbC", {"11113333", "00002223", "11111113"}},
        {"cgbE", {"11113333", "00002223", "11111113"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.model);
        std::set<std::string> tiles;
        for (int cycle = 120; cycle < 128; ++cycle) {
            Screen s(r.model);  // a monochrome cartridge: CGB-in-DMG mode
            s.solid_tile(1, 3);
            for (int row = 0; row < 8; ++row) {
                s.gb.vram[size_t(0x1010 + 2 * row)] = 0xF0;
                s.gb.vram[size_t(0x1011 + 2 * row)] = 0x0F;
            }
            s.fill_map(0x9800, 1);
            run_to_line_cycle(s, 0x91, 0);
            s.run(cycle - s.gb.ppu.get_scanline_cycle_count());
            s.write(REG_LCDC, 0x81);
            s.finish_frame();
            const std::string line = s.shades(LINE);
            for (int x = 0; x < PPU::SCREEN_WIDTH; x += 8) {
                const std::string tile = line.substr(size_t(x), 8);
                if (tile != "33333333" && tile != "11112222") tiles.insert(tile);
            }
        }
        EXPECT_EQ(tiles, r.tiles);
    }
}

// ---------------------------------------------------------------------------
// Lines on which only the background can act take a shorter loop; it must
// leave exactly what the full pipeline leaves, in the picture and in the
// pipeline's own state that the next line or a register write can see.

void expect_same_pipeline(const PPU& a, const PPU& b, const std::string& where) {
    EXPECT_EQ(a.frame_buffer, b.frame_buffer) << where;
    EXPECT_EQ(std::tie(a.pixel_x, a.output_x, a.output_started, a.output_armed, a.fifo_cycle, a.mode_3_cycle),
              std::tie(b.pixel_x, b.output_x, b.output_started, b.output_armed, b.fifo_cycle, b.mode_3_cycle))
        << where;
    EXPECT_EQ(std::tie(a.tile_fetcher_state, a.tile_fetcher_next_state, a.tile_fetcher_wait, a.fetcher_data_low,
                       a.fetcher_data_high, a.fetcher_attributes, a.fetcher_tile, a.fetcher_address, a.fetch_scy),
              std::tie(b.tile_fetcher_state, b.tile_fetcher_next_state, b.tile_fetcher_wait, b.fetcher_data_low,
                       b.fetcher_data_high, b.fetcher_attributes, b.fetcher_tile, b.fetcher_address, b.fetch_scy))
        << where;
    EXPECT_EQ(std::tie(a.bg_tile_x, a.bg_shift_low, a.bg_shift_high, a.bg_shift_count, a.bg_shift_attributes,
                       a.bg_shift_priority, a.sprite_x0_wait, a.window_x, a.window_line),
              std::tie(b.bg_tile_x, b.bg_shift_low, b.bg_shift_high, b.bg_shift_count, b.bg_shift_attributes,
                       b.bg_shift_priority, b.sprite_x0_wait, b.window_x, b.window_line))
        << where;
    EXPECT_EQ(std::tie(a.obj_shift_low, a.obj_shift_high, a.obj_shift_bytes, a.obj_shift_priority, a.obj_shift_owners,
                       a.sprite_count, a.window_triggered, a.first_window_fetch, a.window_tile_x),
              std::tie(b.obj_shift_low, b.obj_shift_high, b.obj_shift_bytes, b.obj_shift_priority, b.obj_shift_owners,
                       b.sprite_count, b.window_triggered, b.first_window_fetch, b.window_tile_x))
        << where;
}

// The same holds for the stretches of a line taken a whole tile at a time
// between sprites and around the window.
TEST(PpuPlainLines, SameAsTheFullPipeline) {
    struct Run {
        const char* model;
        bool colour_cartridge;
        bool sprites_and_window;
    };
    for (const Run r : {Run{"dmgB", false, false}, Run{"cgbE", true, false}, Run{"cgbC", false, false},
                        Run{"dmgB", false, true}, Run{"cgbE", true, true}, Run{"cgbC", false, true}}) {
        SCOPED_TRACE(std::string(r.model) + (r.sprites_and_window ? " with sprites and window" : ""));
        std::mt19937 random(1234);
        Screen quick(r.model, r.colour_cartridge), full(r.model, r.colour_cartridge);
        full.gb.ppu.plain_line_shortcut = false;
        full.gb.ppu.whole_tile_steps = false;
        for (Screen* s : {&quick, &full}) {
            std::mt19937 scene(99);
            for (size_t i = 0; i < 0x4000; ++i) s->gb.vram[i] = u8(scene());
            for (int i = 0; i < 8 * 4; ++i) s->bg_colour(i / 4, i % 4, u16(scene() & 0x7FFF));
            for (int i = 0; i < 8 * 4; ++i) s->obj_colour(i / 4, i % 4, u16(scene() & 0x7FFF));
            for (int i = 0; i < 40; ++i) {
                if (r.sprites_and_window)
                    s->sprite(i, int(scene() % 176), int(scene() % 176), u8(scene()), u8(scene()));
                else
                    s->sprite(i, 0, 0, 0);  // all off the screen
            }
            if (r.sprites_and_window) {
                s->write(REG_WX, u8(scene() % 168));
                s->write(REG_WY, u8(scene() % 80));
            }
            s->write(REG_LCDC, r.sprites_and_window ? 0xF7 : 0x91);
        }
        const u16 registers[] = {REG_SCX, REG_SCY, REG_BGP, REG_LCDC, REG_WX, REG_WY};
        for (int frame = 0; frame < 3; ++frame) {
            for (int line = 1; line < PPU::SCREEN_HEIGHT; ++line) {
                quick.run_to_line(line);
                full.run_to_line(line);
                // Now and then a write somewhere in the line: in mode 3 it
                // sends the line through the full pipeline.
                int cycle = 0;
                if (random() % 3 == 0) {
                    const u16 address = registers[random() % 6];
                    u8 value = u8(random());
                    if (address == REG_LCDC) value = u8(0x80 | (value & 0x7F));  // the LCD stays on
                    if (address == REG_WY) value = u8(value | 0x80);
                    cycle = int(random() % 300);
                    quick.run(cycle);
                    full.run(cycle);
                    quick.write(address, value);
                    full.write(address, value);
                }
                // Compared in the line's horizontal blank, mode 3 complete.
                quick.run(320 - cycle);
                full.run(320 - cycle);
                expect_same_pipeline(quick.gb.ppu, full.gb.ppu,
                                     "frame " + std::to_string(frame) + " line " + std::to_string(line));
                if (testing::Test::HasFailure()) return;
            }
        }
    }
}

// The STAT mode change is timed by the state machine's own mode-3 length; the
// pipeline, which places mid-line writes, must take as long. On lines with
// sprites and no window the cost of the sprites has to be the same in both,
// for any SCX and any mix of X positions (X = 0 included).
TEST(PpuSpriteCost, PipelineTakesWhatTheStateMachineCounts) {
    for (const char* model : {"dmgB", "cgbE"}) {
        SCOPED_TRACE(model);
        Screen s(model, std::string(model) == "cgbE");
        s.gb.ppu.plain_line_shortcut = false;
        std::mt19937 random(5);
        constexpr int SPRITE_LINE = 40, PLAIN_LINE = 20;  // sprites cover lines 40-47 only
        for (int trial = 0; trial < 300; ++trial) {
            s.write(REG_LCDC, 0x00);
            s.gb.oam.fill(0);
            const int count = 1 + int(random() % 10);
            for (int i = 0; i < count; ++i)
                s.sprite(i, SPRITE_LINE + 16, random() % 4 == 0 ? int(random() % 8) : int(random() % 170), 0);
            s.write(REG_SCX, u8(random()));
            s.write(REG_LCDC, 0x83);
            const std::string where = "trial " + std::to_string(trial);
            // Both are read in the line's horizontal blank, mode 3 complete.
            s.run_to_line(PLAIN_LINE);
            s.run(450);
            const int plain_pipeline = s.gb.ppu.mode_3_cycle, plain_length = s.gb.ppu.mode_3_length;
            s.run_to_line(SPRITE_LINE);
            s.run(450);
            ASSERT_EQ(s.gb.ppu.mode_3_cycle - plain_pipeline, s.gb.ppu.mode_3_length - plain_length) << where;
        }
    }
}

// The ten sprites a line takes are the first ten in OAM on it, off-screen
// ones (X >= 168) included: they cost nothing, but an eleventh behind them
// is neither drawn nor paid for. STAT shows mode 0 as early as on a line
// without sprites.
TEST(PpuSpriteCost, OffScreenSpritesCountTowardsTheTen) {
    struct Row {
        const char* model;
        int off_screen;
        bool drawn;
    };
    const Row rows[] = {{"dmgB", 10, false}, {"dmgB", 9, true}, {"cgbE", 10, false}, {"cgbE", 9, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << ", " << r.off_screen << " off screen");
        Screen s(r.model);
        s.solid_tile(1, 3);
        constexpr int SPRITE_LINE = 40, PLAIN_LINE = 20;  // sprites cover lines 40-47
        for (int i = 0; i < r.off_screen; ++i) s.sprite(i, SPRITE_LINE + 16, 168 + i % 3, 1);
        s.sprite(r.off_screen, SPRITE_LINE + 16, 88, 1);  // screen columns 80-87
        s.write(REG_LCDC, 0x83);
        s.finish_frame();
        // The line cycle at which STAT first shows mode 0.
        auto hblank_starts = [&](int line) {
            s.run_to_line(line);
            int cycle = 0;
            while ((s.read(REG_STAT) & 3) != 0 || cycle < 80) {
                s.run(1);
                ++cycle;
            }
            return cycle;
        };
        const int plain = hblank_starts(PLAIN_LINE), sprites = hblank_starts(SPRITE_LINE);
        if (r.drawn)
            EXPECT_GT(sprites, plain);
        else
            EXPECT_EQ(sprites, plain);
        s.finish_frame();
        EXPECT_EQ(s.shades(SPRITE_LINE, 80, 8), r.drawn ? "33333333" : "00000000");
    }
}

// ---------------------------------------------------------------------------
// Register-write log

TEST(PpuWriteLog, HoldsTheFramesWritesWithTheValuesBefore) {
    Screen s("dmgB");
    s.write(REG_LCDC, 0x91);
    s.finish_frame();
    s.run_to_line(10);
    s.run(100);
    s.gb.ppu.register_write_log.clear();
    s.write(REG_SCX, 5);
    s.write(REG_BGP, 0x1B);
    s.write(REG_STAT, 0x40);  // STAT, LYC and palette ports are not logged
    s.write(REG_LYC, 3);
    s.write(REG_SCX, 9);
    const auto& log = s.gb.ppu.register_write_log;
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].line, 10);
    EXPECT_EQ(log[0].cycle, 100);
    const std::array<int, 3> expected[] = {{REG_SCX, 0, 5}, {REG_BGP, 0xE4, 0x1B}, {REG_SCX, 5, 9}};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ((std::array<int, 3>{log[i].register_address, log[i].old_value, log[i].new_value}), expected[i]) << i;
    // Emptied when line 144 starts.
    s.run_to_line(144);
    EXPECT_TRUE(s.gb.ppu.register_write_log.empty());
}

TEST(PpuWriteLog, BoundedWhileTheLcdStaysOff) {
    Screen s("dmgB");
    const int writes = 3 * PPU::FRAME_CYCLES / 4;
    for (int i = 0; i < writes; ++i) s.write(REG_SCY, u8(i));
    const auto& log = s.gb.ppu.register_write_log;
    EXPECT_LE(log.size(), size_t(PPU::FRAME_CYCLES / 4));
    EXPECT_GE(log.size(), size_t(PPU::FRAME_CYCLES / 8));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().new_value, u8(writes - 1)) << "the newest write is kept";
}

// ---------------------------------------------------------------------------
// Frame pacing: frames are released on 16 ms marks.

TEST(PpuPacing, SleepBeforeTheNextMark) {
    struct Case {
        u32 next_tick, now;
        u32 sleep;
    };
    const Case cases[] = {
        {1000, 984, 15},  // a whole frame early: at most 15 ms
        {1000, 990, 9},   // wakes 1 ms before the mark
        {1000, 997, 2},   // 3 ms early still sleeps
        {1000, 998, 0},   // 2 ms early does not
        {1000, 1200, 0},  // late: no sleep, no catching up
        {5, 0xFFFFFFFBu, 9},  // across the wrap of the millisecond counter
    };
    for (const Case& c : cases)
        EXPECT_EQ(PPU::frame_pacing_sleep_ms(c.next_tick, c.now), c.sleep) << c.next_tick << " at " << c.now;
}

// The machine paces frames only when asked to, and only while it shows them
// to a player: not headless, not in turbo, not while running to a target.
TEST(PpuPacing, OnlyForAPlayerWatching) {
    struct Case {
        bool host, player_turbo, turbo_run, frame_pacing;
        bool paced;
    };
    const Case cases[] = {{true, false, false, true, true},   {false, false, false, true, false},
                          {true, true, false, true, false},   {true, false, true, true, false},
                          {true, false, false, false, false}};
    for (const Case& c : cases) {
        Screen s("dmgB");
        FrameSink sink;
        if (c.host) s.gb.host = &sink;
        s.gb.player_turbo = c.player_turbo;
        s.gb.turbo_run = c.turbo_run;
        s.gb.cpu.turbo_target_cycle = s.gb.cpu.cycles_4mhz + 100 * PPU::FRAME_CYCLES;
        s.gb.ppu.frame_pacing = c.frame_pacing;
        s.gb.ppu.next_frame_tick = 0;
        s.write(REG_LCDC, 0x91);
        s.finish_frame();
        EXPECT_EQ(s.gb.ppu.next_frame_tick != 0, c.paced)
            << "host " << c.host << " turbo " << c.player_turbo << " run to target " << c.turbo_run << " pacing "
            << c.frame_pacing;
        s.gb.host = nullptr;
    }
}

}  // namespace
