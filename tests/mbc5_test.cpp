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

}  // namespace
