#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cartridge/mbc1.h"
#include "cartridge/mbc1m.h"
#include "cartridge/null_mbc.h"
#include "test_machine.h"

namespace {

constexpr int KiB = 1024;
constexpr int MiB = 1024 * KiB;

// ROM whose every byte holds the number of its 16 KiB bank, so a read tells
// which bank the window shows.
std::vector<u8> numbered_rom(int size) {
    std::vector<u8> rom(size);
    for (int i = 0; i < size; ++i) rom[i] = u8(i / 0x4000);
    return rom;
}

// RAM whose every byte holds 0x80 plus the number of its 8 KiB bank (the
// numbers of a RAM smaller than a bank are 0x80 too).
std::vector<u8> numbered_ram(int size) {
    std::vector<u8> ram(size);
    for (int i = 0; i < size; ++i) ram[i] = u8(0x80 + i / 0x2000);
    return ram;
}

// A controller of type T wired to buffers of the given sizes.
template <class T>
struct Board {
    Board(int rom_size, int ram_size) : rom(numbered_rom(rom_size)), ram(numbered_ram(ram_size)) {
        mbc.init(rom.data(), rom_size, ram_size ? ram.data() : nullptr, ram_size);
    }
    void write(u16 address, u8 value) { mbc.write_byte(address, value, 0); }
    u8 read(u16 address) {
        if (address < 0x4000) return mbc.read_byte_rom0(address);
        if (address < 0x8000) return mbc.read_byte_rom1(address);
        return mbc.read_byte_sram(address);
    }
    std::vector<u8> rom;
    std::vector<u8> ram;
    T mbc;
};

// ---------------------------------------------------------------------------
// MBC1: the bank at 4000-7FFF

struct RomBankCase {
    const char* name;
    int rom_size;
    u8 bank2_write;  // to 4000-5FFF
    u8 bank1_write;  // to 2000-3FFF
    int bank;        // shown at 4000-7FFF
};

class Mbc1RomBank : public ::testing::TestWithParam<RomBankCase> {};

TEST_P(Mbc1RomBank, UpperWindowShowsTheSelectedBank) {
    const RomBankCase& c = GetParam();
    Board<MBC1> b(c.rom_size, 0);
    b.write(0x4000, c.bank2_write);
    b.write(0x2000, c.bank1_write);
    EXPECT_EQ(b.mbc.get_rom_bank(), c.bank);
    EXPECT_EQ(b.read(0x4000), c.bank);
    EXPECT_EQ(b.read(0x7FFF), c.bank);
    // Mode 0 keeps bank 0 at the bottom whatever the registers say.
    EXPECT_EQ(b.read(0x0000), 0);
    EXPECT_EQ(b.read(0x3FFF), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, Mbc1RomBank,
    ::testing::Values(
        // A zero in the five low-register bits reads as 1, judged before the
        // high register is added: 0x20, 0x40 and 0x60 are zeros too.
        RomBankCase{"Zero", 2 * MiB, 0, 0x00, 0x01}, RomBankCase{"ZeroHigh1", 2 * MiB, 1, 0x00, 0x21},
        RomBankCase{"Write20", 2 * MiB, 1, 0x20, 0x21}, RomBankCase{"Write40", 2 * MiB, 1, 0x40, 0x21},
        RomBankCase{"Write60", 2 * MiB, 1, 0x60, 0x21}, RomBankCase{"Write60High3", 2 * MiB, 3, 0x60, 0x61},
        RomBankCase{"Low1F", 2 * MiB, 0, 0x1F, 0x1F}, RomBankCase{"Low3FKeepsFiveBits", 2 * MiB, 0, 0x3F, 0x1F},
        RomBankCase{"HighE5", 2 * MiB, 0xFE, 0xE5, 0x45},  // bank2 takes 2 bits, bank1 5
        RomBankCase{"Top", 2 * MiB, 3, 0x1F, 0x7F},
        // Bits past the ROM's size are not wired.
        RomBankCase{"HighIgnoredIn512K", 512 * KiB, 1, 0x00, 0x01},
        RomBankCase{"HighIgnoredIn512KBank5", 512 * KiB, 2, 0x05, 0x05},
        RomBankCase{"Wraps256K", 256 * KiB, 0, 0x13, 0x03},
        RomBankCase{"Wraps32KToBank0", 32 * KiB, 0, 0x02, 0x00},
        RomBankCase{"Bank1Of32K", 32 * KiB, 0, 0x03, 0x01},
        RomBankCase{"OneMiBHigh1", MiB, 1, 0x0A, 0x2A},
        RomBankCase{"OneMiBDropsHighBit", MiB, 2, 0x0A, 0x0A}),
    [](const auto& info) { return std::string(info.param.name); });

// The bank registers answer to their whole 8 KiB ranges.
TEST(Mbc1, RegistersDecodeOnlyA13ToA14) {
    Board<MBC1> b(2 * MiB, 0);
    b.write(0x3FFF, 0x04);
    b.write(0x5FFF, 0x01);
    EXPECT_EQ(b.read(0x4000), 0x24);
    b.write(0x7FFF, 0x01);  // mode 1
    EXPECT_EQ(b.read(0x0000), 0x20);
    b.write(0x6000, 0x00);
    EXPECT_EQ(b.read(0x0000), 0x00);
}

// ---------------------------------------------------------------------------
// MBC1 mode 1: the high register also reaches 0000-3FFF

struct Rom0Case {
    const char* name;
    int rom_size;
    u8 mode;
    u8 bank2;
    int bank0;  // shown at 0000-3FFF
};

class Mbc1Rom0Bank : public ::testing::TestWithParam<Rom0Case> {};

TEST_P(Mbc1Rom0Bank, LowerWindowFollowsModeAndSize) {
    const Rom0Case& c = GetParam();
    Board<MBC1> b(c.rom_size, 0);
    b.write(0x6000, c.mode);
    b.write(0x4000, c.bank2);
    EXPECT_EQ(b.read(0x0000), c.bank0);
    EXPECT_EQ(b.read(0x3FFF), c.bank0);
    EXPECT_EQ(b.mbc.get_mapped_address_rom(0x0123), c.bank0 * 0x4000 + 0x0123);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, Mbc1Rom0Bank,
    ::testing::Values(Rom0Case{"OneMiB", MiB, 1, 1, 0x20}, Rom0Case{"HalfMiB", 512 * KiB, 1, 1, 0x00},
                      Rom0Case{"TwoMiBHigh3", 2 * MiB, 1, 3, 0x60}, Rom0Case{"OneMiBHigh3", MiB, 1, 3, 0x20},
                      Rom0Case{"Mode0", 2 * MiB, 0, 3, 0x00},
                      Rom0Case{"ModeBit0Only", 2 * MiB, 0xFE, 2, 0x00}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// MBC1 RAM banking

struct RamBankCase {
    const char* name;
    int ram_size;
    u8 mode;
    u8 bank2;
    int bank;
};

class Mbc1RamBank : public ::testing::TestWithParam<RamBankCase> {};

TEST_P(Mbc1RamBank, WindowShowsTheSelectedBank) {
    const RamBankCase& c = GetParam();
    Board<MBC1> b(64 * KiB, c.ram_size);
    b.write(0x0000, 0x0A);
    b.write(0x6000, c.mode);
    b.write(0x4000, c.bank2);
    EXPECT_EQ(b.mbc.get_ram_bank(), c.bank);
    EXPECT_EQ(b.read(0xA000), 0x80 + c.bank);
    EXPECT_EQ(b.mbc.get_mapped_address_ram(0xA123), c.bank * 0x2000 + 0x123);

    b.write(0xA001, 0x42);
    EXPECT_EQ(b.ram[c.bank * 0x2000 + 1], 0x42);
    EXPECT_EQ(b.read(0xA001), 0x42);
    // A 64 KiB ROM has no bank bits for the high register to reach.
    EXPECT_EQ(b.read(0x4000), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Mbc1RamBank,
    ::testing::Values(RamBankCase{"ThirtyTwoKiBMode1", 32 * KiB, 1, 2, 2},
                      RamBankCase{"ThirtyTwoKiBMode1Bank3", 32 * KiB, 1, 3, 3},
                      RamBankCase{"ThirtyTwoKiBMode0", 32 * KiB, 0, 2, 0},
                      RamBankCase{"EightKiBMode1", 8 * KiB, 1, 3, 0},
                      // A RAM smaller than one bank has only bank 0.
                      RamBankCase{"TwoKiBMode1", 2 * KiB, 1, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Mbc1Ram, WholeBankIsBackedWithEightKiB) {
    Board<MBC1> b(64 * KiB, 8 * KiB);
    b.write(0x0000, 0x0A);
    b.write(0xBFFF, 0x33);
    EXPECT_EQ(b.ram[0x1FFF], 0x33);
    EXPECT_EQ(b.read(0xBFFF), 0x33);
}

// 2 KiB of RAM answers at A000-A7FF only; the rest of the window is open.
TEST(Mbc1Ram, TwoKiBLeavesTheRestOfTheWindowOpen) {
    Board<MBC1> b(64 * KiB, 2 * KiB);
    b.write(0x0000, 0x0A);
    const std::vector<u8> before = b.ram;
    for (u16 a : {0xA800, 0xB000, 0xBFFF}) {
        b.write(a, 0x00);
        EXPECT_EQ(b.read(a), 0xFF) << std::hex << a;
    }
    EXPECT_EQ(b.ram, before);
    b.write(0xA7FF, 0x11);
    EXPECT_EQ(b.ram[0x7FF], 0x11);
    EXPECT_EQ(b.read(0xA7FF), 0x11);
}

TEST(Mbc1Ram, NoRamReadsOpenBus) {
    Board<MBC1> b(64 * KiB, 0);
    b.write(0x0000, 0x0A);
    b.write(0xA000, 0x12);
    EXPECT_EQ(b.read(0xA000), 0xFF);
    EXPECT_EQ(b.read(0xBFFF), 0xFF);
}

// ---------------------------------------------------------------------------
// MBC1 RAM enable: only the low four bits of the value count.

struct EnableCase {
    u8 value;
    bool enabled;
};

class Mbc1RamEnable : public ::testing::TestWithParam<EnableCase> {};

TEST_P(Mbc1RamEnable, LowNibbleAEnables) {
    const EnableCase& c = GetParam();
    Board<MBC1> b(64 * KiB, 8 * KiB);
    b.write(0x1234, c.value);
    b.write(0xA010, 0x5C);
    EXPECT_EQ(b.ram[0x10], c.enabled ? 0x5C : 0x80);
    EXPECT_EQ(b.read(0xA010), c.enabled ? 0x5C : 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Mbc1RamEnable,
    ::testing::Values(EnableCase{0x0A, true}, EnableCase{0x1A, true}, EnableCase{0xFA, true},
                      EnableCase{0xA1, false}, EnableCase{0x00, false}, EnableCase{0x0B, false},
                      EnableCase{0xAA, true}, EnableCase{0x0E, false}));

TEST(Mbc1Ram, DisablingHidesTheStoredBytesWithoutLosingThem) {
    Board<MBC1> b(64 * KiB, 8 * KiB);
    b.write(0x0000, 0x0A);
    b.write(0xA000, 0x77);
    b.write(0x1FFF, 0x00);
    EXPECT_EQ(b.read(0xA000), 0xFF);
    b.write(0xA000, 0x01);  // dropped
    b.write(0x0000, 0x0A);
    EXPECT_EQ(b.read(0xA000), 0x77);
}

// ---------------------------------------------------------------------------
// Buffer offsets of CPU addresses

struct MappedCase {
    u8 bank1_write;
    u16 address;
    int offset;
};

class Mbc1MappedRom : public ::testing::TestWithParam<MappedCase> {};

TEST_P(Mbc1MappedRom, OffsetOfTheByteTheAddressReads) {
    const MappedCase& c = GetParam();
    Board<MBC1> b(512 * KiB, 0);
    b.write(0x2000, c.bank1_write);
    EXPECT_EQ(b.mbc.get_mapped_address_rom(c.address), c.offset);
    EXPECT_EQ(b.rom[c.offset], b.read(c.address));
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, Mbc1MappedRom,
    ::testing::Values(MappedCase{0x01, 0x4000, 0x4000}, MappedCase{0x05, 0x4000, 0x14000},
                      MappedCase{0x05, 0x7FFF, 0x17FFF}, MappedCase{0x05, 0x0000, 0x0000},
                      MappedCase{0x05, 0x3FFF, 0x3FFF}, MappedCase{0x1F, 0x6000, 0x7E000}));

// Running init again (as after a saved state is loaded) keeps the registers
// and rebuilds the banks from them.
TEST(Mbc1, InitKeepsTheRegisters) {
    Board<MBC1> b(2 * MiB, 32 * KiB);
    b.write(0x0000, 0x0A);
    b.write(0x6000, 0x01);
    b.write(0x4000, 0x02);
    b.write(0x2000, 0x07);
    b.mbc.init(b.rom.data(), int(b.rom.size()), b.ram.data(), int(b.ram.size()));
    EXPECT_EQ(b.read(0x4000), 0x47);
    EXPECT_EQ(b.read(0x0000), 0x40);
    EXPECT_EQ(b.read(0xA000), 0x82);
}

TEST(Mbc1, NewControllerShowsBank1) {
    Board<MBC1> b(512 * KiB, 8 * KiB);
    EXPECT_EQ(b.read(0x4000), 1);
    EXPECT_EQ(b.read(0x0000), 0);
    EXPECT_EQ(b.read(0xA000), 0xFF);  // RAM starts disabled
}

// ---------------------------------------------------------------------------
// MBC1M: four 256 KiB games in 1 MiB; the high register picks the game.

struct MulticartCase {
    const char* name;
    u8 mode;
    u8 bank2;
    u8 bank1_write;
    int bank;   // at 4000-7FFF
    int bank0;  // at 0000-3FFF
};

class Mbc1mBanks : public ::testing::TestWithParam<MulticartCase> {};

TEST_P(Mbc1mBanks, HighRegisterSelectsTheGame) {
    const MulticartCase& c = GetParam();
    Board<MBC1M> b(MiB, 32 * KiB);
    b.write(0x0000, 0x0A);
    b.write(0x6000, c.mode);
    b.write(0x4000, c.bank2);
    b.write(0x2000, c.bank1_write);
    EXPECT_EQ(b.read(0x4000), c.bank);
    EXPECT_EQ(b.mbc.get_rom_bank(), c.bank);
    EXPECT_EQ(b.read(0x0000), c.bank0);
    EXPECT_EQ(b.mbc.get_mapped_address_rom(0x4000), c.bank * 0x4000);
    // The RAM is never banked on the multicart.
    EXPECT_EQ(b.mbc.get_ram_bank(), 0);
    EXPECT_EQ(b.read(0xA000), 0x80);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, Mbc1mBanks,
    ::testing::Values(MulticartCase{"Game2Bank3", 0, 2, 0x03, 0x23, 0x00},
                      MulticartCase{"Game2Bank3Mode1", 1, 2, 0x03, 0x23, 0x20},
                      MulticartCase{"Game3Mode1", 1, 3, 0x01, 0x31, 0x30},
                      // 0x10 is not zero in five bits, but its low four are:
                      // bank 0 of the game shows at 4000-7FFF.
                      MulticartCase{"Write10", 0, 2, 0x10, 0x20, 0x00},
                      MulticartCase{"Write10Game0", 0, 0, 0x10, 0x00, 0x00},
                      MulticartCase{"Write00", 0, 2, 0x00, 0x21, 0x00},
                      MulticartCase{"Write1F", 0, 1, 0x1F, 0x1F, 0x00}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// NullMBC: no banking; the RAM is always enabled.

struct NullRamCase {
    const char* name;
    int ram_size;
    u16 address;
    bool backed;
};

class NullMbcRam : public ::testing::TestWithParam<NullRamCase> {};

TEST_P(NullMbcRam, BackedAddressesStoreWithoutEnable) {
    const NullRamCase& c = GetParam();
    Board<NullMBC> b(32 * KiB, c.ram_size);
    const std::vector<u8> before = b.ram;
    b.write(c.address, 0x3C);
    if (c.backed) {
        EXPECT_EQ(b.ram[c.address - 0xA000], 0x3C);
        EXPECT_EQ(b.read(c.address), 0x3C);
    } else {
        EXPECT_EQ(b.ram, before);
        EXPECT_EQ(b.read(c.address), 0xFF);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, NullMbcRam,
    ::testing::Values(NullRamCase{"EightKiBBottom", 8 * KiB, 0xA000, true},
                      NullRamCase{"EightKiBTop", 8 * KiB, 0xBFFF, true},
                      NullRamCase{"TwoKiBLast", 2 * KiB, 0xA7FF, true},
                      NullRamCase{"TwoKiBPastEnd", 2 * KiB, 0xA800, false},
                      NullRamCase{"TwoKiBTop", 2 * KiB, 0xBFFF, false},
                      NullRamCase{"NoneBottom", 0, 0xA000, false}, NullRamCase{"NoneTop", 0, 0xBFFF, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NullMbc, RomIsNotBanked) {
    Board<NullMBC> b(32 * KiB, 8 * KiB);
    b.write(0x2000, 0x05);  // no register there
    b.write(0x0000, 0x00);  // and no RAM enable
    EXPECT_EQ(b.read(0x0000), 0);
    EXPECT_EQ(b.read(0x4000), 1);
    EXPECT_EQ(b.read(0x7FFF), 1);
    EXPECT_EQ(b.mbc.get_rom_bank(), 1);
    EXPECT_EQ(b.mbc.get_mapped_address_rom(0x5678), 0x5678);
    EXPECT_EQ(b.mbc.get_mapped_address_ram(0xB000), 0x1000);
    EXPECT_EQ(b.rom, numbered_rom(32 * KiB));
    b.write(0xA000, 0x99);
    EXPECT_EQ(b.read(0xA000), 0x99);
}

TEST(NullMbc, BankedReadIgnoresTheBank) {
    Board<NullMBC> b(32 * KiB, 0);
    EXPECT_EQ(b.mbc.rom_banked_read_byte(7, 0x4000), 1);
    EXPECT_EQ(b.mbc.rom_banked_read_byte(0, 0x7FFF), 1);
    EXPECT_EQ(b.mbc.rom_banked_read_byte(3, 0x8000), 0xFF);
}

// ---------------------------------------------------------------------------
// Through the machine's bus

RomImage mbc1_image(int size, u8 ram_code, const std::vector<u8>& program) {
    RomImage image(program);
    image.bytes.resize(size);
    for (int i = 0x4000; i < size; ++i) image.bytes[i] = u8(i / 0x4000);
    image.type(0x03).ram_size_code(ram_code);
    return image;
}

TEST(Mbc1Bus, CpuSwitchesBankAndReadsIt) {
    // LD A,0x05; LD (0x2100),A; LD A,(0x4000); LD B,A; LD A,0x00; LD (0x2000),A; LD A,(0x7FFF)
    TestMachine m(mbc1_image(512 * KiB, 0,
                             {0x3E, 0x05, 0xEA, 0x00, 0x21, 0xFA, 0x00, 0x40, 0x47, 0x3E, 0x00, 0xEA, 0x00, 0x20,
                              0xFA, 0xFF, 0x7F}));
    m.step(7);
    EXPECT_EQ(m.cpu().b(), 0x05);
    EXPECT_EQ(m.cpu().a(), 0x01);  // writing 0 selects bank 1
    EXPECT_EQ(m.gb->cartridge.get_rom_bank(), 1);
}

TEST(Mbc1Bus, RamAnswersOnlyWhileEnabled) {
    TestMachine m(mbc1_image(64 * KiB, 3, {}));
    GB& gb = *m.gb;
    EXPECT_EQ(gb.read_byte(0xA000), 0xFF);
    gb.write_byte(0x0000, 0x0A);
    gb.write_byte(0x6000, 0x01);
    gb.write_byte(0x4000, 0x02);
    gb.write_byte(0xA000, 0x6B);
    EXPECT_EQ(gb.read_byte(0xA000), 0x6B);
    EXPECT_EQ(gb.cartridge.ram[2 * 0x2000], 0x6B);
    EXPECT_EQ(gb.cartridge.get_ram_bank(), 2);
    gb.write_byte(0x0000, 0x00);
    EXPECT_EQ(gb.read_byte(0xA000), 0xFF);
}

TEST(Mbc1Bus, MachineAndCartridgeShareTheController) {
    TestMachine m(mbc1_image(64 * KiB, 0, {}));
    EXPECT_EQ(m.gb->mbc, m.gb->cartridge.mbc);
    m.gb->write_byte(0x2000, 0x03);
    EXPECT_EQ(m.gb->read_byte(0x4000), 0x03);
    EXPECT_EQ(m.gb->cartridge.get_rom_bank(), 3);
}

}  // namespace
