#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "cartridge/mbc1.h"
#include "cartridge/mbc1m.h"
#include "cartridge/null_mbc.h"
#include "mbc_board.h"

namespace {

TEST(Mbc1, RomBanksFromBothRegistersTheModeAndTheSize) {
    struct Row {
        int rom_size;
        u8 mode, bank2, bank1;
        int bank;   // at 4000-7FFF
        int bank0;  // at 0000-3FFF
    };
    const Row rows[] = {
        // A zero in the five low-register bits reads as 1, judged before the
        // high register is added: 0x20 and 0x60 are zeros too.
        {2 * MiB, 0, 0, 0x00, 0x01, 0x00},
        {2 * MiB, 0, 1, 0x20, 0x21, 0x00},
        {2 * MiB, 1, 3, 0x60, 0x61, 0x60},
        {2 * MiB, 0, 0, 0x3F, 0x1F, 0x00},
        {2 * MiB, 0, 0xFE, 0xE5, 0x45, 0x00},   // bank2 takes 2 bits, bank1 5
        {2 * MiB, 0xFE, 3, 0x1F, 0x7F, 0x00},   // only bit 0 of the mode counts
        // Bits past the ROM's size are not wired.
        {MiB, 1, 1, 0x0A, 0x2A, 0x20},
        {MiB, 1, 2, 0x0A, 0x0A, 0x00},
        {512 * KiB, 1, 2, 0x05, 0x05, 0x00},
        {256 * KiB, 0, 0, 0x13, 0x03, 0x00},
        {32 * KiB, 0, 0, 0x02, 0x00, 0x00},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.rom_size << " " << int(r.mode) << " " << int(r.bank2) << " "
                                        << int(r.bank1));
        Board<MBC1> b(r.rom_size, 0);
        b.write(0x6000, r.mode);
        b.write(0x4000, r.bank2);
        b.write(0x2000, r.bank1);
        EXPECT_EQ(b.mbc.get_rom_bank(), r.bank);
        EXPECT_EQ(b.bank_at(0x4000), r.bank);
        EXPECT_EQ(b.bank_at(0x7FFE), r.bank);
        EXPECT_EQ(b.bank_at(0x0000), r.bank0);
        EXPECT_EQ(b.bank_at(0x3FFE), r.bank0);
        EXPECT_EQ(b.mbc.get_mapped_address_rom(0x0123), r.bank0 * 0x4000 + 0x0123);
        EXPECT_EQ(b.mbc.get_mapped_address_rom(0x7FFF), r.bank * 0x4000 + 0x3FFF);
    }
}

// The bank registers answer to their whole 8 KiB ranges.
TEST(Mbc1, RegistersDecodeOnlyA13ToA14) {
    Board<MBC1> b(2 * MiB, 0);
    b.write(0x3FFF, 0x04);
    b.write(0x5FFF, 0x01);
    EXPECT_EQ(b.bank_at(0x4000), 0x24);
    b.write(0x7FFF, 0x01);  // mode 1
    EXPECT_EQ(b.bank_at(0x0000), 0x20);
    b.write(0x6000, 0x00);
    EXPECT_EQ(b.bank_at(0x0000), 0x00);
}

TEST(Mbc1, RamBankOnlyInModeOneAndOnlyAsFarAsTheRamReaches) {
    struct Row {
        int ram_size;
        u8 mode, bank2;
        int bank;
    };
    for (const Row r : {Row{32 * KiB, 1, 3, 3}, Row{32 * KiB, 0, 2, 0}, Row{8 * KiB, 1, 3, 0}, Row{2 * KiB, 1, 1, 0}}) {
        SCOPED_TRACE(testing::Message() << r.ram_size << " mode " << int(r.mode));
        Board<MBC1> b(64 * KiB, r.ram_size);
        b.write(0x0000, 0x0A);
        b.write(0x6000, r.mode);
        b.write(0x4000, r.bank2);
        EXPECT_EQ(b.mbc.get_ram_bank(), r.bank);
        EXPECT_EQ(b.read(0xA000), 0x80 + r.bank);
        EXPECT_EQ(b.mbc.get_mapped_address_ram(0xA123), r.bank * 0x2000 + 0x123);
        b.write(0xA001, 0x42);
        EXPECT_EQ(b.ram[r.bank * 0x2000 + 1], 0x42);
        EXPECT_EQ(b.bank_at(0x4000), 1);  // a 64 KiB ROM has no bits for the high register
    }
}

