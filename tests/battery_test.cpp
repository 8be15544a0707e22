#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "cartridge/mbc3.h"
#include "core/gb.h"
#include "temp_dir.h"
#include "test_machine.h"

namespace fs = std::filesystem;

namespace {

std::vector<u8> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Enables the cartridge RAM, stores 0x5A at A134 and spins.
const std::vector<u8> STORE_5A = {0x3E, 0x0A, 0xEA, 0x00, 0x00, 0x3E, 0x5A, 0xEA, 0x34, 0xA1, 0x18, 0xFE};

TEST(BatteryFiles, PathsFromTheRomPath) {
    const std::pair<std::string, std::string> rows[] = {
        {"D:\\games\\tetris.gb", "D:\\games\\tetris"}, {"D:\\my.games\\tetris", "D:\\my.games\\tetris"},
        {"tetris", "tetris"},                          {"a.b.gb", "a.b"},
        {"roms.new/game", "roms.new/game"},            {"roms.new/game.gbc", "roms.new/game"},
        {"roms/.hidden", "roms/.hidden"},              {"", ""}};
    for (const auto& [path, base] : rows) EXPECT_EQ(Cartridge::remove_extension(path), base) << path;

    Cartridge cart;
    cart.rom_path = "roms.new/game";
    EXPECT_EQ(cart.get_battery_save_path(), "roms.new/game.sav");
    EXPECT_EQ(cart.get_rtc_save_path(), "roms.new/game.rtc");
    EXPECT_EQ(cart.get_sym_file_path(), "roms.new/game.sym");
    for (const char* expected : {"roms.new/game.ppm", "roms.new/game_2.ppm", "roms.new/game_3.ppm"})
        EXPECT_EQ(cart.get_screenshot_path(), expected);
}

// A program stores into the RAM; the machine shuts down and a new one finds
// the byte. Only battery cartridges with RAM keep a file, MBC2 its 512 cells.
TEST(BatteryFiles, RamSurvivesAShutdown) {
    struct Row {
        u8 type, ram_code;
        size_t file_size;  // 0: no file
        u8 stored;
    };
    const Row rows[] = {{0x03, 2, 8192, 0x5A}, {0x06, 0, 512, 0x0A}, {0x1B, 3, 32768, 0x5A},
                        {0x03, 0, 0, 0}, {0x01, 2, 0, 0}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << int(r.type) << " code " << int(r.ram_code));
        TempDir dir;
        fs::create_directories(dir.root() / "roms.new");
        const std::vector<u8> image = RomImage(STORE_5A).type(r.type).ram_size_code(r.ram_code).bytes;
        const std::string rom = dir.file("roms.new/game", image);
        const std::string sav = dir.path("roms.new/game.sav");
        {
            GB gb;
            gb.set_default_device_by_short_string("dmgB");
            gb.load_rom(rom);
            for (int i = 0; i < 10; ++i) gb.run_single_instruction();
            gb.shutdown();
            gb.shutdown();  // nothing loaded any more: no second write
        }
        if (r.file_size == 0) {
            EXPECT_FALSE(fs::exists(sav));
            continue;
        }
        const std::vector<u8> file = read_file(sav);
        ASSERT_EQ(file.size(), r.file_size);
        EXPECT_EQ(file[0x134], r.stored);
        EXPECT_EQ(std::count(file.begin(), file.end(), 0xFF), std::ptrdiff_t(r.file_size - 1));
        EXPECT_FALSE(fs::exists(sav + ".tmp"));

        GB again;
        again.set_default_device_by_short_string("dmgB");
        again.load_rom(rom);
        EXPECT_EQ(again.cartridge.ram[0x134], r.stored);

        // A shorter file fills only its own length.
        again.shutdown();
        dir.file("roms.new/game.sav", std::vector<u8>(100, 0x11));
        again.load_rom(rom);
        EXPECT_EQ(again.cartridge.ram[99], 0x11);
        EXPECT_EQ(again.cartridge.ram[100], 0xFF);
    }
}

