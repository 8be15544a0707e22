#include <gtest/gtest.h>

#include <array>
#include <vector>

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

// The select register is four bits wide, whatever the byte written: 0-3
// reach the RAM through two bank lines, 8-12 the clock, and 4-7 and 13-15
// nothing, where reads see open bus and writes are lost. Each row walks every
// select value 0x00-0xFF, as a hardware test does: once reading A123, once
// writing the select value there (the last write for each low nibble n is
// that of 0xF0 + n), and, after a latch, once more reading.
TEST(Mbc3, SelectRegisterDecodesFourBits) {
    constexpr int FF = 0xFF;
    using BySelect = std::array<int, 16>;  // A123 by select value 0-15
    struct Row {
        const char* what;
        u8 type;
        int ram_size;
        BySelect before, after;
        int bytes_changed;  // RAM bytes the walk changed
    };
    const Row rows[] = {
        {"clock, 32 KiB", 0x10, 32 * KiB,
         {0x80, 0x81, 0x82, 0x83, FF, FF, FF, FF, 0, 0, 0, 0, 0, FF, FF, FF},
         {0xF0, 0xF1, 0xF2, 0xF3, FF, FF, FF, FF, 0x38, 0x39, 0x1A, 0xFB, 0xC0, FF, FF, FF}, 4},
        {"clock, 128 KiB: only banks 0-3 reachable", 0x10, 128 * KiB,
         {0x80, 0x81, 0x82, 0x83, FF, FF, FF, FF, 0, 0, 0, 0, 0, FF, FF, FF},
         {0xF0, 0xF1, 0xF2, 0xF3, FF, FF, FF, FF, 0x38, 0x39, 0x1A, 0xFB, 0xC0, FF, FF, FF}, 4},
        {"clock, no RAM", 0x0F, 0,
         {FF, FF, FF, FF, FF, FF, FF, FF, 0, 0, 0, 0, 0, FF, FF, FF},
         {FF, FF, FF, FF, FF, FF, FF, FF, 0x38, 0x39, 0x1A, 0xFB, 0xC0, FF, FF, FF}, 0},
        {"no clock, 32 KiB", 0x13, 32 * KiB,
         {0x80, 0x81, 0x82, 0x83, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF},
         {0xF0, 0xF1, 0xF2, 0xF3, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF}, 4},
        {"no clock, 8 KiB: one bank behind 0-3", 0x13, 8 * KiB,
         {0x80, 0x80, 0x80, 0x80, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF},
         {0xF3, 0xF3, 0xF3, 0xF3, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF}, 1},
        {"no clock, 2 KiB", 0x13, 2 * KiB,
         {0x80, 0x80, 0x80, 0x80, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF},
         {0xF3, 0xF3, 0xF3, 0xF3, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF, FF}, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Board<MBC3> b(64 * KiB, r.ram_size, r.type);
        const std::vector<u8> untouched = b.ram;
        b.write(0x0000, 0x0A);
        for (int select = 0; select < 256; ++select) {
            b.write(0x4000, u8(select));
            EXPECT_EQ(b.read(0xA123), r.before[size_t(select & 15)]) << "select " << select;
        }
        for (int select = 0; select < 256; ++select) {
            b.write(0x4000, u8(select));
            b.write(0xA123, u8(select));
        }
        b.write(0x6000, 0x01);
        for (int select = 0; select < 256; ++select) {
            b.write(0x4000, u8(select));
            EXPECT_EQ(b.read(0xA123), r.after[size_t(select & 15)]) << "select " << select;
        }
        int changed = 0;
        for (size_t i = 0; i < b.ram.size(); ++i) changed += b.ram[i] != untouched[i];
        EXPECT_EQ(changed, r.bytes_changed);
    }
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
