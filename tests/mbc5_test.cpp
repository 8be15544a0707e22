#include <gtest/gtest.h>

#include "cartridge/mbc5.h"
#include "mbc_board.h"

namespace {

// Nine bank bits from two registers, bank 0 allowed, each write trimmed to
// the ROM at once so a later write combines with the trimmed other half.
TEST(Mbc5, NineBitRomBank) {
    struct Row {
        int rom_size;
        std::vector<std::pair<u16, u8>> writes;
        int bank;
    };
    const Row rows[] = {
        {8 * MiB, {{0x2000, 0x05}, {0x3000, 0x01}}, 0x105},
        {8 * MiB, {{0x2000, 0x05}, {0x3000, 0x01}, {0x3000, 0x00}}, 0x005},
        {8 * MiB, {{0x3FFF, 0xFF}, {0x2FFF, 0x80}}, 0x180},  // only bit 0 of the high register
        {8 * MiB, {{0x2000, 0x00}}, 0},
        {MiB, {{0x2000, 0x45}}, 0x05},
        {4 * MiB, {{0x3000, 0x01}, {0x2000, 0x22}}, 0x22},  // 256 banks: bit 8 is not wired
        {32 * KiB, {{0x2000, 0x03}}, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.rom_size << " " << r.writes.size());
        Board<MBC5> b(r.rom_size, 0, 0x19);
        EXPECT_EQ(b.bank_at(0x4000), 1);
        for (auto [address, value] : r.writes) b.write(address, value);
        EXPECT_EQ(b.mbc.get_rom_bank(), r.bank);
        EXPECT_EQ(b.bank_at(0x4000), r.bank);
        EXPECT_EQ(b.bank_at(0x7FFE), r.bank);
        EXPECT_EQ(b.bank_at(0x0000), 0);
        EXPECT_EQ(b.mbc.get_mapped_address_rom(0x4000), r.bank * 0x4000);
    }
}

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

}  // namespace
