#include <gtest/gtest.h>

#include <array>

#include "cartridge/mbc3.h"
#include "mbc_board.h"

namespace {

constexpr u64 SECOND = 4194304;  // 4 MHz cycles
using Clock = std::array<u8, 5>;  // S, M, H, DL, DH

// An MBC3 with a clock (type 0x10), driven through its registers.
struct ClockBoard : Board<MBC3> {
    ClockBoard() : Board<MBC3>(64 * KiB, 32 * KiB, 0x10) {}
    void set(int index, u8 value, u64 cycle) {
        write(0x4000, u8(0x08 + index));
        write(0xA000, value, cycle);
    }
    Clock latch(u64 cycle, u16 at = 0x6000) {
        write(at, 0x00, cycle);
        Clock c{};
        for (int i = 0; i < 5; ++i) {
            write(0x4000, u8(0x08 + i));
            c[i] = read(0xBFFF);
        }
        return c;
    }
};

TEST(Mbc3, RomAndRamBanks) {
    Board<MBC3> b(2 * MiB, 8 * KiB, 0x13);
    for (auto [value, bank] : {std::pair{0x00, 1}, {0x80, 1}, {0x85, 5}, {0x7F, 0x7F}}) {
        b.write(0x3FFF, u8(value));
        EXPECT_EQ(b.bank_at(0x4000), bank) << value;
    }
    Board<MBC3> r(64 * KiB, 32 * KiB, 0x13);
    r.write(0x0000, 0x0A);
    r.write(0x2000, 0x07);
    r.write(0x5FFF, 0x03);
    EXPECT_EQ(r.bank_at(0x4000), 3);  // four banks
    EXPECT_EQ(r.read(0xA000), 0x83);
    // With 8 KiB every select shows bank 0, though the select is reported.
    b.write(0x0000, 0x0A);
    b.write(0x4000, 0x02);
    EXPECT_EQ(b.read(0xA000), 0x80);
    EXPECT_EQ(b.mbc.get_ram_bank(), 2);
    // Clock selects without a clock read 0xFF and store nothing.
    for (u8 select : {0x08, 0x0C, 0x0D, 0x1A}) {
        b.write(0x4000, select);
        b.write(0xA000, 0x00);
        EXPECT_EQ(b.read(0xA000), 0xFF) << int(select);
    }
    b.write(0x4000, 0x00);
    EXPECT_EQ(b.read(0xA000), 0x80);
}

// The chip decodes bits 0-3 of the select: bit 3 the clock, bits 0-2 the
// register or the RAM bank (a 32 KiB RAM takes two of them); bits 4-7 change
// nothing. A clock-cartridge test walks every value.
TEST(Mbc3, SelectIgnoresTheUpperFourBits) {
    ClockBoard b;
    const Clock clock = {0x11, 0x22, 0x13, 0x44, 0x41};
    for (int i = 0; i < 5; ++i) b.set(i, clock[size_t(i)], 0);
    b.latch(0);
    b.write(0x0000, 0x0A);
    const int by_low_nibble[16] = {0x80, 0x81, 0x82, 0x83, 0x80, 0x81, 0x82, 0x83,
                                   0x11, 0x22, 0x13, 0x44, 0x41, 0xFF, 0xFF, 0xFF};
    for (int select = 0; select < 256; ++select) {
        b.write(0x4000, u8(select));
        EXPECT_EQ(b.read(0xA123), by_low_nibble[select & 15]) << "select " << select;
    }
    // Writes go through the same decoding.
    b.write(0x4000, 0xF3);
    b.write(0xA000, 0x5A);
    b.write(0x4000, 0x08 | 0x30);
    b.write(0xA000, 0x2B);
    b.latch(0);
    b.write(0x4000, 0x03);
    EXPECT_EQ(b.read(0xA000), 0x5A);
    b.write(0x4000, 0x08);
    EXPECT_EQ(b.read(0xA000), 0x2B);
    b.write(0x4000, 0xFD);  // no register: the write went nowhere
    b.write(0xA000, 0x00);
    EXPECT_EQ(b.read(0xA000), 0xFF);
    EXPECT_EQ(b.ram[3 * 0x2000], 0x5A);
}

// Writing S restarts the second, writing M does not; halted time is never
// counted; any write to 6000-7FFF latches; a clock below the last
// synchronisation (the machine was reset) counts nothing rather than wrapping.
TEST(Mbc3, SubSecondCountHaltLatchAndReset) {
    ClockBoard b;
    b.set(RTC_M, 7, SECOND / 2);
    EXPECT_EQ(b.latch(SECOND - 1)[RTC_S], 0);
    EXPECT_EQ(b.latch(SECOND, 0x7FFF)[RTC_S], 1);
    b.set(RTC_S, 20, SECOND + SECOND / 4);
    EXPECT_EQ(b.latch(2 * SECOND + SECOND / 4 - 1)[RTC_S], 20);
    EXPECT_EQ(b.latch(2 * SECOND + SECOND / 4)[RTC_S], 21);
    b.write(0x1000, 0x00, 9 * SECOND);  // not a latch
    b.write(0x4000, 0x08);
    EXPECT_EQ(b.read(0xA000), 21);

    // Halted a quarter second into a second, for five seconds.
    b.set(RTC_DH, 0x40, 2 * SECOND + SECOND / 2);
    b.set(RTC_S, 30, 3 * SECOND);  // while halted S keeps the part second
    EXPECT_EQ(b.latch(7 * SECOND)[RTC_S], 30);
    b.set(RTC_DH, 0x00, 7 * SECOND + SECOND / 2);
    EXPECT_EQ(b.latch(8 * SECOND + SECOND / 4 - 1)[RTC_S], 30);
    EXPECT_EQ(b.latch(8 * SECOND + SECOND / 4)[RTC_S], 31);

    EXPECT_EQ(b.latch(SECOND / 2), (Clock{31, 7, 0, 0, 0}));
    EXPECT_EQ(b.latch(SECOND + SECOND / 2 - 1)[RTC_S], 31);
    EXPECT_EQ(b.latch(SECOND + SECOND / 2 + SECOND / 4)[RTC_S], 32);
}

}  // namespace
