#include <gtest/gtest.h>
#include <sys/stat.h>

#include "temp_dir.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <typeinfo>
#include <vector>

#include "cartridge/cartridge.h"
#include "cartridge/mbc1.h"
#include "cartridge/mbc1m.h"
#include "cartridge/mbc2.h"
#include "cartridge/mbc3.h"
#include "cartridge/mbc5.h"
#include "cartridge/null_mbc.h"

namespace {

constexpr int KiB = 1024;
constexpr int MiB = 1024 * KiB;

// An image whose every byte holds the number of its 16 KiB bank, with the
// controller type and RAM size code in the header.
std::vector<u8> banked_image(int size, u8 type, u8 ram_code = 0) {
    std::vector<u8> rom(size);
    for (int i = 0; i < size; ++i) rom[i] = u8(i / 0x4000);
    rom[HEADER_TYPE] = type;
    rom[HEADER_RAM_SIZE] = ram_code;
    return rom;
}

void load(Cartridge& cart, const std::vector<u8>& image) {
    cart.load_rom_from_memory("test.gb", image.data(), int(image.size()));
}

enum class Kind { Null, MBC1, MBC1M, Other };

Kind kind_of(const MemoryBankController& mbc) {
    if (typeid(mbc) == typeid(MBC1M)) return Kind::MBC1M;
    if (typeid(mbc) == typeid(MBC1)) return Kind::MBC1;
    return typeid(mbc) == typeid(NullMBC) ? Kind::Null : Kind::Other;
}

// ---------------------------------------------------------------------------
// Header

// The type byte chooses the controller (MBC1M is told apart from MBC1 by its
// logos, below).
TEST(Cartridge, TypeByteChoosesTheController) {
    for (int type = 0; type < 0x100; ++type) {
        Cartridge cart;
        load(cart, banked_image(64 * KiB, u8(type)));
        const std::type_info* expected = &typeid(NullMBC);
        if (type >= 0x01 && type <= 0x03) expected = &typeid(MBC1);
        if (type == 0x05 || type == 0x06) expected = &typeid(MBC2);
        if (type >= 0x0F && type <= 0x13) expected = &typeid(MBC3);
        if (type >= 0x19 && type <= 0x1E) expected = &typeid(MBC5);
        const MemoryBankController& mbc = *cart.mbc;
        EXPECT_TRUE(typeid(mbc) == *expected) << type;
    }
}

// The multicart is told apart by the logo repeated at a 256 KiB step in an
// image of exactly 1 MiB.
TEST(Cartridge, MulticartDetectedFromTheRepeatedLogo) {
    struct Row {
        int rom_size;
        std::vector<int> copies;  // k: a copy of the logo at k * 0x40000 + 0x0104
        u8 type;
        bool spoil_last_byte;
        Kind kind;
    };
    const Row rows[] = {
        {MiB, {3}, 0x01, false, Kind::MBC1M},       {MiB, {1}, 0x02, false, Kind::MBC1M},
        {MiB, {}, 0x01, false, Kind::MBC1},         {MiB, {1, 2, 3}, 0x01, true, Kind::MBC1},
        {2 * MiB, {1, 2, 3}, 0x01, false, Kind::MBC1}, {512 * KiB, {1}, 0x03, false, Kind::MBC1},
        {MiB, {1, 2, 3}, 0x00, false, Kind::Null},  // not an MBC1 type: the logos do not matter
    };
    for (const Row& r : rows) {
        std::vector<u8> image = banked_image(r.rom_size, r.type);
        for (int i = 0; i < HEADER_LOGO_SIZE; ++i) image[HEADER_LOGO + i] = u8(0xCE + 7 * i);
        for (int k : r.copies) {
            std::copy_n(image.begin() + HEADER_LOGO, HEADER_LOGO_SIZE, image.begin() + k * 0x40000 + HEADER_LOGO);
            if (r.spoil_last_byte) image[k * 0x40000 + HEADER_LOGO + HEADER_LOGO_SIZE - 1] ^= 0x01;
        }
        Cartridge cart;
        load(cart, image);
        EXPECT_EQ(kind_of(*cart.mbc), r.kind) << r.rom_size << " " << r.copies.size() << " " << int(r.type);
    }
}

// RAM size from the size code (MBC2's built-in RAM whatever the code), and
// battery and clock from the type byte.
TEST(Cartridge, RamBatteryAndClockFromTheHeader) {
    struct Row {
        u8 type, code;
        int size;
        bool battery, rtc;
    };
    const Row rows[] = {{0x03, 0, 0, true, false},      {0x01, 1, 2048, false, false}, {0x00, 2, 8192, false, false},
                        {0x03, 3, 32768, true, false},  {0x1B, 4, 131072, true, false}, {0x03, 5, 0, true, false},
                        {0x05, 0, 512, false, false},   {0x06, 5, 512, true, false},   {0x0F, 0, 0, true, true},
                        {0x10, 3, 32768, true, true},   {0x11, 0, 0, false, false},    {0x13, 3, 32768, true, false},
                        {0x1E, 4, 131072, true, false}, {0x1F, 0, 0, false, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << int(r.type) << " code " << int(r.code));
        Cartridge cart;
        load(cart, banked_image(64 * KiB, r.type, r.code));
        EXPECT_EQ(cart.has_battery(), r.battery);
        EXPECT_EQ(cart.has_rtc(), r.rtc);
        EXPECT_EQ(cart.ram_size, r.size);
        if (r.size == 0) {
            EXPECT_EQ(cart.ram, nullptr);
            EXPECT_EQ(cart.ram_access_types, nullptr);
            continue;
        }
        // Without a battery file the RAM starts all ones, unmarked.
        EXPECT_TRUE(std::all_of(cart.ram.get(), cart.ram.get() + r.size, [](u8 b) { return b == 0xFF; }));
        EXPECT_TRUE(std::all_of(cart.ram_access_types.get(), cart.ram_access_types.get() + r.size,
                                [](u8 b) { return b == ACCESS_UNMARKED; }));
        cart.ram[r.size - 1] = 0x00;
        cart.reset_ram();
        EXPECT_EQ(cart.ram[r.size - 1], 0xFF);
    }
}

// ---------------------------------------------------------------------------
// Files, including malformed ones

// The file's bytes open a power-of-two buffer of at least 32 KiB; the rest
// reads like an empty socket, all ones. Each load replaces the controller, the
// RAM and the marks of the one before.
TEST(Cartridge, FileLoadsIntoAPowerOfTwoBufferPaddedWithOnes) {
    const std::pair<int, int> rows[] = {{MIN_ROM_FILE_SIZE, 32 * KiB}, {40 * KiB, 64 * KiB}, {8 * MiB, 8 * MiB}};
    Cartridge cart;
    for (const auto& [file_size, rom_size] : rows) {
        SCOPED_TRACE(file_size);
        load(cart, banked_image(64 * KiB, 0x03, 3));
        cart.set_address_access_type_to_data(0x1234, 0);
        TempDir dir;
        std::vector<u8> bytes(file_size);
        for (int i = 0; i < file_size; ++i) bytes[i] = u8(i * 13 + 1);
        bytes[HEADER_TYPE] = bytes[HEADER_RAM_SIZE] = 0x00;
        const std::string path = dir.file("game.gb", bytes);
        std::string error;
        ASSERT_TRUE(cart.try_load_rom(path, error)) << error;
        EXPECT_EQ(cart.rom_path, path);
        ASSERT_EQ(cart.rom_size, rom_size);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), cart.rom.get()));
        EXPECT_TRUE(std::all_of(cart.rom.get() + file_size, cart.rom.get() + rom_size, [](u8 b) { return b == 0xFF; }));
        EXPECT_EQ(kind_of(*cart.mbc), Kind::Null);
        EXPECT_EQ(cart.ram_size, 0);
        EXPECT_EQ(cart.ram, nullptr);
        EXPECT_EQ(cart.mbc->read_byte_rom1(0x7FFF), cart.rom[0x7FFF]);
        // The marks start afresh: only the entry point is code.
        EXPECT_EQ(std::count(cart.rom_access_types.get(), cart.rom_access_types.get() + rom_size, ACCESS_UNMARKED),
                  rom_size - 1);
        EXPECT_EQ(cart.rom_access_types[0x0100], ACCESS_INSTRUCTION);
    }
}

