// The picture unit's debugging tools: the PPM screenshot and the ppu.bin
// dump byte for byte, the viewer pictures, and every viewer input taken to
// its extremes without a read or write outside video memory or the image.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "command_output.h"
#include "ppu_screen.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::vector<u8> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A frame whose red, green and blue tell every pixel apart.
void paint_test_frame(PPU& ppu) {
    for (int y = 0; y < PPU::SCREEN_HEIGHT; ++y)
        for (int x = 0; x < PPU::SCREEN_WIDTH; ++x)
            ppu.frame_buffer[size_t(y * PPU::SCREEN_WIDTH + x)] = PPU::map_rgb(u8(x), u8(y), u8(x ^ (y << 1)));
}

// ---------------------------------------------------------------------------
// Screenshots

// 15 header bytes, then red, green, blue of each pixel from the top row down.
TEST(PpuScreenshot, BinaryPpmOfTheFrameBuffer) {
    TempDir dir;
    Screen s("dmgB");
    paint_test_frame(s.gb.ppu);
    const std::string path = dir.path("shot.ppm");
    ASSERT_TRUE(s.gb.ppu.write_screenshot(path));
    const std::vector<u8> bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 69135u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 15), "P6 160 144 255 ");
    for (const auto& [x, y] : {std::pair{0, 0}, {1, 0}, {159, 0}, {0, 1}, {77, 93}, {159, 143}}) {
        const size_t at = 15 + 3 * size_t(y * 160 + x);
        EXPECT_EQ((std::vector<u8>(bytes.begin() + long(at), bytes.begin() + long(at) + 3)),
                  (std::vector<u8>{u8(x), u8(y), u8(x ^ (y << 1))}))
            << x << "," << y;
    }
}

// Netpbm reads the file back as the same picture.
TEST(PpuScreenshot, ReadBackByNetpbm) {
    if (std::system("command -v pnmtoplainpnm >/dev/null 2>&1") != 0) GTEST_SKIP() << "netpbm is not installed";
    TempDir dir;
    Screen s("cgbE", true);
    paint_test_frame(s.gb.ppu);
    const std::string path = dir.path("shot.ppm");
    ASSERT_TRUE(s.gb.ppu.write_screenshot(path));
    const CommandRun read_back = run_command("pnmtoplainpnm " + quote(path) + " 2>&1");
    ASSERT_EQ(read_back.status, 0) << read_back.output;
    std::istringstream in(read_back.output);
    std::string magic;
    int width = 0, height = 0, maximum = 0;
    in >> magic >> width >> height >> maximum;
    ASSERT_EQ(magic, "P3");
    ASSERT_EQ(width, 160);
    ASSERT_EQ(height, 144);
    ASSERT_EQ(maximum, 255);
    for (const u32 pixel : s.gb.ppu.frame_buffer) {
        int r = -1, g = -1, b = -1;
        in >> r >> g >> b;
        ASSERT_EQ((std::vector<int>{r, g, b}), (std::vector<int>{int(pixel >> 16 & 0xFF), int(pixel >> 8 & 0xFF),
                                                                   int(pixel & 0xFF)}));
    }
}

// A file that cannot be written is reported, and whatever stood at the path
// before is kept whole.
TEST(PpuScreenshot, FailureIsReportedAndLosesNothing) {
    TempDir dir;
    Screen s("dmgB");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(s.gb.ppu.write_screenshot(dir.path("missing/shot.ppm")));
    EXPECT_FALSE(fs::exists(dir.path("missing")));

    // A full disk: the picture does not fit in what the process may write.
    const std::string path = dir.file("shot.ppm", {'o', 'l', 'd'});
    rlimit old_limit{};
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old_limit;
    small.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool written = s.gb.ppu.write_screenshot(path);
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(written);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_file(path), (std::vector<u8>{'o', 'l', 'd'}));
    EXPECT_NE(said.find("shot.ppm"), std::string::npos) << said;
}

// ---------------------------------------------------------------------------
// The picture-memory dump

