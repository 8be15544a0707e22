// The runner's picture files (the PPM screenshot and the ppu.bin dump) and
// the tile data viewer on the acid2 test programs against reference pictures
// made once and checked by eye.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../command_output.h"
#include "../temp_dir.h"
#include "core/gb.h"
#include "png_io.h"
#include "romtest.h"

namespace {

std::vector<u8> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs a shell command in `dir`, with its standard output and error.
CommandRun run_in(const std::string& dir, const std::string& command) {
    return run_command("cd " + quote(dir) + " && " + command + " 2>&1");
}

// A program that makes BG colour 0 pure red (CGB palette 0, colour 0 =
// 0x001F) and then spins: the screen is all red on a CGB.
std::vector<u8> red_screen_rom(bool colour) {
    std::vector<u8> rom(0x8000, 0x00);
    const std::vector<u8> program = {0x3E, 0x80, 0xE0, 0x68, 0x3E, 0x1F, 0xE0, 0x69, 0xAF, 0xE0, 0x69, 0x18, 0xFE};
    std::copy(program.begin(), program.end(), rom.begin() + 0x0100);
    rom[0x0143] = colour ? 0x80 : 0x00;
    return rom;
}

// The runner writes the frame buffer as a PPM file and the picture-memory
// dump into its working directory. The program writes no LCD register, so
// the dump's write log is empty.
TEST(RunnerPictureFiles, PpmScreenshotAndPpuDump) {
    struct Case {
        const char* model;
        bool colour;
        size_t dump_size;
        std::vector<u8> first_pixel;
    };
    const Case cases[] = {{"dmgB", false, 8361, {0xFF, 0xFF, 0xFF}}, {"cgbE", true, 16553, {0xFF, 0x00, 0x00}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        TempDir dir;
        dir.file("red.gb", red_screen_rom(c.colour));
        const CommandRun r = run_in(dir.root().string(), quote(ZEMBRIX_ROMTEST_BINARY) + " --model " + c.model +
                                                      " --bench --frames 5 --ppm shot.ppm --ppu-dump red.gb");
        ASSERT_EQ(r.status, 0) << r.output;
        const std::vector<u8> shot = read_file(dir.path("shot.ppm"));
        ASSERT_EQ(shot.size(), 69135u);
        EXPECT_EQ(std::string(shot.begin(), shot.begin() + 15), "P6 160 144 255 ");
        EXPECT_EQ(std::vector<u8>(shot.begin() + 15, shot.begin() + 18), c.first_pixel);
        EXPECT_EQ(std::vector<u8>(shot.end() - 3, shot.end()), c.first_pixel);
        const std::vector<u8> dump = read_file(dir.path("ppu.bin"));
        ASSERT_EQ(dump.size(), c.dump_size);
        EXPECT_EQ(dump.back(), 0xFF);
        // LCDC 0x91 as the boot program leaves it, then SCY, SCX.
        EXPECT_EQ(std::vector<u8>(dump.end() - 9, dump.end() - 6), (std::vector<u8>{0x91, 0x00, 0x00}));
        if (std::system("command -v pamfile >/dev/null 2>&1") == 0) {
            const CommandRun info = run_in(dir.root().string(), "pamfile shot.ppm");
            EXPECT_NE(info.output.find("PPM raw, 160 by 144  maxval 255"), std::string::npos) << info.output;
        }
    }
}

TEST(RunnerPictureFiles, UnwritableScreenshotIsAnError) {
    TempDir dir;
    dir.file("red.gb", red_screen_rom(false));
    const CommandRun r = run_in(dir.root().string(), quote(ZEMBRIX_ROMTEST_BINARY) +
                                                  " --bench --frames 1 --ppm missing/shot.ppm red.gb");
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("ERROR cannot write missing/shot.ppm"), std::string::npos) << r.output;
}

// ---------------------------------------------------------------------------
// The tile data viewer once dmg-acid2 and cgb-acid2 have loaded their tiles:
// the font, the face's pieces and the credits text, in grey, 16 tiles a row
// (cgb-acid2's bank 1 to the right of bank 0).

TEST(TileDataViewer, Acid2TilesLookAsTheirReferences) {
    const char* roms = std::getenv("ZEMBRIX_TEST_ROMS");
    if (!roms || !*roms) GTEST_SKIP() << "ZEMBRIX_TEST_ROMS is not set";
    struct Case {
        const char* rom;
        const char* model;
        int palette_mode;
        const char* reference;
    };
    const Case cases[] = {
        {"dmg-acid2/dmg-acid2.gb", "dmgC", PPU::PALETTE_RAMP, "dmg-acid2-tiles.png"},
        {"cgb-acid2/cgb-acid2.gbc", "cgbE", PPU::CGB_PALETTE_GREY, "cgb-acid2-tiles.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rom);
        GB gb;
        ASSERT_TRUE(gb.set_default_device_by_short_string(c.model));
        std::string error;
        ASSERT_TRUE(gb.cartridge.try_load_rom((std::filesystem::path(roms) / c.rom).string(), error)) << error;
        gb.use_boot_roms = false;
        gb.grey_shades = true;
        gb.reset();
        // Both execute LD B,B once their picture is set up.
        bool done = false;
        for (const u64 end = gb.cpu.cycles_4mhz + 120 * romtest::CYCLES_PER_FRAME; !done && gb.cpu.cycles_4mhz < end;) {
            const romtest::StepProbe before = romtest::StepProbe::of(gb);
            gb.run_single_instruction();
            done = romtest::executed_ld_b_b(before, gb);
        }
        ASSERT_TRUE(done);
        gb.ppu.render_tile_data(c.palette_mode);
        RgbImage reference;
        ASSERT_TRUE(read_png_rgb(std::string(ZEMBRIX_ROMTEST_DATA_DIR) + "/" + c.reference, reference, error))
            << error;
        ASSERT_EQ(reference.height, PPU::TILE_DATA_IMAGE_HEIGHT);
        const auto& image = gb.ppu.viewer_images().tile_data;
        int differing = 0;
        for (int y = 0; y < reference.height; ++y)
            for (int x = 0; x < reference.width; ++x) {
                const u32 pixel = image[size_t(y * PPU::TILE_DATA_IMAGE_WIDTH + x)];
                differing += PPU::map_rgb(reference.r(x, y), reference.g(x, y), reference.b(x, y)) != pixel;
            }
        EXPECT_EQ(differing, 0);
    }
}

}  // namespace