// An image handed over in memory may be shorter than a header (bare code in
// the tests and fuzz targets): its missing header bytes read as 0xFF, an
// unknown type, so no banking and no RAM.
TEST(Cartridge, ShortImageInMemoryReadsItsMissingHeaderAsOnes) {
    for (int size : {0, 100, MIN_ROM_FILE_SIZE - 1}) {
        SCOPED_TRACE(size);
        std::vector<u8> bytes(size_t(size), 0x00);
        Cartridge cart;
        cart.load_rom_from_memory("short.gb", bytes.data(), size);
        ASSERT_TRUE(cart.has_rom());
        ASSERT_EQ(cart.rom_size, 32 * KiB);
        EXPECT_TRUE(std::all_of(cart.rom.get() + size, cart.rom.get() + cart.rom_size, [](u8 b) { return b == 0xFF; }));
        EXPECT_EQ(kind_of(*cart.mbc), Kind::Null);
        EXPECT_EQ(cart.ram_size, 0);
    }
}

// The cartridge in the slot is taken out before the new file is judged, so a
// failed load leaves the slot empty rather than half-replaced.
// Only a regular file is read: a FIFO (which would wait for a writer
// forever) and a device (which may never end) are refused at once, and so
// is a file too short to hold a cartridge header.
TEST(Cartridge, RefusedFilesLeaveNoRomLoaded) {
    TempDir dir;
    std::filesystem::create_directory(dir.path("folder.gb"));
    ASSERT_EQ(::mkfifo(dir.path("fifo.gb").c_str(), 0600), 0);
    dir.file("huge.gb", std::vector<u8>(8 * MiB + 1, 0x00));
    dir.file("empty.gb", {});
    dir.file("short.gb", std::vector<u8>(MIN_ROM_FILE_SIZE - 1, 0x00));
    const std::string too_short = "ROM too short to hold a cartridge header (";
    const std::string good = dir.file("good.gb", banked_image(64 * KiB, 0x01));
    const std::pair<std::string, std::string> rows[] = {
        {dir.path("absent.gb"), "ROM not found: " + dir.path("absent.gb")},
        {dir.path("huge.gb"), "ROM too large (over 8 MiB): " + dir.path("huge.gb")},
        {dir.path("empty.gb"), too_short + "0 bytes; the header takes the first 336): " + dir.path("empty.gb")},
        {dir.path("short.gb"), too_short + "335 bytes; the header takes the first 336): " + dir.path("short.gb")},
        {dir.path("folder.gb"), "ROM not readable: " + dir.path("folder.gb") + " (a folder, not a file)"},
        {dir.path("fifo.gb"), "ROM not readable: " + dir.path("fifo.gb") + " (a FIFO, not a regular file)"},
        {"/dev/zero", "ROM not readable: /dev/zero (a device, not a regular file)"},
    };
    for (const auto& [path, message] : rows) {
        Cartridge cart;
        std::string error;
        ASSERT_TRUE(cart.try_load_rom(good, error)) << error;
        EXPECT_FALSE(cart.try_load_rom(path, error));
        EXPECT_EQ(error, message);
        EXPECT_FALSE(cart.has_rom());
        EXPECT_EQ(cart.rom, nullptr);
        EXPECT_EQ(cart.rom_access_types, nullptr);
    }
}

