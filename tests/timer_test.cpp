#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

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

// TIMA reads 00 for one M-cycle after it overflows, then takes TMA and
// requests the interrupt. A TAC write keeping the timer on inside that
// M-cycle, at any rate, leaves the reload where it was.
TEST(Timer, TacWriteInsideTheOverflowKeepsTheReload) {
    for (u8 tac : {0x05, 0x04, 0x06, 0x07}) {
        SCOPED_TRACE(testing::Message() << "TAC " << std::hex << int(tac));
        TimerMachine m;
        m.g().write_byte(REG_TMA, 0x77);
        m.restart_divider();
        m.g().write_byte(REG_TAC, 0x05);
        m.g().write_byte(REG_TIMA, 0xFF);
        m.g().write_byte(REG_IF, 0x00);
        for (int guard = 0; m.tima() != 0x00; ++guard) {
            ASSERT_LT(guard, 20);
            advance_mcycles(m.g(), 1);
        }
        m.g().write_byte(REG_TAC, tac);
        EXPECT_FALSE(interrupt_requested(m.g(), INT_TIMER));
        advance_mcycles(m.g(), 1);
        EXPECT_EQ(m.tima(), 0x77);
        EXPECT_TRUE(interrupt_requested(m.g(), INT_TIMER));
    }
}

TEST(Timer, RunsOnTheCpuClockInDoubleSpeed) {
    TimerMachine m("cgbE");
    m.g().set_double_speed(true);
    m.restart_divider();
    m.g().write_byte(REG_TAC, 0x05);
    const u64 start_4mhz = m.g().cpu.cycles_4mhz;
    advance_mcycles(m.g(), 4);
    EXPECT_EQ(m.tima(), 1);
    EXPECT_EQ(m.g().cpu.cycles_4mhz - start_4mhz, 8u) << "half the base-clock time has passed";
}

// A speed switch that waits resets the divider two M-cycles after STOP, and
// the reset raises TIMA when the selected bit is high. From CGB-D on, TIMA's
// edge detector takes its last look at the divider one M-cycle before the
// reset and counts the reset only if the bit was high then too, so every
// result of CGB-C comes one M-cycle of delay before STOP later. Each program
// restarts the divider, waits `n` NOPs, switches speed (from single speed or
// from double speed) and reads TIMA; the delays sweep across each input bit's
// rise (for bit 9 across count 0x200, where the reset meets the carry into
// DIV's upper byte still on its way).
TEST(Timer, SpeedSwitchResetReachesTimaOneMCycleLaterFromCgbD) {
    constexpr u8 NOP = 0x00, STOP = 0x10;
    const auto tima_after_switch = [&](const char* model, bool from_double, u8 tac, int n) {
        std::vector<u8> program;
        if (from_double) program = {0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00};
        // XOR A; LDH (TAC),A; LDH (TIMA),A; LDH (DIV),A; LD A,tac; LDH (TAC),A
        program.insert(program.end(), {0xAF, 0xE0, 0x07, 0xE0, 0x05, 0xE0, 0x04, 0x3E, tac, 0xE0, 0x07});
        program.insert(program.end(), size_t(n), NOP);
        // LD A,1; LDH (KEY1),A; STOP; LDH A,(TIMA); JR -2
        program.insert(program.end(), {0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00, 0xF0, 0x05, 0x18, 0xFE});
        TestMachine m(RomImage(program).cgb_flag(0x80), model);
        m.gb->write_byte(REG_IF, 0x00);
        m.step(int(program.size()));  // more steps than instructions
        EXPECT_NE(m.gb->double_speed, from_double);
        return m.cpu().a();
    };
    struct Window {
        u8 tac;
        int first, last;  // NOP counts
    };
    for (const Window& w : {Window{0x05, 0, 8}, Window{0x06, 0, 20}, Window{0x07, 12, 28}, Window{0x04, 110, 118}}) {
        for (bool from_double : {false, true}) {
            SCOPED_TRACE(testing::Message() << "TAC " << int(w.tac) << (from_double ? " from double speed" : ""));
            std::vector<u8> c, e;
            for (int n = w.first; n <= w.last; ++n) {
                c.push_back(tima_after_switch("cgbC", from_double, w.tac, n));
                e.push_back(tima_after_switch("cgbE", from_double, w.tac, n));
            }
            EXPECT_NE(std::count(c.begin(), c.end(), c.front()), std::ptrdiff_t(c.size())) << "the window holds a rise";
            EXPECT_NE(c, e);
            c.pop_back();
            e.erase(e.begin());
            EXPECT_EQ(e, c);
        }
    }
}
