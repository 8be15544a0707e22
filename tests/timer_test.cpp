#include <gtest/gtest.h>

#include "peripherals_support.h"

// The timer facts the test ROMs leave alone: switching it off while its
// input bit is high, and its clock in CGB double speed.

namespace {

struct TimerMachine : TestMachine {
    TimerMachine(const std::string& model = "dmgB") : TestMachine(RomImage(), model) {}
    GB& g() { return *gb; }
    u8 tima() { return gb->read_byte(REG_TIMA); }
    // DIV reset at a known cycle so that the divider counts from zero.
    void restart_divider() { gb->write_byte(REG_DIV, 0x00); }
};

}  // namespace

// Switching the timer off while the selected divider bit is high is a falling
// edge: TIMA increments (and may overflow) once, then stays put. With the bit
// low nothing happens.
TEST(Timer, SwitchingOffIncrementsOnlyWhileTheInputIsHigh) {
    struct Case {
        int mcycles;  // after the divider restart: 1 leaves bit 3 low, 2 sets it
        u8 tima_before;
        u8 tima_after;
        bool interrupt;
    };
    const Case cases[] = {{2, 0x10, 0x11, false}, {2, 0xFF, 0x77, true}, {1, 0x10, 0x10, false}};
    for (const Case& c : cases) {
        TimerMachine m;
        m.g().write_byte(REG_TMA, 0x77);
        m.restart_divider();
        m.g().write_byte(REG_TAC, 0x05);  // bit 3
        advance_mcycles(m.g(), c.mcycles);
        m.g().write_byte(REG_TIMA, c.tima_before);
        m.g().write_byte(REG_TAC, 0x01);  // off
        EXPECT_EQ(m.tima(), c.tima_after) << c.mcycles << " " << int(c.tima_before);
        EXPECT_EQ(interrupt_requested(m.g(), INT_TIMER), c.interrupt);
        advance_mcycles(m.g(), 20);
        EXPECT_EQ(m.tima(), c.tima_after) << "a disabled timer stays put";
    }
}

TEST(Timer, RunsOnTheCpuClockInDoubleSpeed) {
    TimerMachine m("cgbE");
    m.g().double_speed = true;
    m.restart_divider();
    m.g().write_byte(REG_TAC, 0x05);
    const u64 start_4mhz = m.g().cpu.cycles_4mhz;
    advance_mcycles(m.g(), 4);
    EXPECT_EQ(m.tima(), 1);
    EXPECT_EQ(m.g().cpu.cycles_4mhz - start_4mhz, 8u) << "half the base-clock time has passed";
}