TEST(PpuDump, VideoMemoryOamRegistersAndTheEndMark) {
    struct Case {
        const char* model;
        bool colour;
        size_t vram_size;
    };
    for (const Case c : {Case{"dmgB", false, 0x2000}, Case{"cgbE", true, 0x4000}}) {
        SCOPED_TRACE(c.model);
        Screen s(c.model, c.colour);
        const u8 registers[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
        const u16 order[8] = {REG_LCDC, REG_SCY, REG_SCX, REG_BGP, REG_OBP0, REG_OBP1, REG_WY, REG_WX};
        for (int i = 0; i < 8; ++i) s.write(order[i], registers[i]);  // LCD stays off: 0x11
        s.gb.vram[0] = 0xA1;
        s.gb.vram[c.vram_size - 1] = 0xA2;
        s.gb.oam[0] = 0xB1;
        s.gb.oam[159] = 0xB2;
        s.gb.ppu.register_write_log.clear();
        const std::vector<u8> dump = s.gb.ppu.vram_dump();
        ASSERT_EQ(dump.size(), c.vram_size + 160 + 8 + 1);
        EXPECT_EQ(dump[0], 0xA1);
        EXPECT_EQ(dump[c.vram_size - 1], 0xA2);
        EXPECT_EQ(dump[c.vram_size], 0xB1);
        EXPECT_EQ(dump[c.vram_size + 159], 0xB2);
        EXPECT_EQ(std::vector<u8>(dump.begin() + long(c.vram_size + 160), dump.end() - 1),
                  std::vector<u8>(std::begin(registers), std::end(registers)));
        EXPECT_EQ(dump.back(), 0xFF);

        // The file holds the same bytes, in the working directory.
        TempDir dir;
        const fs::path before = fs::current_path();
        fs::current_path(dir.root());
        const bool written = s.gb.ppu.dump_vram();
        fs::current_path(before);
        ASSERT_TRUE(written);
        EXPECT_EQ(read_file(dir.path("ppu.bin")), dump);
    }
}

// Each logged write is 3 bytes: its line (one more after cycle 240 of the
// line), the register's low address byte and the value written.
TEST(PpuDump, WritesLateInALineCountForTheNextLine) {
    Screen s("dmgB");
    s.write(REG_LCDC, 0x91);
    s.finish_frame();
    s.run_to_line(10);
    s.gb.ppu.register_write_log.clear();
    s.run(240 - s.gb.ppu.get_scanline_cycle_count());
    s.write(REG_SCX, 0x5A);
    s.run(1);
    s.write(REG_WX, 0x3C);
    const auto& log = s.gb.ppu.register_write_log;
    ASSERT_EQ(log.size(), 2u);
    ASSERT_EQ(log[0].cycle, 240);
    ASSERT_EQ(log[1].cycle, 241);
    const std::vector<u8> dump = s.gb.ppu.vram_dump();
    EXPECT_EQ(std::vector<u8>(dump.end() - 7, dump.end()),
              (std::vector<u8>{10, 0x43, 0x5A, 11, 0x4B, 0x3C, 0xFF}));
}

// ---------------------------------------------------------------------------
// Viewer pictures

// Tile 17's first row holds colours 0 1 2 3 0 1 2 3; in the tile data image
// it is row 8, columns 8-15. Each palette mode maps the colours its way.
TEST(PpuViewers, TileDataThroughEachPaletteMode) {
    Screen s("dmgB");
    s.tile(17, {"01230123", "00000000", "00000000", "00000000", "00000000", "00000000", "00000000", "00000000"});
    s.write(REG_BGP, 0x1B);   // 3 2 1 0
    s.write(REG_OBP0, 0xE4);  // 0 1 2 3
    s.write(REG_OBP1, 0x90);  // 0 0 1 2
    s.gb.ppu.tile_usage_dmg[17] = PPU::TILE_USED_OBP1;
    struct Case {
        int mode;
        const char* shades;
    };
    for (const Case c : {Case{PPU::PALETTE_BGP, "3210"}, {PPU::PALETTE_OBP0, "0123"}, {PPU::PALETTE_OBP1, "0012"},
                         {PPU::PALETTE_RAMP, "0123"}, {PPU::PALETTE_REVERSED_RAMP, "3210"},
                         {PPU::PALETTE_BY_USE, "0012"}, {57, "0123"}}) {
        s.gb.ppu.render_tile_data(c.mode);
        const u32* row = &s.gb.ppu.viewer_images().tile_data[size_t(8 * PPU::TILE_DATA_IMAGE_WIDTH + 8)];
        for (int k = 0; k < 8; ++k)
            EXPECT_EQ(row[k], s.gb.ppu.mapped_colors[size_t(c.shades[k % 4] - '0')]) << "mode " << c.mode << " " << k;
    }
}

// Bank 1 stands to the right of bank 0, through the CGB palette asked for.
TEST(PpuViewers, CgbTileDataBanksAndPalettes) {
    Screen s("cgbE", true);
    s.gb.vram[0x2000 + 16 * 17] = 0xF0;  // bank 1, tile 17, row 0: colour 1 in columns 0-3
    s.bg_colour(2, 1, 0x001F);           // BG palette 2 colour 1 red
    s.gb.ppu.render_tile_data(2);
    const auto& image = s.gb.ppu.viewer_images().tile_data;
    const size_t at = size_t(8 * PPU::TILE_DATA_IMAGE_WIDTH + PPU::TILE_DATA_BANK_WIDTH + 8);
    EXPECT_EQ(image[at], 0xFFFF0000u);
    EXPECT_EQ(image[at + 4], s.gb.ppu.get_cgb_bg_pal_color(2, 0));
    EXPECT_EQ(image[at - PPU::TILE_DATA_BANK_WIDTH], s.gb.ppu.get_cgb_bg_pal_color(2, 0)) << "bank 0 is empty";
}

// The red frame of the visible area starts at (SCX, SCY) and wraps at the
// map's edges: with SCX 200 its right edge is column 103.
TEST(PpuViewers, TileMapMarksTheVisibleArea) {
    Screen s("dmgB");
    s.write(REG_SCX, 200);
    s.write(REG_SCY, 100);
    s.show(0x91);
    s.gb.ppu.render_tile_map(0x9800, 0x8000);
    const auto& image = s.gb.ppu.viewer_images().tile_map;
    auto red = [&](int x, int y) { return image[size_t(y * 256 + x)] == 0xFFFF0000u; };
    for (const auto& [x, y] : {std::pair{200, 100}, {255, 100}, {0, 100}, {103, 100}, {103, 243}, {200, 243},
                              {200, 170}, {103, 170}})
        EXPECT_TRUE(red(x, y)) << x << "," << y;
    for (const auto& [x, y] : {std::pair{150, 100}, {104, 170}, {199, 170}, {200, 99}, {200, 244}, {50, 170}})
        EXPECT_FALSE(red(x, y)) << x << "," << y;
    EXPECT_EQ(s.gb.ppu.tile_map_viewer_map_base, 0x9800);
}

// Zoom around a corner: the cells off the LCD are black, the centre cell is
// outlined white and, inside that, red.
TEST(PpuViewers, LcdZoomBlacksOutCellsOffTheScreen) {
    Screen s("dmgB");
    s.gb.ppu.render_lcd_zoom(2, 140);
    const auto& image = s.gb.ppu.viewer_images().lcd_zoom;
    auto at = [&](int x, int y) { return image[size_t(y * PPU::LCD_ZOOM_SIZE + x)]; };
    EXPECT_EQ(at(5 * 16 + 3, 3), 0xFF000000u) << "column 2 - 3 is off the LCD";
    EXPECT_NE(at(6 * 16 + 3, 3), 0xFF000000u) << "column 0 is on it";
    EXPECT_EQ(at(100, 12 * 16 + 3), 0xFF000000u) << "row 140 + 4 is off the LCD";
    EXPECT_NE(at(100, 11 * 16 + 3), 0xFF000000u);
    EXPECT_EQ(at(128, 135), 0xFFFFFFFFu);
    EXPECT_EQ(at(129, 135), 0xFFFF0000u);
}

// Sprite rectangles on the LCD: the selected one green, the others red,
// cut at the screen's edge; X = 0 hides a sprite.
TEST(PpuViewers, ObjectOverlay) {
    Screen s("dmgB");
    s.sprite(0, 16 + 140, 8 + 156, 0);  // 4 x 4 pixels on the screen
    s.sprite(1, 16 + 10, 8 + 10, 0);
    s.sprite(2, 16 + 50, 0, 0);
    s.gb.ppu.render_lcd_object_overlay(true, 1);
    const auto& image = s.gb.ppu.viewer_images().lcd_objects;
    auto at = [&](int x, int y) { return image[size_t(y * 160 + x)]; };
    EXPECT_EQ(at(159, 143), PPU::map_rgba(255, 0, 0, 96));
    EXPECT_EQ(at(155, 143), 0u);
    EXPECT_EQ(at(12, 12), PPU::map_rgba(0, 255, 0, 96));
    EXPECT_EQ(at(0, 55), 0u);
    s.gb.ppu.render_lcd_object_overlay(false, 1);
    EXPECT_EQ(at(159, 143), 0u);
    EXPECT_EQ(at(12, 12), PPU::map_rgba(0, 255, 0, 96));
}

// Each OAM entry as its tile pair: with 16-pixel sprites the tile number's
// lowest bit is cleared.
TEST(PpuViewers, OamImageShowsTilePairs) {
    for (const bool tall : {false, true}) {
        Screen s("dmgB");
        s.solid_tile(4, 1);
        s.solid_tile(5, 2);
        s.solid_tile(6, 3);
        s.sprite(3, 0, 0, 5, 0x00);
        s.write(REG_LCDC, tall ? 0x04 : 0x00);
        s.gb.ppu.debug_render_oam();
        const auto& image = s.gb.ppu.viewer_images().oam;
        const u32 top = image[size_t(8 * 48)], bottom = image[size_t(8 * 56)];
        EXPECT_EQ(top, s.gb.ppu.mapped_colors[tall ? 1u : 2u]) << tall;
        EXPECT_EQ(bottom, s.gb.ppu.mapped_colors[tall ? 2u : 3u]) << tall;
    }
}

TEST(PpuViewers, AsciiViewOfTheBackgroundMap) {
    Screen s("dmgB");
    s.write(REG_SCX, 8 * 31);  // starts at column 31 and wraps to 0
    s.write(REG_SCY, 8 * 2);
    s.gb.vram[0x1800 + 2 * 32 + 31] = 0x41;
    s.gb.vram[0x1800 + 2 * 32 + 0] = 0x80;
    s.gb.vram[0x1800 + 2 * 32 + 1] = 0x7E;
    testing::internal::CaptureStdout();
    s.gb.ppu.render_ascii();
    const std::string text = testing::internal::GetCapturedStdout();
    ASSERT_EQ(text.size(), 18u * 21u);
    EXPECT_EQ(text.substr(0, 21), "A ~                 \n");
}

// ---------------------------------------------------------------------------
// Inputs at their extremes. Caller images lie inside guard zones that must
// stay untouched; the sanitizer build also watches the PPU's own images and
// video memory.

class GuardedImage {
public:
    GuardedImage(int width, int height) : width(width), height(height), pixels_(size_t(width * height) + 2 * GUARD, FILL) {}
    u32* image() { return pixels_.data() + GUARD; }
    bool guards_intact() const {
        for (size_t i = 0; i < GUARD; ++i)
            if (pixels_[i] != FILL || pixels_[pixels_.size() - 1 - i] != FILL) return false;
        return true;
    }
    const int width, height;

private:
    static constexpr size_t GUARD = 8192;
    static constexpr u32 FILL = 0x5EAF00D5;
    std::vector<u32> pixels_;
};

TEST(PpuViewers, InputsAreClippedOrMasked) {
    struct Model {
        const char* model;
        bool colour;
    };
    for (const Model m : {Model{"dmgB", false}, Model{"cgbE", true}}) {
        SCOPED_TRACE(m.model);
        Screen s(m.model, m.colour);
        PPU& ppu = s.gb.ppu;
        // Sprites at the corners of OAM's range; tile 0xFF pairs with tile 0x00.
        for (int i = 0; i < 40; ++i) s.sprite(i, i % 2 ? 255 : 0, i % 3 ? 255 : 0, 0xFF, 0xFF);
        const int extremes[] = {INT_MIN, -100000, -1, 0, 7, 143, 159, 160, 255, 256, 100000, INT_MAX};
        const u8 all_signed[32] = {0x80, 0x7F, 0xFF, 0x00, 0x80, 0x80, 0x7F, 0x7F, 0x80, 0x7F, 0x80, 0x7F, 0x80,
                                   0x7F, 0x80, 0x7F, 0x80, 0x7F, 0x80, 0x7F, 0x80, 0x7F, 0x80, 0x7F, 0x80, 0x7F,
                                   0x80, 0x7F, 0x80, 0x7F, 0x80, 0x7F};
        GuardedImage image(64, 32);
        for (const int a : extremes) {
            for (const int b : extremes) {
                ppu.draw_horizontal_line(a, a, b, 1, image.image(), image.width, image.height);
                ppu.draw_vertical_line(a, b, a, 2, image.image(), image.width, image.height);
                ppu.render_tile_row(a, b, &s.gb.vram[0], all_signed, 1, a, image.image(), image.width, image.height);
                ppu.render_tile_row(a, b, &s.gb.vram[0x3FFF], all_signed, 1, b, image.image(), image.width,
                                    image.height);
                ppu.render_tile_row_cgb_tile_data_addr(a, b, 0xFFFF, a, all_signed, all_signed, 1, a, image.image(),
                                                       image.width, image.height);
                ppu.render_lcd_zoom(a, b);
                ppu.render_lcd_object_overlay(true, a);
                ppu.render_lcd_object_overlay_for_index(a, b & 1);
                ppu.render_tile_map(u16(a), u16(b));
                ppu.render_tile_data(a);
                ppu.render_apa_tile_data(b);
            }
        }
        ppu.debug_render_oam();
        // Tile data outside video memory draws nothing.
        ppu.render_tile_row(0, 64, &s.gb.oam[0], all_signed, 0, 0, image.image(), image.width, image.height);
        ppu.render_tile_row(1, 64, nullptr, all_signed, 0, 0, image.image(), image.width, image.height);
        ppu.draw_horizontal_line(0, 0, 10, 1, nullptr, 10, 10);
        ppu.render_lcd_overlay(nullptr);
        EXPECT_TRUE(image.guards_intact());

        // The grids fill exactly the sizes they are made for.
        for (const auto& [grid, w, h] :
             {std::tuple{&PPU::render_lcd_overlay, PPU::LCD_GRID_WIDTH, PPU::LCD_GRID_HEIGHT},
              std::tuple{&PPU::render_tile_map_grid, PPU::TILE_MAP_GRID_SIZE, PPU::TILE_MAP_GRID_SIZE},
              std::tuple{&PPU::render_tile_data_grid, PPU::TILE_DATA_GRID_WIDTH, PPU::TILE_DATA_GRID_HEIGHT},
              std::tuple{&PPU::render_tile_data_grid_cgb, PPU::TILE_DATA_GRID_CGB_WIDTH, PPU::TILE_DATA_GRID_HEIGHT}}) {
            GuardedImage g(w, h);
            (ppu.*grid)(g.image());
            EXPECT_TRUE(g.guards_intact());
            EXPECT_EQ(g.image()[w * 16 + 3], PPU::map_rgba(160, 160, 160, 128)) << w;
            EXPECT_EQ(g.image()[w * 17 + 17], 0u) << w;
        }
    }
}

// ---------------------------------------------------------------------------
// The pixel format description comes from the host and is released when
// another replaces it.

class FormatHost : public Host {
public:
    void update_display(const u32*) override {}
    u8 get_joypad_state() override { return 0; }
    std::shared_ptr<const void> describe_pixel_format(u32 format) override {
        ++live;
        return std::shared_ptr<const void>(new u32(format), [this](const void* p) {
            --live;
            delete static_cast<const u32*>(p);
        });
    }
    int live = 0;
};

TEST(PpuViewers, SetPixelFormatReleasesThePreviousOne) {
    Screen s("dmgB");
    FormatHost host;
    s.gb.host = &host;
    s.gb.ppu.set_pixel_format(0x16362004);
    s.gb.ppu.set_pixel_format(0x16161804);
    EXPECT_EQ(host.live, 1);
    EXPECT_EQ(s.gb.ppu.pixel_format, 0x16161804u);
    EXPECT_EQ(*static_cast<const u32*>(s.gb.ppu.pixel_format_description.get()), 0x16161804u);
    s.gb.host = nullptr;
    s.gb.ppu.set_pixel_format(0x16362004);
    EXPECT_EQ(host.live, 0);
}

}  // namespace
