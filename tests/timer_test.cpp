#include <gtest/gtest.h>

#include "peripherals_support.h"

namespace {

struct TimerMachine : TestMachine {
    TimerMachine(const std::string& model = "dmgB") : TestMachine(RomImage(), model) {}
    GB& g() { return *gb; }
    u8 tima() { return gb->read_byte(REG_TIMA); }
    // DIV reset at a known cycle so that the divider counts from zero.
    void restart_divider() { gb->write_byte(REG_DIV, 0x00); }
};

}  // namespace

TEST(Timer, DivAfterStartupFollowsTheBootProgramLength) {
    // The divider is 4 ahead of the CPU clock at power-on, and the boot
    // program runs for a model-specific time: DIV reads what it left.
    struct Case {
        const char* model;
        u8 div;
    };
    const Case cases[] = {{"dmgB", 0xAB}, {"mgb", 0xAB}, {"dmg0", u8(((24844328 + 4) >> 8) & 0xFF)}};
    for (const Case& c : cases) {
        TimerMachine m(c.model);
        EXPECT_EQ(m.g().read_byte(REG_DIV), c.div) << c.model;
    }
}

TEST(Timer, DivCountsEvery256CpuCyclesAndRestartsOnWrite) {
    TimerMachine m;
    m.restart_divider();
    advance_mcycles(m.g(), 63);  // 252 cycles
    EXPECT_EQ(m.g().read_byte(REG_DIV), 0x00);
    advance_mcycles(m.g(), 1);  // 256
    EXPECT_EQ(m.g().read_byte(REG_DIV), 0x01);
    m.g().write_byte(REG_DIV, 0x5A);  // any value resets it
    EXPECT_EQ(m.g().read_byte(REG_DIV), 0x00);
}

TEST(Timer, TacReadsWithUnusedBitsSet) {
    TimerMachine m;
    const u8 written[] = {0x00, 0x05, 0x07, 0xFF, 0x03};
    for (u8 v : written) {
        m.g().write_byte(REG_TAC, v);
        EXPECT_EQ(m.g().read_byte(REG_TAC), u8(v | 0xF8));
    }
    TimerMachine fresh;
    EXPECT_EQ(fresh.g().read_byte(REG_TAC), 0xF8);
}

TEST(Timer, TimaIncrementsAtTheSelectedRate) {
    struct Case {
        u8 tac;
        int period;  // CPU cycles per increment
    };
    const Case cases[] = {{0x04, 1024}, {0x05, 16}, {0x06, 64}, {0x07, 256}};
    for (const Case& c : cases) {
        TimerMachine m;
        m.g().write_byte(REG_TIMA, 0x00);
        m.restart_divider();
        m.g().write_byte(REG_TAC, c.tac);
        const int mcycles_per_increment = c.period / 4;
        advance_mcycles(m.g(), mcycles_per_increment - 1);
        EXPECT_EQ(m.tima(), 0) << "tac " << int(c.tac);
        advance_mcycles(m.g(), 1);
        EXPECT_EQ(m.tima(), 1) << "tac " << int(c.tac);
        advance_mcycles(m.g(), 3 * mcycles_per_increment);
        EXPECT_EQ(m.tima(), 4) << "tac " << int(c.tac);
    }
}

TEST(Timer, EnablingWithTheInputHighMakesNoEdge) {
    TimerMachine m;
    m.restart_divider();
    advance_mcycles(m.g(), 2);  // counter 8: bit 3 high
    m.g().write_byte(REG_TAC, 0x05);
    EXPECT_EQ(m.tima(), 0);
    advance_mcycles(m.g(), 2);  // bit 3 falls at 16
    EXPECT_EQ(m.tima(), 1);
}

TEST(Timer, DisabledTimerDoesNotCount) {
    TimerMachine m;
    m.g().write_byte(REG_TAC, 0x01);  // fast rate selected, but disabled
    m.restart_divider();
    advance_mcycles(m.g(), 100);
    EXPECT_EQ(m.tima(), 0);
}

TEST(Timer, OverflowShowsZeroForOneMcycleThenReloadsAndInterrupts) {
    TimerMachine m;
    m.g().write_byte(REG_TMA, 0x80);
    m.g().write_byte(REG_TIMA, 0xFF);
    m.restart_divider();
    m.g().write_byte(REG_TAC, 0x05);
    advance_mcycles(m.g(), 4);  // the wrapping edge, 16 cycles after the restart
    EXPECT_EQ(m.tima(), 0x00);
    EXPECT_FALSE(interrupt_requested(m.g(), INT_TIMER));
    advance_mcycles(m.g(), 1);
    EXPECT_EQ(m.tima(), 0x80);
    EXPECT_TRUE(interrupt_requested(m.g(), INT_TIMER));
}

