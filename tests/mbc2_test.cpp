#include <gtest/gtest.h>

#include <typeinfo>

#include "cartridge/mbc2.h"
#include "cartridge/mbc3.h"
#include "cartridge/mbc5.h"
#include "cartridge/null_mbc.h"
#include "mbc_board.h"

namespace {

constexpr int MBC2_RAM = 512;

// Address bit 8 picks the register anywhere in 0000-3FFF; a zero bank reads
// as 1 before the ROM size trims it.
TEST(Mbc2, AddressBitEightSelectsTheBankRegister) {
    struct Row {
        int rom_size;
        u16 address;
        u8 value;
        int bank;
    };
    const Row rows[] = {{256 * KiB, 0x0100, 0x00, 1}, {256 * KiB, 0x2100, 0x13, 3}, {256 * KiB, 0x3FFF, 0xFF, 15},
                        {64 * KiB, 0x0100, 0x06, 2},  {256 * KiB, 0x2000, 0x05, 1}, {256 * KiB, 0x3EFF, 0x05, 1},
                        {32 * KiB, 0x2100, 0x02, 0}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.rom_size << " " << std::hex << r.address << " " << int(r.value));
        Board<MBC2> b(r.rom_size, MBC2_RAM);
        b.write(r.address, r.value);
        EXPECT_EQ(b.mbc.get_rom_bank(), r.bank);
        EXPECT_EQ(b.bank_at(0x4000), r.bank);
        EXPECT_EQ(b.bank_at(0x7FFE), r.bank);
        EXPECT_EQ(b.bank_at(0x0000), 0);
        b.write(0x4000, 0x07);  // 4000-7FFF holds no register
        EXPECT_EQ(b.bank_at(0x4000), r.bank);
    }
}

// 512 four-bit cells repeated every 0x200 bytes over A000-BFFF; the upper
// half of each byte reads 1. The enable sits at addresses with bit 8 clear.
TEST(Mbc2, HalfByteRamRepeatsOverTheWindow) {
    Board<MBC2> b(256 * KiB, MBC2_RAM);
    b.write(0xA000, 0x5C);
    EXPECT_EQ(b.read(0xA000), 0xFF);  // disabled: nothing stored, nothing shown
    EXPECT_EQ(b.ram[0], 0x80);
    b.write(0x0100, 0x0A);  // bit 8 set: a bank number, not the enable
    EXPECT_EQ(b.read(0xA000), 0xFF);
    b.write(0x2000, 0x1A);
    b.write(0xA000, 0x5C);
    EXPECT_EQ(b.ram[0], 0x0C);
    for (u16 a : {0xA000, 0xA200, 0xBE00}) EXPECT_EQ(b.read(a), 0xFC) << std::hex << a;
    b.write(0xBFFF, 0x37);  // the last mirror reaches the last cell
    EXPECT_EQ(b.ram[0x1FF], 0x07);
    EXPECT_EQ(b.read(0xA1FF), 0xF7);
    b.write(0x0000, 0x0B);
    EXPECT_EQ(b.read(0xA1FF), 0xFF);
    EXPECT_EQ(b.mbc.get_ram_bank(), 0);
}

// The cartridge type byte chooses the controller.
TEST(CartridgeTypes, ChooseMbc2Mbc3AndMbc5) {
    for (int type = 0; type < 0x100; ++type) {
        std::vector<u8> image(64 * KiB, 0);
        image[HEADER_TYPE] = u8(type);
        Cartridge cart;
        cart.load_rom_from_memory("types.gb", image.data(), int(image.size()));
        if (type >= 0x01 && type <= 0x03) continue;  // MBC1, tested with it
        const std::type_info* expected = &typeid(NullMBC);
        if (type == 0x05 || type == 0x06) expected = &typeid(MBC2);
        if (type >= 0x0F && type <= 0x13) expected = &typeid(MBC3);
        if (type >= 0x19 && type <= 0x1E) expected = &typeid(MBC5);
        const MemoryBankController& mbc = *cart.mbc;
        EXPECT_TRUE(typeid(mbc) == *expected) << type;
    }
}

}  // namespace
