#include <gtest/gtest.h>

#include "cartridge/mbc2.h"
#include "mbc_board.h"

namespace {

// Below 4000 address bit 8 picks the register: set, the 4-bit ROM bank
// (0 selects 1, and the number wraps to the ROM's size); clear, the RAM
// enable. The bank also decides which ROM byte a mark lands on.
TEST(Mbc2, AddressBitEightPicksTheRegister) {
    struct Row {
        int rom_size;
        u16 address;
        u8 value;
        int bank;
    };
    const Row rows[] = {{256 * KiB, 0x2100, 0x05, 5},  {256 * KiB, 0x3FFF, 0x0E, 14}, {256 * KiB, 0x2100, 0x00, 1},
                        {256 * KiB, 0x2100, 0xF3, 3},  {256 * KiB, 0x0100, 0x03, 3},  {128 * KiB, 0x2100, 0x0F, 7},
                        {256 * KiB, 0x2000, 0x05, 1},  {256 * KiB, 0x3EFF, 0x05, 1}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.address << " <- " << int(r.value));
        Board<MBC2> b(r.rom_size, 512, 0x06);
        b.write(r.address, r.value);
        EXPECT_EQ(b.bank_at(0x4000), r.bank);
        EXPECT_EQ(b.bank_at(0x7FFE), r.bank);
        EXPECT_EQ(b.bank_at(0x2000), 0);
        EXPECT_EQ(b.mbc.get_rom_bank(), r.bank);
        EXPECT_EQ(b.mbc.get_mapped_address_rom(0x4002), r.bank * 0x4000 + 2);
        EXPECT_EQ(b.mbc.get_mapped_address_rom(0x3FFF), 0x3FFF);
    }
}

// 512 half-byte cells inside the controller: the upper four data lines float
// high, and the cells repeat every 0x200 bytes across A000-BFFF. Only a write
// with address bit 8 clear enables them.
TEST(Mbc2, HalfByteRamRepeatsAcrossTheWindow) {
    Board<MBC2> b(64 * KiB, 512, 0x06);
    b.write(0xA123, 0x5C);
    EXPECT_EQ(b.read(0xA123), 0xFF) << "disabled";
    b.write(0x0100, 0x0A);  // the bank register, not the enable
    EXPECT_EQ(b.read(0xA123), 0xFF);
    b.write(0x1EFF, 0x0A);
    b.write(0xA123, 0x5C);
    EXPECT_EQ(b.ram[0x123], 0x0C);
    for (u16 address : {0xA123, 0xA323, 0xB923, 0xBF23}) EXPECT_EQ(b.read(address), 0xFC) << std::hex << address;
    b.write(0xBFFF, 0x37);
    EXPECT_EQ(b.read(0xA1FF), 0xF7);
    EXPECT_EQ(b.read(0xA123), 0xFC);
    b.write(0x0000, 0x00);
    EXPECT_EQ(b.read(0xA123), 0xFF) << "disabled again";
}

}  // namespace