TEST(Timer, WritesInsideTheOverflowWindow) {
    // What a write right after the wrap does to the reload.
    struct Case {
        const char* what;
        u16 reg;
        u8 value;
        int mcycles_after_wrap;  // 0: before the reload, 1: in the reload M-cycle's aftermath
        u8 tima_after;
        bool interrupt;
    };
    const Case cases[] = {
        {"non-zero TIMA before reload cancels it", REG_TIMA, 0x12, 0, 0x12, false},
        {"zero TIMA before reload cancels nothing", REG_TIMA, 0x00, 0, 0x80, true},
        {"TMA before reload is what gets loaded", REG_TMA, 0x33, 0, 0x33, true},
        {"TIMA after reload is overwritten by TMA", REG_TIMA, 0x44, 1, 0x80, true},
        {"TMA after reload still reaches TIMA", REG_TMA, 0x55, 1, 0x55, true},
    };
    for (const Case& c : cases) {
        TimerMachine m;
        m.g().write_byte(REG_TMA, 0x80);
        m.g().write_byte(REG_TIMA, 0xFF);
        m.restart_divider();
        m.g().write_byte(REG_TAC, 0x05);
        advance_mcycles(m.g(), 4 + c.mcycles_after_wrap);
        m.g().write_byte(c.reg, c.value);
        advance_mcycles(m.g(), 2);
        EXPECT_EQ(m.tima(), c.tima_after) << c.what;
        EXPECT_EQ(interrupt_requested(m.g(), INT_TIMER), c.interrupt) << c.what;
    }
}

TEST(Timer, DivWriteWhileInputBitHighIsAFallingEdge) {
    TimerMachine m;
    m.restart_divider();
    m.g().write_byte(REG_TAC, 0x04);  // bit 9
    advance_mcycles(m.g(), 0x200 / 4);  // counter bit 9 now set
    EXPECT_EQ(m.tima(), 0);
    m.g().write_byte(REG_DIV, 0);
    EXPECT_EQ(m.tima(), 0);
    advance_mcycles(m.g(), 1);
    EXPECT_EQ(m.tima(), 1);
    // The next increment is a whole period after the reset.
    advance_mcycles(m.g(), 1024 / 4 - 2);
    EXPECT_EQ(m.tima(), 1);
    advance_mcycles(m.g(), 1);
    EXPECT_EQ(m.tima(), 2);
}

TEST(Timer, DivWriteWhileInputBitLowDelaysTheNextIncrement) {
    TimerMachine m;
    m.restart_divider();
    m.g().write_byte(REG_TAC, 0x04);
    advance_mcycles(m.g(), 0x100 / 4);  // bit 9 still clear, halfway to the edge
    m.g().write_byte(REG_DIV, 0);
    advance_mcycles(m.g(), 1024 / 4 - 1);
    EXPECT_EQ(m.tima(), 0);
    advance_mcycles(m.g(), 1);
    EXPECT_EQ(m.tima(), 1);
}

TEST(Timer, SwitchingOffWhileInputHighIncrements) {
    struct Case {
        u8 tima_before;
        u8 tima_after;
        bool interrupt;
    };
    const Case cases[] = {{0x10, 0x11, false}, {0xFF, 0x77, true}};
    for (const Case& c : cases) {
        TimerMachine m;
        m.g().write_byte(REG_TMA, 0x77);
        m.restart_divider();
        m.g().write_byte(REG_TAC, 0x05);  // bit 3
        advance_mcycles(m.g(), 2);  // counter 8: bit 3 high
        m.g().write_byte(REG_TIMA, c.tima_before);
        m.g().write_byte(REG_TAC, 0x01);  // off
        EXPECT_EQ(m.tima(), c.tima_after);
        EXPECT_EQ(interrupt_requested(m.g(), INT_TIMER), c.interrupt);
        advance_mcycles(m.g(), 20);
        EXPECT_EQ(m.tima(), c.tima_after) << "a disabled timer stays put";
    }
}

TEST(Timer, SwitchingOffWhileInputLowDoesNotIncrement) {
    TimerMachine m;
    m.restart_divider();
    m.g().write_byte(REG_TAC, 0x05);
    advance_mcycles(m.g(), 1);  // counter 4: bit 3 low
    m.g().write_byte(REG_TAC, 0x00);
    EXPECT_EQ(m.tima(), 0);
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

TEST(Timer, BitResetCycleLiesOneToTwoPeriodsAhead) {
    TimerMachine m;
    m.restart_divider();
    const u64 now = m.g().cpu.cpu_cycles;
    EXPECT_EQ(m.g().timer.get_bit_reset_cycle(0x1000), now + 0x2000);
    advance_mcycles(m.g(), 1);
    EXPECT_EQ(m.g().timer.get_bit_reset_cycle(0x1000), now + 0x2000);
    EXPECT_EQ(m.g().timer.get_bit_reset_cycle(0x0008), now + 16);
}
