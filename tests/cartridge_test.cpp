#include <gtest/gtest.h>

#include "temp_dir.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <typeinfo>
#include <unistd.h>
#include <vector>

#include "cartridge/cartridge.h"
#include "cartridge/mbc1.h"
#include "cartridge/mbc1m.h"
#include "cartridge/null_mbc.h"

namespace fs = std::filesystem;

namespace {

constexpr int KiB = 1024;
constexpr int MiB = 1024 * KiB;


// An image of `size` bytes whose every byte holds the number of its 16 KiB
// bank, with the controller type and RAM size code in the header.
std::vector<u8> banked_image(int size, u8 type, u8 ram_code = 0) {
    std::vector<u8> rom(size);
    for (int i = 0; i < size; ++i) rom[i] = u8(i / 0x4000);
    if (size > HEADER_RAM_SIZE) {
        rom[HEADER_TYPE] = type;
        rom[HEADER_RAM_SIZE] = ram_code;
    }
    return rom;
}

void load(Cartridge& cart, const std::vector<u8>& image) {
    cart.load_rom_from_memory("test.gb", image.data(), int(image.size()));
}

// ---------------------------------------------------------------------------
// Controller by cartridge type

enum class Kind { Null, MBC1, MBC1M };

Kind kind_of(const MemoryBankController& mbc) {
    if (typeid(mbc) == typeid(MBC1M)) return Kind::MBC1M;
    if (typeid(mbc) == typeid(MBC1)) return Kind::MBC1;
    if (typeid(mbc) == typeid(NullMBC)) return Kind::Null;
    ADD_FAILURE() << "unexpected controller " << typeid(mbc).name();
    return Kind::Null;
}

struct TypeCase {
    u8 type;
    Kind kind;
};

class ControllerByType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(ControllerByType, HeaderByte0147PicksTheController) {
    Cartridge cart;
    load(cart, banked_image(512 * KiB, GetParam().type));
    ASSERT_TRUE(cart.mbc);
    EXPECT_EQ(kind_of(*cart.mbc), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Types, ControllerByType,
    ::testing::Values(TypeCase{0x00, Kind::Null}, TypeCase{0x01, Kind::MBC1}, TypeCase{0x02, Kind::MBC1},
                      TypeCase{0x03, Kind::MBC1}, TypeCase{0x04, Kind::Null}, TypeCase{0x07, Kind::Null},
                      TypeCase{0x0E, Kind::Null}, TypeCase{0x14, Kind::Null}, TypeCase{0x18, Kind::Null},
                      TypeCase{0x1F, Kind::Null}, TypeCase{0x20, Kind::Null}, TypeCase{0xFF, Kind::Null}));

// Only the three MBC1 type bytes wire an MBC1.
TEST(ControllerByType, NoOtherTypeByteGivesAnMbc1) {
    for (int type = 0; type < 0x100; ++type) {
        if (type >= 0x01 && type <= 0x03) continue;
        Cartridge cart;
        load(cart, banked_image(64 * KiB, u8(type)));
        EXPECT_EQ(dynamic_cast<MBC1*>(cart.mbc.get()), nullptr) << "type " << type;
    }
}

// The multicart is told apart by the logo repeated at a 256 KiB step in an
// image of exactly 1 MiB.
struct MulticartCase {
    const char* name;
    int rom_size;
    std::vector<int> logo_copies;  // k: a copy of the logo at k * 0x40000 + 0x0104
    u8 type;
    Kind kind;
};

class Multicart : public ::testing::TestWithParam<MulticartCase> {};

TEST_P(Multicart, DetectedFromTheRepeatedLogo) {
    const MulticartCase& c = GetParam();
    std::vector<u8> image = banked_image(c.rom_size, c.type);
    for (int i = 0; i < HEADER_LOGO_SIZE; ++i) image[HEADER_LOGO + i] = u8(0xCE + 7 * i);
    for (int k : c.logo_copies)
        std::copy_n(image.begin() + HEADER_LOGO, HEADER_LOGO_SIZE, image.begin() + k * 0x40000 + HEADER_LOGO);
    Cartridge cart;
    load(cart, image);
    EXPECT_EQ(kind_of(*cart.mbc), c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Images, Multicart,
    ::testing::Values(MulticartCase{"OneMiBLogoInFourthQuarter", MiB, {3}, 0x01, Kind::MBC1M},
                      MulticartCase{"OneMiBLogoInSecondQuarter", MiB, {1}, 0x01, Kind::MBC1M},
                      MulticartCase{"OneMiBAllFourGames", MiB, {1, 2, 3}, 0x03, Kind::MBC1M},
                      MulticartCase{"OneMiBType02", MiB, {2}, 0x02, Kind::MBC1M},
                      MulticartCase{"OneMiBNoCopy", MiB, {}, 0x01, Kind::MBC1},
                      MulticartCase{"TwoMiBWithCopies", 2 * MiB, {1, 2, 3}, 0x01, Kind::MBC1},
                      MulticartCase{"HalfMiBWithCopy", 512 * KiB, {1}, 0x01, Kind::MBC1},
                      // Not an MBC1 type: the logos do not matter.
                      MulticartCase{"OneMiBType00", MiB, {1, 2, 3}, 0x00, Kind::Null},
                      MulticartCase{"OneMiBType13", MiB, {1, 2, 3}, 0x13, Kind::Null}),
    [](const auto& info) { return std::string(info.param.name); });

// A copy that differs in its last byte is no copy.
TEST(Multicart, AlmostRepeatedLogoIsNotAMulticart) {
    std::vector<u8> image = banked_image(MiB, 0x01);
    for (int i = 0; i < HEADER_LOGO_SIZE; ++i) image[HEADER_LOGO + i] = u8(0x11 * i + 3);
    for (int k = 1; k <= 3; ++k) {
        std::copy_n(image.begin() + HEADER_LOGO, HEADER_LOGO_SIZE, image.begin() + k * 0x40000 + HEADER_LOGO);
        image[k * 0x40000 + HEADER_LOGO + HEADER_LOGO_SIZE - 1] ^= 0x01;
    }
    Cartridge cart;
    load(cart, image);
    EXPECT_EQ(kind_of(*cart.mbc), Kind::MBC1);
}

// ---------------------------------------------------------------------------
// RAM size from the header

struct RamCase {
    u8 type;
    u8 code;
    int size;
};

class RamSize : public ::testing::TestWithParam<RamCase> {};

TEST_P(RamSize, FromTypeAndSizeCode) {
    const RamCase& c = GetParam();
    Cartridge cart;
    load(cart, banked_image(64 * KiB, c.type, c.code));
    EXPECT_EQ(cart.get_ram_size(), c.size);
    EXPECT_EQ(cart.ram_size, c.size);
    if (c.size == 0) {
        EXPECT_EQ(cart.ram, nullptr);
        EXPECT_EQ(cart.ram_access_types, nullptr);
        return;
    }
    ASSERT_NE(cart.ram, nullptr);
    ASSERT_NE(cart.ram_access_types, nullptr);
    // A cartridge without a battery file starts with its RAM all ones, unmarked.
    EXPECT_TRUE(std::all_of(cart.ram.get(), cart.ram.get() + c.size, [](u8 b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(cart.ram_access_types.get(), cart.ram_access_types.get() + c.size,
                            [](u8 b) { return b == ACCESS_UNMARKED; }));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, RamSize,
    ::testing::Values(RamCase{0x03, 0, 0}, RamCase{0x03, 1, 2048}, RamCase{0x03, 2, 8192},
                      RamCase{0x03, 3, 32768}, RamCase{0x03, 4, 131072},
                      RamCase{0x03, 5, 0},  // code 5 is no RAM, not 64 KiB
                      RamCase{0x03, 0xFF, 0}, RamCase{0x00, 2, 8192}, RamCase{0x1B, 4, 131072},
                      // MBC2's built-in RAM, whatever the size code says.
                      RamCase{0x05, 0, 512}, RamCase{0x06, 3, 512}, RamCase{0x06, 5, 512}));

struct BatteryCase {
    u8 type;
    bool battery;
    bool rtc;
};

class BatteryAndClock : public ::testing::TestWithParam<BatteryCase> {};

TEST_P(BatteryAndClock, FromTheTypeByte) {
    Cartridge cart;
    load(cart, banked_image(32 * KiB, GetParam().type));
    EXPECT_EQ(cart.has_battery(), GetParam().battery);
    EXPECT_EQ(cart.has_rtc(), GetParam().rtc);
}

INSTANTIATE_TEST_SUITE_P(
    Types, BatteryAndClock,
    ::testing::Values(BatteryCase{0x00, false, false}, BatteryCase{0x01, false, false},
                      BatteryCase{0x03, true, false}, BatteryCase{0x06, true, false},
                      BatteryCase{0x09, true, false}, BatteryCase{0x0D, true, false},
                      BatteryCase{0x0F, true, true}, BatteryCase{0x10, true, true},
                      BatteryCase{0x11, false, false}, BatteryCase{0x12, false, false},
                      BatteryCase{0x13, true, false}, BatteryCase{0x1B, true, false},
                      BatteryCase{0x1E, true, false}, BatteryCase{0x1F, false, false},
                      BatteryCase{0xFF, false, false}));

// ---------------------------------------------------------------------------
// Power-of-two rounding

struct RoundCase {
    u32 n;
    u32 rounded;
};

class RoundUpPowerOfTwo : public ::testing::TestWithParam<RoundCase> {};

TEST_P(RoundUpPowerOfTwo, SmallestPowerNotBelow) {
    EXPECT_EQ(Cartridge::round_up_power_of_two(GetParam().n), GetParam().rounded);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RoundUpPowerOfTwo,
    ::testing::Values(RoundCase{0, 0}, RoundCase{1, 1}, RoundCase{2, 2}, RoundCase{3, 4}, RoundCase{100, 128},
                      RoundCase{0x8000, 0x8000}, RoundCase{0x8001, 0x10000}, RoundCase{40 * KiB, 64 * KiB},
                      RoundCase{48 * KiB, 64 * KiB}, RoundCase{MiB + 1, 2 * MiB},
                      RoundCase{0x7FFFFFFF, 0x80000000}, RoundCase{0x80000000, 0x80000000}));

// ---------------------------------------------------------------------------
// Loading files, including malformed ones

struct FileCase {
    const char* name;
    int file_size;
    int rom_size;
};

class RomFile : public ::testing::TestWithParam<FileCase> {};

// The file's bytes open the buffer; the rest of a rounded-up buffer reads
// like an empty socket, all ones.
TEST_P(RomFile, LoadsIntoAPowerOfTwoBufferPaddedWithOnes) {
    const FileCase& c = GetParam();
    TempDir dir;
    std::vector<u8> bytes(c.file_size);
    for (int i = 0; i < c.file_size; ++i) bytes[i] = u8(i * 13 + 1);
    if (c.file_size > HEADER_RAM_SIZE) bytes[HEADER_TYPE] = 0x00;
    const std::string path = dir.file("game.gb", bytes);

    Cartridge cart;
    std::string error;
    ASSERT_TRUE(cart.try_load_rom(path, error)) << error;
    EXPECT_TRUE(cart.has_rom());
    EXPECT_EQ(cart.rom_path, path);
    ASSERT_EQ(cart.rom_size, c.rom_size);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), cart.rom.get()));
    EXPECT_TRUE(std::all_of(cart.rom.get() + c.file_size, cart.rom.get() + c.rom_size, [](u8 b) { return b == 0xFF; }));
    // The whole 32 KiB CPU window is backed, whatever the file held.
    EXPECT_EQ(cart.mbc->read_byte_rom1(0x7FFF), cart.rom[0x7FFF]);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RomFile,
    ::testing::Values(FileCase{"Empty", 0, 32 * KiB}, FileCase{"HundredBytes", 100, 32 * KiB},
                      FileCase{"ExactlyThirtyTwoKiB", 32 * KiB, 32 * KiB},
                      FileCase{"FortyKiB", 40 * KiB, 64 * KiB}, FileCase{"FortyEightKiB", 48 * KiB, 64 * KiB},
                      FileCase{"ExactlyEightMiB", 8 * MiB, 8 * MiB}),
    [](const auto& info) { return std::string(info.param.name); });

// An image too short to hold a header reads its header bytes as 0xFF: an
// unknown type, so no banking and no RAM.
TEST(RomFile, HeaderlessImageRunsUnbanked) {
    TempDir dir;
    const std::string path = dir.file("short.gb", std::vector<u8>(100, 0x00));
    Cartridge cart;
    std::string error;
    ASSERT_TRUE(cart.try_load_rom(path, error)) << error;
    EXPECT_EQ(kind_of(*cart.mbc), Kind::Null);
    EXPECT_EQ(cart.ram_size, 0);
    EXPECT_EQ(cart.mbc->read_byte_rom0(0x0063), 0x00);
    EXPECT_EQ(cart.mbc->read_byte_rom0(0x0064), 0xFF);
    EXPECT_EQ(cart.mbc->read_byte_sram(0xA000), 0xFF);
}

TEST(RomFile, MissingFileIsRefusedByName) {
    TempDir dir;
    const std::string path = dir.path("absent.gb");
    Cartridge cart;
    std::string error;
    EXPECT_FALSE(cart.try_load_rom(path, error));
    EXPECT_EQ(error, "ROM not found: " + path);
    EXPECT_FALSE(cart.has_rom());
}

// The message goes to standard output with no line end after it.
TEST(RomFile, MissingFileEndsTheProgramWithExitCodeOne) {
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
    EXPECT_EQ(text, "ROM not found: " + path);
}

TEST(RomFile, ImageOverEightMiBIsRefused) {
    TempDir dir;
    const std::string path = dir.file("huge.gb", std::vector<u8>(8 * MiB + 1, 0x00));
    Cartridge cart;
    std::string error;
    EXPECT_FALSE(cart.try_load_rom(path, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find("8 MiB"), std::string::npos) << error;
    EXPECT_FALSE(cart.has_rom());
}

TEST(RomFile, DirectoryIsRefused) {
    TempDir dir;
    const std::string path = dir.path("folder.gb");
    fs::create_directory(path);
    Cartridge cart;
    std::string error;
    EXPECT_FALSE(cart.try_load_rom(path, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_FALSE(cart.has_rom());
}

// The cartridge in the slot is taken out before the new file is judged, so a
// failed load leaves the slot empty rather than half-replaced.
TEST(RomFile, FailedLoadLeavesNoRomLoaded) {
    TempDir dir;
    const std::string good = dir.file("good.gb", banked_image(64 * KiB, 0x01));
    Cartridge cart;
    std::string error;
    ASSERT_TRUE(cart.try_load_rom(good, error)) << error;
    EXPECT_FALSE(cart.try_load_rom(dir.path("absent.gb"), error));
    EXPECT_FALSE(cart.has_rom());
    EXPECT_EQ(cart.rom, nullptr);
    EXPECT_EQ(cart.rom_access_types, nullptr);
}

TEST(RomFile, SecondLoadReplacesControllerAndBuffers) {
    TempDir dir;
    std::vector<u8> first = banked_image(64 * KiB, 0x03, 3);
    std::vector<u8> second = banked_image(128 * KiB, 0x00, 0);
    second[0x0200] = 0x5A;
    Cartridge cart;
    std::string error;
    ASSERT_TRUE(cart.try_load_rom(dir.file("a.gb", first), error)) << error;
    ASSERT_TRUE(cart.try_load_rom(dir.file("b.gb", second), error)) << error;
    EXPECT_EQ(cart.rom_path, dir.path("b.gb"));
    EXPECT_EQ(cart.rom_size, 128 * KiB);
    EXPECT_EQ(cart.ram_size, 0);
    EXPECT_EQ(cart.ram, nullptr);
    EXPECT_EQ(kind_of(*cart.mbc), Kind::Null);
    EXPECT_EQ(cart.mbc->read_byte_rom0(0x0200), 0x5A);
}

// An in-memory image follows the same rounding and padding as a file.
TEST(RomFromMemory, RoundedAndPadded) {
    std::vector<u8> image(40 * KiB, 0x00);
    Cartridge cart;
    cart.load_rom_from_memory("memory.gb", image.data(), int(image.size()));
    EXPECT_EQ(cart.rom_path, "memory.gb");
    ASSERT_EQ(cart.rom_size, 64 * KiB);
    EXPECT_EQ(cart.rom[40 * KiB - 1], 0x00);
    EXPECT_EQ(cart.rom[40 * KiB], 0xFF);
    cart.unload_rom();
    EXPECT_FALSE(cart.has_rom());
    EXPECT_EQ(cart.rom, nullptr);
    EXPECT_EQ(cart.rom_path, "memory.gb");
}

// A controller restored from a saved state keeps its registers when it is
// connected to the buffers again.
TEST(InitMbc, KeepsTheBankRegisters) {
    Cartridge cart;
    load(cart, banked_image(512 * KiB, 0x01));
    cart.mbc->write_byte(0x2000, 0x07, 0);
    EXPECT_EQ(cart.get_rom_bank(), 7);
    cart.init_mbc();
    EXPECT_EQ(cart.get_rom_bank(), 7);
    EXPECT_EQ(cart.mbc->read_byte_rom1(0x4000), 7);
}

TEST(ResetRam, FillsWithOnes) {
    Cartridge cart;
    load(cart, banked_image(32 * KiB, 0x00, 2));
    cart.mbc->write_byte(0xA123, 0x00, 0);
    ASSERT_EQ(cart.ram[0x123], 0x00);
    cart.reset_ram();
    EXPECT_EQ(cart.ram[0x123], 0xFF);
}

// ---------------------------------------------------------------------------
// Code/data marks: kept per byte of the buffers, so the same CPU address in
// another bank is another byte.

TEST(Marks, FreshRomHasOnlyTheEntryPointMarked) {
    Cartridge cart;
    load(cart, banked_image(64 * KiB, 0x01));
    for (int i = 0; i < cart.rom_size; ++i)
        ASSERT_EQ(cart.rom_access_types[i], i == 0x0100 ? ACCESS_INSTRUCTION : ACCESS_UNMARKED) << i;
    EXPECT_TRUE(cart.instruction_starts_at_address(0x0100));
    EXPECT_EQ(cart.last_data_read_address, 0xFFFF);
}

struct RomMarkCase {
    const char* name;
    u8 bank_register;  // written to 2000-3FFF before marking
    u16 address;
    int offset;        // expected ROM buffer offset
};

class RomMarks : public ::testing::TestWithParam<RomMarkCase> {};

TEST_P(RomMarks, LandOnTheByteTheBankShows) {
    const RomMarkCase& c = GetParam();
    Cartridge cart;
    load(cart, banked_image(512 * KiB, 0x01));
    cart.mbc->write_byte(0x2000, c.bank_register, 0);

    cart.set_instruction_start_address(c.address);
    EXPECT_EQ(cart.rom_access_types[c.offset], ACCESS_INSTRUCTION);
    EXPECT_TRUE(cart.instruction_starts_at_address(c.address));

    // A later mark replaces the earlier one.
    cart.set_address_access_type_to_data(c.address);
    EXPECT_EQ(cart.rom_access_types[c.offset], ACCESS_DATA);
    EXPECT_FALSE(cart.instruction_starts_at_address(c.address));
    EXPECT_EQ(cart.last_data_read_address, c.address);

    cart.set_address_access_type_to_image(c.address);
    EXPECT_EQ(cart.rom_access_types[c.offset], ACCESS_IMAGE);

    cart.reset_address_access_type(c.address);
    EXPECT_EQ(cart.rom_access_types[c.offset], ACCESS_UNMARKED);

    // The same address with bank 1 shown is another byte.
    cart.set_instruction_start_address(c.address);
    cart.mbc->write_byte(0x2000, 0x01, 0);
    if (c.address >= 0x4000 && c.bank_register != 1) {
        EXPECT_FALSE(cart.instruction_starts_at_address(c.address));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Banks, RomMarks,
    ::testing::Values(RomMarkCase{"Bank0", 0x05, 0x0150, 0x0150},
                      RomMarkCase{"Bank1", 0x01, 0x4000, 0x4000},
                      RomMarkCase{"Bank5", 0x05, 0x4000, 0x14000},
                      RomMarkCase{"Bank5End", 0x05, 0x7FFF, 0x17FFF},
                      RomMarkCase{"Bank1F", 0x1F, 0x5555, 0x1F * 0x4000 + 0x1555}),
    [](const auto& info) { return std::string(info.param.name); });

struct RamMarkCase {
    const char* name;
    u8 ram_code;
    u8 mode;
    u8 bank2;
    u16 address;
    int offset;  // expected RAM buffer offset, or -1 when no RAM byte is there
};

class RamMarks : public ::testing::TestWithParam<RamMarkCase> {};

TEST_P(RamMarks, OnlyInstructionStartsAreKeptForRam) {
    const RamMarkCase& c = GetParam();
    Cartridge cart;
    load(cart, banked_image(64 * KiB, 0x03, c.ram_code));
    cart.mbc->write_byte(0x6000, c.mode, 0);
    cart.mbc->write_byte(0x4000, c.bank2, 0);

    cart.set_instruction_start_address(c.address);
    EXPECT_EQ(cart.instruction_starts_at_address(c.address), c.offset >= 0);
    if (c.offset < 0) {
        if (cart.ram_access_types) {
            EXPECT_TRUE(std::none_of(cart.ram_access_types.get(), cart.ram_access_types.get() + cart.ram_size,
                                     [](u8 b) { return b != ACCESS_UNMARKED; }));
        }
        return;
    }
    EXPECT_EQ(cart.ram_access_types[c.offset], ACCESS_INSTRUCTION);
    // Data reads are not recorded for RAM.
    cart.set_address_access_type_to_data(c.address);
    EXPECT_EQ(cart.ram_access_types[c.offset], ACCESS_INSTRUCTION);
    cart.reset_address_access_type(c.address);
    EXPECT_EQ(cart.ram_access_types[c.offset], ACCESS_UNMARKED);
    EXPECT_FALSE(cart.instruction_starts_at_address(c.address));
}

INSTANTIATE_TEST_SUITE_P(
    Banks, RamMarks,
    ::testing::Values(RamMarkCase{"EightKiB", 2, 0, 0, 0xA010, 0x0010},
                      RamMarkCase{"EightKiBTop", 2, 1, 3, 0xBFFF, 0x1FFF},
                      RamMarkCase{"ThirtyTwoKiBBank2", 3, 1, 2, 0xA000, 0x4000},
                      RamMarkCase{"ThirtyTwoKiBMode0", 3, 0, 2, 0xA000, 0x0000},
                      RamMarkCase{"TwoKiBInside", 1, 0, 0, 0xA7FF, 0x07FF},
                      RamMarkCase{"TwoKiBPastTheEnd", 1, 0, 0, 0xA800, -1},
                      RamMarkCase{"NoRam", 0, 0, 0, 0xA000, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Marks, AddressesOutsideTheCartridgeAreNotKeptHere) {
    Cartridge cart;
    load(cart, banked_image(32 * KiB, 0x00, 2));
    for (u16 address : {0x8000, 0x9FFF, 0xC000, 0xFF80}) {
        cart.set_instruction_start_address(address);
        EXPECT_FALSE(cart.instruction_starts_at_address(address)) << address;
    }
    EXPECT_EQ(std::count(cart.rom_access_types.get(), cart.rom_access_types.get() + cart.rom_size, ACCESS_INSTRUCTION),
              1);
    EXPECT_EQ(std::count(cart.ram_access_types.get(), cart.ram_access_types.get() + cart.ram_size, ACCESS_INSTRUCTION),
              0);
}

TEST(Marks, ReloadingStartsThemAfresh) {
    Cartridge cart;
    const std::vector<u8> image = banked_image(32 * KiB, 0x00);
    load(cart, image);
    cart.set_address_access_type_to_data(0x1234);
    load(cart, image);
    EXPECT_EQ(cart.rom_access_types[0x1234], ACCESS_UNMARKED);
    EXPECT_EQ(cart.rom_access_types[0x0100], ACCESS_INSTRUCTION);
}

}  // namespace