// The message goes to standard output as a line of its own.
TEST(Cartridge, MissingFileEndsTheProgramWithExitCodeOne) {
    TempDir dir;
    const std::string path = dir.path("absent.gb");
    const std::string captured = dir.path("stdout.txt");
    Cartridge cart;
    EXPECT_EXIT(
        {
            if (!std::freopen(captured.c_str(), "w", stdout)) std::_Exit(2);
            cart.load_rom(path);
        },
        ::testing::ExitedWithCode(1), "");
    std::ifstream in(captured, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "ROM not found: " + path + "\n");
}

// ---------------------------------------------------------------------------
// Code/data marks: kept per byte of the buffers, so the same CPU address in
// another bank is another byte.

TEST(Cartridge, RomMarksLandOnTheByteTheBankShows) {
    struct Row {
        u8 bank;
        u16 address;
        int offset;
    };
    for (const Row r : {Row{0x05, 0x0150, 0x0150}, Row{0x05, 0x7FFF, 0x17FFF}, Row{0x1F, 0x5555, 0x7D555}}) {
        SCOPED_TRACE(r.offset);
        Cartridge cart;
        load(cart, banked_image(512 * KiB, 0x01));
        // The bus moves the mark windows after each controller write.
        cart.mbc->write_byte(0x2000, r.bank, 0);
        cart.update_mark_windows();
        cart.set_instruction_start_address(r.address);
        EXPECT_EQ(cart.rom_access_types[r.offset], ACCESS_INSTRUCTION);
        EXPECT_TRUE(cart.instruction_starts_at_address(r.address));
        // A later mark replaces the earlier one.
        cart.set_address_access_type_to_data(r.address, 0);
        EXPECT_EQ(cart.rom_access_types[r.offset], ACCESS_DATA);
        EXPECT_FALSE(cart.instruction_starts_at_address(r.address));
        EXPECT_EQ(cart.last_data_read_address, r.address);
        cart.set_address_access_type_to_image(r.address);
        EXPECT_EQ(cart.rom_access_types[r.offset], ACCESS_IMAGE);
        cart.reset_address_access_type(r.address);
        EXPECT_EQ(cart.rom_access_types[r.offset], ACCESS_UNMARKED);
        // The same address with bank 1 shown is another byte.
        cart.set_instruction_start_address(r.address);
        cart.mbc->write_byte(0x2000, 0x01, 0);
        cart.update_mark_windows();
        EXPECT_EQ(cart.instruction_starts_at_address(r.address), r.address < 0x4000);
    }
}