// Which A000-BFFF addresses are backed: the whole window from 8 KiB on, the
// first 2 KiB of a 2 KiB RAM, nothing without RAM. MBC1 needs the enable,
// a cartridge without controller does not.
template <class T>
void check_ram_window() {
    struct Row {
        int ram_size;
        u16 address;
        bool backed;
    };
    const Row rows[] = {{8 * KiB, 0xA000, true},  {8 * KiB, 0xBFFF, true},  {2 * KiB, 0xA7FF, true},
                        {2 * KiB, 0xA800, false}, {2 * KiB, 0xBFFF, false}, {0, 0xA000, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.ram_size << " " << std::hex << r.address);
        Board<T> b(32 * KiB, r.ram_size);
        if constexpr (std::is_same_v<T, MBC1>) b.write(0x0000, 0x0A);
        const std::vector<u8> before = b.ram;
        b.write(r.address, 0x3C);
        EXPECT_EQ(b.read(r.address), r.backed ? 0x3C : 0xFF);
        if (r.backed) {
            EXPECT_EQ(b.ram[r.address - 0xA000], 0x3C);
        } else {
            EXPECT_EQ(b.ram, before);
        }
    }
}

TEST(Mbc1, RamWindowBacking) { check_ram_window<MBC1>(); }
TEST(NullMbc, RamWindowBacking) { check_ram_window<NullMBC>(); }

// Only the low four bits of the value count; disabling hides the stored bytes
// without losing them.
TEST(Mbc1, RamEnableIsALowNibbleOfA) {
    const std::pair<u8, bool> rows[] = {{0x0A, true},  {0x1A, true},  {0xFA, true}, {0xAA, true},
                                        {0xA1, false}, {0x00, false}, {0x0B, false}};
    for (const auto& [value, enabled] : rows) {
        Board<MBC1> b(64 * KiB, 8 * KiB);
        b.write(0x0000, 0x0A);
        b.write(0xA010, 0x77);
        b.write(0x1234, value);
        EXPECT_EQ(b.read(0xA010), enabled ? 0x77 : 0xFF) << int(value);
        b.write(0xA010, 0x5C);
        EXPECT_EQ(b.ram[0x10], enabled ? 0x5C : 0x77) << int(value);
    }
}

// A new controller shows bank 1 with the RAM disabled. Running init again (as
// after a saved state is loaded) keeps the registers and rebuilds the banks.
TEST(Mbc1, InitKeepsTheRegisters) {
    Board<MBC1> b(2 * MiB, 32 * KiB);
    EXPECT_EQ(b.bank_at(0x4000), 1);
    EXPECT_EQ(b.read(0xA000), 0xFF);
    b.write(0x0000, 0x0A);
    b.write(0x6000, 0x01);
    b.write(0x4000, 0x02);
    b.write(0x2000, 0x07);
    b.mbc.init(b.rom.data(), int(b.rom.size()), b.ram.data(), int(b.ram.size()));
    EXPECT_EQ(b.bank_at(0x4000), 0x47);
    EXPECT_EQ(b.bank_at(0x0000), 0x40);
    EXPECT_EQ(b.read(0xA000), 0x82);
}

// MBC1M: four 256 KiB games in 1 MiB; the high register picks the game and
// the RAM is never banked.
TEST(Mbc1m, HighRegisterSelectsTheGame) {
    struct Row {
        u8 mode, bank2, bank1;
        int bank, bank0;
    };
    const Row rows[] = {
        {0, 2, 0x03, 0x23, 0x00}, {1, 3, 0x01, 0x31, 0x30},
        // 0x10 is not zero in five bits, but its low four are: bank 0 of the
        // game shows at 4000-7FFF.
        {0, 2, 0x10, 0x20, 0x00}, {0, 2, 0x00, 0x21, 0x00}, {0, 1, 0x1F, 0x1F, 0x00},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << int(r.mode) << " " << int(r.bank2) << " " << int(r.bank1));
        Board<MBC1M> b(MiB, 32 * KiB);
        b.write(0x0000, 0x0A);
        b.write(0x6000, r.mode);
        b.write(0x4000, r.bank2);
        b.write(0x2000, r.bank1);
        EXPECT_EQ(b.bank_at(0x4000), r.bank);
        EXPECT_EQ(b.mbc.get_rom_bank(), r.bank);
        EXPECT_EQ(b.bank_at(0x0000), r.bank0);
        EXPECT_EQ(b.mbc.get_mapped_address_rom(0x4000), r.bank * 0x4000);
        EXPECT_EQ(b.mbc.get_ram_bank(), 0);
        EXPECT_EQ(b.read(0xA000), 0x80);
    }
}

TEST(NullMbc, RomIsNotBanked) {
    Board<NullMBC> b(32 * KiB, 8 * KiB);
    b.write(0x2000, 0x05);  // no register there
    EXPECT_EQ(b.bank_at(0x3FFE), 0);
    EXPECT_EQ(b.bank_at(0x7FFE), 1);
    EXPECT_EQ(b.mbc.get_mapped_address_rom(0x5678), 0x5678);
    EXPECT_EQ(b.mbc.get_mapped_address_ram(0xB000), 0x1000);
    EXPECT_EQ(b.mbc.rom_banked_read_byte(7, 0x4000), 1);
    EXPECT_EQ(b.mbc.rom_banked_read_byte(3, 0x8000), 0xFF);
}

}  // namespace
