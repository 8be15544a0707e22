#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "cartridge/mbc1.h"
#include "cartridge/null_mbc.h"
#include "mbc_board.h"

namespace {

// The RAM bank goes only as far as the RAM reaches (32 KiB banking is
// checked by the test ROMs).
TEST(Mbc1, RamBankOnlyAsFarAsTheRamReaches) {
    struct Row {
        int ram_size;
        u8 mode, bank2;
        int bank;
    };
    for (const Row r : {Row{8 * KiB, 1, 3, 0}, Row{2 * KiB, 1, 1, 0}}) {
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
