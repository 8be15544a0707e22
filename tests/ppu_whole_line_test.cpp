// The whole-line renderers against the pixel pipeline: with the render-path
// switches cleared every line is drawn at once from the registers at the end
// of its mode 3, and wherever no register changes during mode 3 the picture
// must be the pipeline's, pixel for pixel. Random scenes check it on
// in-memory programs; the test-ROM suites (when ZEMBRIX_TEST_ROMS is set)
// check it frame by frame on real programs, leaving out only the lines a
// mid-line change reaches.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ppu_screen.h"

namespace {

void use_whole_line_renderers(GB& gb) {
    gb.ppu.use_pipeline = false;
    gb.ppu.register_write_catch_up = false;
}

// Where two frame buffers first differ, as text; empty when they are equal.
// Lines marked in `skip` are not compared.
std::string first_difference(const GB& pipeline, const GB& whole_line, const std::array<std::string, 144>* skip) {
    for (int y = 0; y < PPU::SCREEN_HEIGHT; ++y) {
        if (skip && !(*skip)[size_t(y)].empty()) continue;
        for (int x = 0; x < PPU::SCREEN_WIDTH; ++x) {
            const size_t i = size_t(y * PPU::SCREEN_WIDTH + x);
            const u32 a = pipeline.ppu.frame_buffer[i], b = whole_line.ppu.frame_buffer[i];
            if (a != b) {
                std::ostringstream out;
                out << "line " << y << " column " << x << ": pipeline " << std::hex << a << ", whole line " << b;
                return out.str();
            }
        }
    }
    return {};
}

// ---------------------------------------------------------------------------
// Random scenes: VRAM, OAM, palettes and registers set with the LCD off and
// left alone while the frames are drawn, so that no line has a mid-line
// change. The WX and SCX values include the edges of the window's range
// with every fine scroll, which place the window and the first background
// tile partly outside the line buffer.

struct SceneModel {
    const char* model;
    bool colour_cartridge;
};

void build_scene(Screen& s, u32 seed, bool colour_mode) {
    std::mt19937 random(seed);
    auto byte = [&] { return u8(random()); };
    // A monochrome cartridge on a CGB cannot write bank 1: its attributes
    // stay as the boot program leaves them, all 0.
    const size_t banked = colour_mode ? 0x4000 : 0x2000;
    for (size_t i = 0; i < banked; ++i) s.gb.vram[i] = byte();
    for (int i = 0; i < 40; ++i) s.sprite(i, int(random() % 176), int(random() % 180), byte(), byte());
    if (s.gb.is_cgb)
        for (int i = 0; i < 64; ++i) {
            s.write(REG_BCPS, u8(0x80 | i));  // BG and OBJ palettes, both whole
            s.write(REG_BCPD, byte());
        }
    if (s.gb.is_cgb)
        for (int i = 0; i < 64; ++i) {
            s.write(REG_OCPS, u8(i));
            s.write(REG_OCPD, byte());
        }
    static constexpr u8 EDGE_WX[] = {0, 1, 6, 7, 8, 159, 160, 164, 165, 166, 167, 168, 255};
    const u8 wx = random() % 2 ? EDGE_WX[random() % std::size(EDGE_WX)] : byte();
    s.write(REG_WX, wx);
    s.write(REG_WY, random() % 4 == 0 ? u8(0) : u8(random() % 150));
    s.write(REG_SCX, byte());
    s.write(REG_SCY, byte());
    s.write(REG_BGP, byte());
    s.write(REG_OBP0, byte());
    s.write(REG_OBP1, byte());
}

TEST(PpuWholeLine, RandomScenesLookAsThePipelineDrawsThem) {
    for (const SceneModel m : {SceneModel{"dmgB", false}, SceneModel{"cgbE", true}, SceneModel{"cgbC", false}}) {
        for (u32 trial = 0; trial < 24; ++trial) {
            SCOPED_TRACE(testing::Message() << m.model << " scene " << trial);
            Screen pipeline(m.model, m.colour_cartridge), whole_line(m.model, m.colour_cartridge);
            use_whole_line_renderers(whole_line.gb);
            std::mt19937 random(trial);
            const u8 lcdc = u8(0x80 | random());
            for (Screen* s : {&pipeline, &whole_line}) {
                build_scene(*s, trial * 7919u, m.colour_cartridge);
                s->write(REG_LCDC, lcdc);
            }
            // The first frame after switching on is white; two more follow.
            for (int frame = 0; frame < 3; ++frame) {
                pipeline.finish_frame();
                whole_line.finish_frame();
                ASSERT_EQ(first_difference(pipeline.gb, whole_line.gb, nullptr), "") << "frame " << frame;
                ASSERT_EQ(pipeline.gb.ppu.window_line, whole_line.gb.ppu.window_line) << "frame " << frame;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Sprite priority on DMG class: the sprites of a line settle among
// themselves before the top one meets the background. A sprite with the
// priority attribute that lies behind background colours 1-3 still covers
// the sprites below it there, so the background shows, not them.

TEST(PpuWholeLine, HiddenSpriteStillCoversTheSpritesBelowIt) {
    for (const bool whole : {false, true}) {
        SCOPED_TRACE(whole ? "whole line" : "pipeline");
        Screen s("dmgB");
        if (whole) use_whole_line_renderers(s.gb);
        s.tile(1, {"00112233", "00112233", "00112233", "00112233", "00112233", "00112233", "00112233", "00112233"});
        s.fill_map(0x9800, 1);
        s.solid_tile(2, 3);
        s.sprite(0, 16 + 40, 8 + 40, 2, 0x80);  // lower x: on top, behind BG colours 1-3
        s.sprite(1, 16 + 40, 8 + 44, 2, 0x00);  // 4 pixels further right, in front of the BG
        s.show(0x93);
        // Columns 40-47: BG 00112233 with the top sprite showing over colour 0
        // only, also where the second sprite lies under it (44-47); 48-51:
        // the second sprite alone.
        EXPECT_EQ(s.shades(40, 40, 12), "331122333333");
    }
}

// Asked to draw a line while the LCD is off (the state machine never does),
// a renderer says so and leaves that line white; the machine runs on.
TEST(PpuWholeLine, DrawingWithTheLcdOffLeavesTheLineWhite) {
    for (const SceneModel m : {SceneModel{"dmgB", false}, SceneModel{"cgbE", true}}) {
        Screen s(m.model, m.colour_cartridge);
        s.gb.ppu.frame_buffer.fill(0xFF000000u);
        testing::internal::CaptureStdout();
        if (s.gb.is_dmg)
            s.gb.ppu.quick_render_line(5);
        else
            s.gb.ppu.quick_render_line_cgb(5);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "rendering while screen is off???\n") << m.model;
        EXPECT_EQ(s.pixel(0, 5), 0xFFFFFFFFu) << m.model;
        EXPECT_EQ(s.pixel(159, 5), 0xFFFFFFFFu) << m.model;
        EXPECT_EQ(s.pixel(0, 6), 0xFF000000u) << m.model;
    }
}

// ---------------------------------------------------------------------------
// Tile-use marks: while a viewer asks for them, the whole-line renderer marks
// every tile slot it draws with the palette it used (BG 0, OBP0 4, OBP1 8;
// both tiles of a 16-pixel sprite); unused slots keep 12. Without a viewer
// nothing is marked.

TEST(PpuWholeLine, MarksTheTilesItDraws) {
    for (const bool asked : {true, false}) {
        SCOPED_TRACE(asked ? "viewer asks" : "no viewer");
        Screen s("dmgB");
        use_whole_line_renderers(s.gb);
        s.gb.ppu.tile_usage_enabled = asked;
        s.fill_map(0x9800, 0x81);                // signed numbers: slot 0x81
        s.gb.vram[0x1800] = 0x05;                // one map entry: slot 256 + 5
        s.sprite(0, 16 + 20, 8 + 30, 0x20, 0x10);  // OBP1, 16 pixels tall: slots 0x20 and 0x21
        s.sprite(1, 16 + 60, 8 + 30, 0x41, 0x00);  // OBP0: slots 0x40 and 0x41
        s.show(0x87);  // BG on, tile data 0x8800 (signed), 16-pixel sprites
        const auto& marks = s.gb.ppu.tile_usage_dmg;
        const u32 bg = asked ? 0 : 12, obp0 = asked ? 4 : 12, obp1 = asked ? 8 : 12;
        EXPECT_EQ(marks[0x81], bg);
        EXPECT_EQ(marks[256 + 5], bg);
        EXPECT_EQ(marks[0x20], obp1);
        EXPECT_EQ(marks[0x21], obp1);
        EXPECT_EQ(marks[0x40], obp0);
        EXPECT_EQ(marks[0x41], obp0);
        EXPECT_EQ(marks[0x05], 12u) << "slot 5 of 0x8000 is not the signed tile 5";
        EXPECT_EQ(marks[0x30], 12u);
    }
}

// ---------------------------------------------------------------------------
// The timing picture: one row per line, one column per cycle. Mode 3 takes
// SCX & 7 cycles longer with fine scroll on either render path, and rows
// 144-153 are vertical blank. With no viewer asking, nothing is painted.

TEST(PpuTimingImage, RowsFollowTheModesOfEachLine) {
    constexpr u32 OAM_SCAN = 0xFFF3C75C, TRANSFER = 0xFFF17353, HBLANK = 0xFF5BEF73;
    for (const bool whole : {false, true}) {
        SCOPED_TRACE(whole ? "whole line" : "pipeline");
        auto transfer_cycles = [&](u8 scx, bool enabled) {
            Screen s("dmgB");
            if (whole) use_whole_line_renderers(s.gb);
            s.gb.ppu.timing_image_enabled = enabled;
            s.write(REG_SCX, scx);
            s.show(0x91);
            const u32* row = &s.gb.ppu.timing_image[size_t(70 * PPU::LINE_CYCLES)];
            int count = 0;
            for (int x = 0; x < PPU::LINE_CYCLES; ++x) count += row[x] == TRANSFER;
            if (enabled) {
                EXPECT_EQ(row[0], OAM_SCAN);
                EXPECT_EQ(row[79], OAM_SCAN);
                EXPECT_EQ(row[PPU::LINE_CYCLES - 1], HBLANK);
                EXPECT_EQ(s.gb.ppu.timing_image[size_t(150 * PPU::LINE_CYCLES + 10)], PPU::map_rgb(0x53, 0xE3, 0xF1));
            } else {
                EXPECT_EQ(std::count(s.gb.ppu.timing_image.begin(), s.gb.ppu.timing_image.end(), 0u),
                          std::ptrdiff_t(s.gb.ppu.timing_image.size()));
            }
            return count;
        };
        const int plain = transfer_cycles(0, true);
        EXPECT_GT(plain, 160);
        EXPECT_EQ(transfer_cycles(5, true) - plain, 5);
        EXPECT_EQ(transfer_cycles(5, false), 0);
    }
}

// ---------------------------------------------------------------------------
// The test-ROM suites, frame by frame on two machines in step: one draws with
// the pipeline, the other with the whole-line renderers. Both run the same
// instructions (nothing the CPU can see depends on the render path). A line
// is left out of the comparison only for a change that reaches its mode 3
// (mid-line changes are what the whole-line renderers do not model):
//  - a write to FF40, FF42, FF43 or FF47-FF4B from the cycle before mode 3
//    starts (77, when an effect delayed by up to two cycles lands in it) to
//    the end of mode 3;
//  - a CGB palette write during mode 3 (the palette ports are never blocked);
//  - an OAM DMA during mode 3 (the sprite fetches read object memory live).
// A mid-line window change can also leave the two window line counters
// apart; the whole-line machine then takes the pipeline's counter at the next
// line, as the lines after it have no change of their own. Anywhere else the
// counters must agree. Nothing else is left out: the window at WX = 166 and
// at WX = 0 with fine scroll, the CGB priorities between background, sprites
// and the master priority bit, and sprites overlapping with the priority
// attribute all draw what the pipeline draws.

struct RomCase {
    const char* rom;
    const char* model;
    int frames;
    bool every_line = false;  // no change ever reaches a mode 3
};

const RomCase ROM_CASES[] = {
    // Picture tests without mid-line writes.
    {"dmg-acid2/dmg-acid2.gb", "dmgC", 30, true},
    {"dmg-acid2/dmg-acid2.gb", "cgbE", 30, true},
    {"cgb-acid2/cgb-acid2.gbc", "cgbE", 30, true},
    {"cgb-acid2/cgb-acid2.gbc", "cgbC", 30, true},
    {"mooneye-test-suite/manual-only/sprite_priority.gb", "dmgB", 30, true},
    {"mooneye-test-suite/manual-only/sprite_priority.gb", "cgbE", 30, true},
    // Mid-line register writes (most of their lines are left out).
    {"mealybug-tearoom-tests/m3_bgp_change.gb", "dmgC", 10},
    {"mealybug-tearoom-tests/m3_lcdc_win_en_change_multiple.gb", "dmgC", 10},
    {"mealybug-tearoom-tests/m3_lcdc_obj_size_change.gb", "cgbC", 10},
    {"mealybug-tearoom-tests/m3_scx_low_3_bits.gb", "cgbE", 10},
    {"mealybug-tearoom-tests/m3_window_timing.gb", "dmgC", 10},
    {"mealybug-tearoom-tests/m3_wx_4_change_sprites.gb", "dmgC", 10},
    {"mealybug-tearoom-tests/m3_lcdc_tile_sel_win_change2.gb", "cgbC", 10},
    {"age-test-roms/m3-bg-bgp/m3-bg-bgp.gb", "dmgC", 10},
    {"age-test-roms/m3-bg-lcdc/m3-bg-lcdc.gb", "cgbE", 10},
    {"age-test-roms/m3-bg-lcdc/m3-bg-lcdc-ds.gb", "cgbE", 10},
    {"age-test-roms/m3-bg-lcdc/m3-bg-lcdc-nocgb.gb", "cgbE", 10},
    {"age-test-roms/m3-bg-scx/m3-bg-scx.gb", "dmgC", 10},
    // Game-like programs: scrolling scenes, sprites, the window, raster effects.
    {"scribbltests/fairylake/fairylake.gb", "dmgC", 120},
    {"scribbltests/fairylake/fairylake.gb", "cgbE", 120},
    {"scribbltests/scxly/scxly.gb", "dmgC", 20},
    {"scribbltests/palettely/palettely.gb", "cgbE", 20},
    {"turtle-tests/window_y_trigger/window_y_trigger.gb", "dmgC", 40},
    {"turtle-tests/window_y_trigger_wx_offscreen/window_y_trigger_wx_offscreen.gb", "cgbE", 40},
    {"strikethrough/strikethrough.gb", "dmgC", 40},
    {"rtc3test/rtc3test.gb", "cgbE", 40, true},
};

class RenderPaths {
public:
    // With `catch_up` the whole-line machine keeps the catch-up switch on:
    // a register write or an OAM DMA in mode 3 then advances its pipeline,
    // which finishes that line, so only palette writes are left out.
    RenderPaths(const std::string& rom, const std::string& model, bool catch_up = false) : catch_up_(catch_up) {
        for (auto* gb : {&pipeline_, &whole_line_}) {
            *gb = std::make_unique<GB>();
            std::string error;
            if (!(*gb)->set_default_device_by_short_string(model)) throw std::runtime_error("unknown model " + model);
            if (!(*gb)->cartridge.try_load_rom(rom, error)) throw std::runtime_error(error);
            (*gb)->use_boot_roms = false;
            (*gb)->grey_shades = true;
            (*gb)->reset();
        }
        use_whole_line_renderers(*whole_line_);
        whole_line_->ppu.register_write_catch_up = catch_up;
    }

    // Runs until `frames` frames are complete; fails at the first frame with
    // a differing line that no mid-line change explains.
    void run(int frames) {
        GB& a = *pipeline_;
        GB& b = *whole_line_;
        size_t log_seen = 0;
        int line_seen = a.ppu.current_line;
        int frame = 0;
        for (u64 guard = 0; frame < frames; ++guard) {
            ASSERT_LT(guard, u64(frames + 10) * 70224) << "no frame comes";
            const int mode_before = a.ppu.mode;
            const auto colours_before = a.ppu.mapped_colors;
            a.run_single_instruction();
            b.run_single_instruction();
            ASSERT_EQ(a.cpu.cycles_4mhz, b.cpu.cycles_4mhz) << "the two machines ran apart";
            const bool in_mode_3 = mode_before == 3 || a.ppu.mode == 3;
            const int line = a.ppu.current_line;

            const auto& log = a.ppu.register_write_log;
            if (log.size() < log_seen) log_seen = 0;  // emptied at line 144
            for (; log_seen < log.size(); ++log_seen) {
                const auto& w = log[log_seen];
                const bool visible = mode_before == 2 || mode_before == 3 || a.ppu.mode == 2 || a.ppu.mode == 3;
                if (!catch_up_ && w.line == line && visible && w.cycle >= 77 && w.cycle <= 83 + a.ppu.mode_3_length) {
                    std::ostringstream why;
                    why << "write to " << std::hex << std::uppercase << w.register_address << std::dec << " at cycle "
                        << w.cycle;
                    leave_out(line, why.str());
                }
            }
            if (in_mode_3 && a.ppu.mapped_colors != colours_before) leave_out(line, "palette write in mode 3");
            if (!catch_up_ && in_mode_3 && a.dma.oam_dma_bytes_left > 0) leave_out(line, "OAM DMA in mode 3");

            if (line != line_seen) {
                // Line `line_seen` is complete on both machines.
                if (a.ppu.window_line != b.ppu.window_line) {
                    ASSERT_TRUE(counter_may_differ_) << "window line counters differ after line " << line_seen
                                                     << " of frame " << frame << left_out_summary();
                    b.ppu.window_line = a.ppu.window_line;
                }
                // Both counters start again with the next frame.
                if (line == 0) counter_may_differ_ = false;
                line_seen = line;
            }

            if (a.ppu.frame_done) {
                ASSERT_TRUE(b.ppu.frame_done);
                a.ppu.frame_done = b.ppu.frame_done = false;
                const std::string difference = first_difference(a, b, &left_out_);
                ASSERT_EQ(difference, "") << "frame " << frame << left_out_summary();
                for (const auto& why : left_out_) compared_lines_ += why.empty();
                left_out_.fill({});
                ++frame;
            }
        }
    }

    int compared_lines() const { return compared_lines_; }

private:
    void leave_out(int line, const std::string& why) {
        if (unsigned(line) >= 144u) return;
        if (left_out_[size_t(line)].empty()) left_out_[size_t(line)] = why;
        counter_may_differ_ = true;
    }
    std::string left_out_summary() const {
        std::ostringstream out;
        out << "; lines left out:";
        for (int y = 0; y < 144; ++y)
            if (!left_out_[size_t(y)].empty()) out << " " << y << " (" << left_out_[size_t(y)] << ")";
        return out.str();
    }

    bool catch_up_;
    std::unique_ptr<GB> pipeline_, whole_line_;
    std::array<std::string, 144> left_out_{};
    bool counter_may_differ_ = false;
    int compared_lines_ = 0;
};

TEST(PpuWholeLine, TestRomFramesLookAsThePipelineDrawsThem) {
    const char* roms = std::getenv("ZEMBRIX_TEST_ROMS");
    if (!roms || !*roms) GTEST_SKIP() << "ZEMBRIX_TEST_ROMS is not set";
    for (const RomCase& c : ROM_CASES) {
        const std::string path = (std::filesystem::path(roms) / c.rom).string();
        SCOPED_TRACE(std::string(c.rom) + " on " + c.model);
        ASSERT_TRUE(std::filesystem::exists(path)) << path;
        RenderPaths paths(path, c.model);
        paths.run(c.frames);
        if (HasFatalFailure()) return;
        // Programs without mid-line changes have every line compared; the
        // others at least a frame's worth.
        if (c.every_line)
            EXPECT_EQ(paths.compared_lines(), 144 * c.frames);
        else
            EXPECT_GE(paths.compared_lines(), 144);
    }
}

// With only the pipeline switch cleared, a line is drawn whole only when no
// register write has advanced the pipeline in its mode 3: the mid-line
// programs then look as the pipeline draws them on every line.
TEST(PpuWholeLine, MidLineWritesSendTheLineThroughThePipeline) {
    const char* roms = std::getenv("ZEMBRIX_TEST_ROMS");
    if (!roms || !*roms) GTEST_SKIP() << "ZEMBRIX_TEST_ROMS is not set";
    for (const RomCase& c : ROM_CASES) {
        if (c.every_line) continue;
        const std::string path = (std::filesystem::path(roms) / c.rom).string();
        SCOPED_TRACE(std::string(c.rom) + " on " + c.model);
        RenderPaths paths(path, c.model, true);
        paths.run(c.frames);
        if (HasFatalFailure()) return;
        EXPECT_GE(paths.compared_lines(), 144 * c.frames - 144);
    }
}

}  // namespace