// Only instruction starts are kept for RAM; addresses outside ROM and RAM are
// not kept here at all.
TEST(Cartridge, RamMarksFollowTheRamBank) {
    struct Row {
        u8 ram_code, mode, bank2;
        u16 address;
        int offset;  // -1: no RAM byte there
    };
    const Row rows[] = {{2, 1, 3, 0xBFFF, 0x1FFF}, {3, 1, 2, 0xA000, 0x4000}, {3, 0, 2, 0xA000, 0x0000},
                        {1, 0, 0, 0xA800, -1},     {0, 0, 0, 0xA000, -1},     {2, 0, 0, 0xC000, -1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.address << " code " << int(r.ram_code));
        Cartridge cart;
        load(cart, banked_image(64 * KiB, 0x03, r.ram_code));
        cart.mbc->write_byte(0x6000, r.mode, 0);
        cart.mbc->write_byte(0x4000, r.bank2, 0);
        cart.update_mark_windows();
        cart.set_instruction_start_address(r.address);
        EXPECT_EQ(cart.instruction_starts_at_address(r.address), r.offset >= 0);
        EXPECT_EQ(std::count(cart.rom_access_types.get(), cart.rom_access_types.get() + cart.rom_size,
                             ACCESS_INSTRUCTION), 1);
        if (r.offset < 0) {
            for (int i = 0; i < cart.ram_size; ++i) ASSERT_EQ(cart.ram_access_types[i], ACCESS_UNMARKED);
            continue;
        }
        EXPECT_EQ(cart.ram_access_types[r.offset], ACCESS_INSTRUCTION);
        cart.set_address_access_type_to_data(r.address, 0);  // not recorded for RAM
        EXPECT_EQ(cart.ram_access_types[r.offset], ACCESS_INSTRUCTION);
        cart.reset_address_access_type(r.address);
        EXPECT_EQ(cart.ram_access_types[r.offset], ACCESS_UNMARKED);
    }
}

}  // namespace