// The clock file is written with the flush call that fatal exits use, laid
// out as ten register fields and the host time. Loaded later, a running clock
// moves on by the host seconds passed; a halted one, a stamp in the future
// and a file of another length add nothing (the last is not read at all, and
// is replaced on unloading).
TEST(BatteryFiles, ClockRunsOnByTheHostTime) {
    constexpr u64 T0 = 1700000000;
    struct Row {
        u8 dh;
        u64 later;
        size_t length;
        std::array<u8, 5> running;
    };
    const Row rows[] = {{0x01, T0 + 90061, 48, {11, 21, 4, 0x41, 0x01}},
                        {0x41, T0 + 90061, 48, {10, 20, 3, 0x40, 0x41}},
                        {0x01, T0 - 5, 48, {10, 20, 3, 0x40, 0x01}},
                        {0x01, T0 + 90061, 44, {}}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << int(r.dh) << " " << r.later << " " << r.length);
        TempDir dir;
        const std::string rom = dir.file("clock.gb", RomImage().type(0x10).ram_size_code(2).bytes);
        GB gb;
        gb.set_default_device_by_short_string("dmgB");
        gb.cartridge.host_time = [] { return T0; };
        gb.load_rom(rom);
        const std::array<u8, 5> values = {10, 20, 3, 0x40, r.dh};
        for (int i = 0; i < 5; ++i) {
            gb.write_byte(0x4000, u8(0x08 + i));
            gb.write_byte(0xA000, values[i]);
        }
        gb.write_byte(0x6000, 0x01);
        ASSERT_TRUE(gb.cartridge.write_battery_files());
        std::vector<u8> file = read_file(dir.path("clock.rtc"));
        ASSERT_EQ(file.size(), 48u);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(file[i * 4], values[i]);
            EXPECT_EQ(file[20 + i * 4], values[i]);
            EXPECT_EQ(file[i * 4 + 1] | file[i * 4 + 2] | file[i * 4 + 3], 0);
        }
        u64 stamp = 0;
        for (int i = 7; i >= 0; --i) stamp = stamp << 8 | file[40 + i];
        EXPECT_EQ(stamp, T0);
        file.resize(r.length);
        dir.file("clock.rtc", file);

        Cartridge later;
        later.host_time = [&] { return r.later; };
        std::string error;
        ASSERT_TRUE(later.try_load_rom(rom, error)) << error;
        EXPECT_EQ(dynamic_cast<const MBC3&>(*later.mbc).rtc, r.running);
        later.unload_rom();
        EXPECT_EQ(read_file(dir.path("clock.rtc")).size(), 48u);
    }
}

// A ROM named like one of its own files is neither read as one nor replaced.
TEST(BatteryFiles, NeverOverTheRomItself) {
    for (const auto& [name, type] : {std::pair<const char*, u8>{"game.sav", 0x03}, {"clock.rtc", 0x0F}}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::vector<u8> image = RomImage().type(type).ram_size_code(2).bytes;
        const std::string rom = dir.file(name, image);
        Cartridge cart;
        std::string error;
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        EXPECT_EQ(cart.ram[0x147], 0xFF);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(cart.write_battery_files());
        EXPECT_NE(testing::internal::GetCapturedStdout().find(rom), std::string::npos);
        EXPECT_EQ(read_file(rom), image);
    }
}

// When the new file cannot be completed the old one stays as it was, a
// message names it and the writer reports the failure.
TEST(BatteryFiles, FailedWriteKeepsTheOldFile) {
    enum Setup { ReadOnlyFolder, FailingStream, TempNameTaken };
    for (Setup setup : {ReadOnlyFolder, FailingStream, TempNameTaken}) {
        SCOPED_TRACE(int(setup));
        TempDir dir;
        const std::string rom = dir.file("game.gb", RomImage().type(0x03).ram_size_code(2).bytes);
        const std::string sav = dir.file("game.sav", std::vector<u8>(8192, 0x77));
        Cartridge cart;
        std::string error;
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        cart.ram[0] = 0x01;
        if (setup == ReadOnlyFolder) {
            ::chmod(dir.root().c_str(), 0555);
            if (::access(dir.root().c_str(), W_OK) == 0) {  // privileged: the folder stays writable
                ::chmod(dir.root().c_str(), 0755);
                continue;
            }
        } else if (setup == FailingStream) {
            fs::create_symlink("/dev/full", sav + ".tmp");
        } else {
            fs::create_directory(sav + ".tmp");
        }
        testing::internal::CaptureStdout();
        EXPECT_FALSE(cart.save_ram());
        EXPECT_NE(testing::internal::GetCapturedStdout().find(sav), std::string::npos);
        ::chmod(dir.root().c_str(), 0755);
        EXPECT_EQ(read_file(sav), std::vector<u8>(8192, 0x77));
        EXPECT_EQ(fs::exists(sav + ".tmp"), setup == TempNameTaken);
    }
}

}  // namespace

// An image handed over in memory has no file: nothing is read or written
// beside the name it was given, even for a battery cartridge with a clock.
TEST(BatteryFiles, InMemoryImageKeepsNoFiles) {
    TempDir dir;
    const std::string name = dir.path("memory.gb");
    std::ofstream(dir.path("memory.sav"), std::ios::binary) << std::string(8192, '\x11');
    for (u8 type : {u8(0x03), u8(0x10)}) {
        const std::vector<u8> image = RomImage(STORE_5A).type(type).ram_size_code(2).bytes;
        GB gb;
        gb.cartridge.load_rom_from_memory(name, image.data(), int(image.size()));
        gb.reset();
        EXPECT_EQ(gb.cartridge.ram[0], 0xFF) << "the stale file beside the name is not read";
        for (int i = 0; i < 100; ++i) gb.run_single_instruction();
        EXPECT_EQ(gb.cartridge.ram[0x134], 0x5A);
        gb.shutdown();
        EXPECT_EQ(read_file(dir.path("memory.sav")), std::vector<u8>(8192, 0x11));
        EXPECT_FALSE(fs::exists(dir.path("memory.rtc")));
    }
}
