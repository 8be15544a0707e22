#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "peripherals_support.h"
#include "temp_dir.h"

namespace {
struct SerialMachine : TestMachine {
    SerialMachine() : TestMachine(RomImage()) {
        // Put the clocks at a known place; nothing else is scheduled before it.
        set_clocks(*gb, 996);
        gb->cpu.recompute_next_cpu_event();
        gb->cpu.recompute_next_4mhz_event();
        gb->cpu.tick();  // cycle 1000
    }
    GB& g() { return *gb; }
    void run_to_cycle(u64 cycle) {
        while (gb->cpu.cpu_cycles < cycle) gb->cpu.tick();
    }
};
}  // namespace

TEST(Serial, InternalClockShiftsOnFixedBoundariesOfTheClock) {
    SerialMachine m;
    ASSERT_EQ(m.g().cpu.cpu_cycles, 1000u);
    m.g().write_byte(REG_SB, 0x55);
    m.g().write_byte(REG_SC, 0x81);
    EXPECT_EQ(m.g().read_byte(REG_SC), 0xFF);
    // Bit k moves at 512k + 508: the first comes 20 cycles after the start.
    const u64 bit_cycles[] = {1020, 1532, 2044, 2556, 3068, 3580, 4092, 4604};
    u8 expected = 0x55;
    for (u64 at : bit_cycles) {
        m.run_to_cycle(at - 4);
        EXPECT_EQ(m.g().read_byte(REG_SB), expected) << "before " << at;
        m.run_to_cycle(at);
        expected = u8((expected << 1) | 1);  // no partner: ones shift in
        EXPECT_EQ(m.g().read_byte(REG_SB), expected) << "at " << at;
    }
    EXPECT_EQ(m.g().read_byte(REG_SB), 0xFF);
    EXPECT_EQ(m.g().read_byte(REG_SC), 0x7F);
    EXPECT_TRUE(interrupt_requested(m.g(), INT_SERIAL));
}

TEST(Serial, StartOnABoundaryWaitsForTheNextOne) {
    SerialMachine m;
    m.run_to_cycle(1020);
    m.g().write_byte(REG_SB, 0x00);
    m.g().write_byte(REG_SC, 0x81);
    m.run_to_cycle(1528);
    EXPECT_EQ(m.g().read_byte(REG_SB), 0x00);
    m.run_to_cycle(1532);
    EXPECT_EQ(m.g().read_byte(REG_SB), 0x01);
}

TEST(Serial, ExternalClockNeverShifts) {
    SerialMachine m;
    m.g().write_byte(REG_SB, 0x42);
    m.g().write_byte(REG_SC, 0x80);
    m.run_to_cycle(20000);
    EXPECT_EQ(m.g().read_byte(REG_SB), 0x42);
    EXPECT_EQ(m.g().read_byte(REG_SC), 0xFE);
    EXPECT_FALSE(interrupt_requested(m.g(), INT_SERIAL));
}

TEST(Serial, ClearingTheStartBitDoesNotStopATransfer) {
    SerialMachine m;
    m.g().write_byte(REG_SC, 0x81);
    m.run_to_cycle(1532);
    m.g().write_byte(REG_SC, 0x01);
    EXPECT_EQ(m.g().read_byte(REG_SC), 0x7F);
    m.run_to_cycle(4604);
    EXPECT_TRUE(interrupt_requested(m.g(), INT_SERIAL));
    EXPECT_EQ(m.g().read_byte(REG_SB), 0xFF);
}

TEST(Serial, SwitchingToExternalClockPausesMidTransfer) {
    SerialMachine m;
    m.g().write_byte(REG_SB, 0x00);
    m.g().write_byte(REG_SC, 0x81);
    m.run_to_cycle(1532);  // two bits in
    m.g().write_byte(REG_SC, 0x00);  // external clock, start bit clear: no restart
    m.run_to_cycle(10000);
    EXPECT_EQ(m.g().read_byte(REG_SB), 0x03);
    EXPECT_FALSE(interrupt_requested(m.g(), INT_SERIAL));
    m.g().write_byte(REG_SC, 0x01);  // internal clock again, no restart: the six bits left go on
    m.run_to_cycle(10000 + 6 * 512);
    EXPECT_TRUE(interrupt_requested(m.g(), INT_SERIAL));
}

// The log holds the bytes of this run's transfers, in the order they were
// started, and nothing of an older log in the working directory.
TEST(Serial, LogHoldsThisRunsBytesOnly) {
    TempDir dir;
    dir.file("serial-log.bin", std::vector<u8>(64, 0xEE));
    const auto old_directory = std::filesystem::current_path();
    std::filesystem::current_path(dir.root());
    SerialMachine m;
    for (u8 byte : {0x41, 0x00, 0xFF}) {
        m.g().write_byte(REG_SB, byte);
        m.g().write_byte(REG_SC, 0x80);  // external clock: started, never shifted
    }
    m.g().serial.write_log();
    std::filesystem::current_path(old_directory);
    std::ifstream in(dir.path("serial-log.bin"), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, std::string("\x41\x00\xFF", 3));
}
