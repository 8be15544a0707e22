#include <gtest/gtest.h>

#include "cartridge/mbc5.h"
#include "mbc_board.h"

namespace {

// The RAM bank register is trimmed to the RAM (a RAM under 8 KiB backs only
// its own length); on a rumble cartridge bit 3 runs the motor and selects
// nothing. The enable gates reads and writes.
TEST(Mbc5, RamBanksEnableAndTheRumbleMotor) {
    struct Row {
        u8 type;
        int ram_size;
        u8 value;
        int bank;
        bool motor;
    };
    const Row rows[] = {{0x1B, 32 * KiB, 0x07, 3, false}, {0x1B, 128 * KiB, 0x09, 9, false},
                        {0x1E, 128 * KiB, 0x09, 1, true}, {0x1C, 8 * KiB, 0x0F, 0, true},
                        {0x1B, 2 * KiB, 0x01, 0, false},  {0x1D, 32 * KiB, 0x02, 2, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << int(r.type) << " " << r.ram_size << " " << int(r.value));
        Board<MBC5> b(64 * KiB, r.ram_size, r.type);
        b.write(0x5FFF, r.value);
        EXPECT_EQ(b.mbc.get_ram_bank(), r.bank);
        EXPECT_EQ(b.mbc.rumble_motor_on, r.motor);
        b.write(0xA7FF, 0x42);
        EXPECT_EQ(b.read(0xA7FF), 0xFF);  // disabled
        b.write(0x1FFF, 0x3A);
        EXPECT_EQ(b.read(0xA000), 0x80 + r.bank);
        b.write(0xA7FF, 0x42);
        b.write(0xA800, 0x24);
        EXPECT_EQ(b.ram[r.bank * 0x2000 + 0x7FF], 0x42);
        EXPECT_EQ(b.read(0xA800), r.ram_size < 8 * KiB ? 0xFF : 0x24);
        EXPECT_EQ(b.mbc.get_mapped_address_ram(0xA010), r.bank * 0x2000 + 0x10);
    }
}

// The ROM bank number has nine bits: 2000-2FFF writes the low eight, 3000-3FFF
// the ninth (bit 0 of the value), which reaches past 4 MiB. Bank 0 can be
// mapped into 4000-7FFF, and a number beyond the ROM wraps to its size.
TEST(Mbc5, NineBitRomBank) {
    struct Row {
        int rom_size;
        u8 low, high;
        int bank;
    };
    const Row rows[] = {{8 * MiB, 0x05, 0x01, 0x105}, {8 * MiB, 0xFF, 0x01, 0x1FF}, {8 * MiB, 0x00, 0x00, 0x000},
                        {8 * MiB, 0x80, 0xFE, 0x080}, {4 * MiB, 0x05, 0x01, 0x005}, {1 * MiB, 0x47, 0x01, 0x007}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.rom_size / MiB << " MiB, " << std::hex << int(r.high) << ":" << int(r.low));
        Board<MBC5> b(r.rom_size, 0, 0x19);
        b.write(0x3FFF, r.high);
        b.write(0x2000, r.low);
        EXPECT_EQ(b.bank_at(0x4000), r.bank);
        EXPECT_EQ(b.bank_at(0x7FFE), r.bank);
        EXPECT_EQ(b.bank_at(0x0000), 0);
        EXPECT_EQ(b.mbc.get_rom_bank(), r.bank);
        EXPECT_EQ(b.mbc.get_mapped_address_rom(0x4002), r.bank * 0x4000 + 2);
    }
}

}  // namespace
