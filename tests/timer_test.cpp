#include <gtest/gtest.h>

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

// A speed switch resets the divider two M-cycles after STOP, and the reset
// raises TIMA when it drops the selected bit. The divider is a ripple
// counter, and the reset comes before a carry made in its cycle has climbed
// past the low byte (CGB-C) or the low nibble (CGB-E): a bit that carry
// raises is not high yet, a bit it drops has given its edge already, and a
// bit high on both sides of it is dropped by the reset. Each program follows
// the ROM's own sequence: restart the divider, start the timer, wait `before`
// NOPs, switch speed (from single speed or from double speed), wait `after`
// NOPs and read TIMA. The reset meets the divider at 4 * (18 + before).
TEST(Timer, SpeedSwitchResetMeetsOnlyTheSettledDividerBits) {
    constexpr u8 NOP = 0x00, STOP = 0x10;
    const auto tima_after_switch = [&](const char* model, bool from_double, u8 tac, int before, int after) {
        std::vector<u8> program;
        if (from_double) program = {0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00};
        // XOR A; LDH (TAC),A; LDH (TIMA),A; LDH (IF),A; LDH (DIV),A; LD A,tac; LDH (TAC),A
        program.insert(program.end(), {0xAF, 0xE0, 0x07, 0xE0, 0x05, 0xE0, 0x0F, 0xE0, 0x04, 0x3E, tac, 0xE0, 0x07});
        program.insert(program.end(), size_t(before), NOP);
        // LD A,$30; LDH (P1),A; LD A,1; LDH (KEY1),A; STOP
        program.insert(program.end(), {0x3E, 0x30, 0xE0, 0x00, 0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00});
        program.insert(program.end(), size_t(after), NOP);
        // LDH A,(TIMA); JR -2
        program.insert(program.end(), {0xF0, 0x05, 0x18, 0xFE});
        // JP $0150, past the header
        TestMachine m(RomImage({0xC3, 0x50, 0x01}).place(0x0150, program).cgb_flag(0x80), model);
        m.step(int(program.size()));  // more steps than instructions
        EXPECT_NE(m.gb->double_speed, from_double);
        return m.cpu().a();
    };
    struct Case {
        u8 tac;
        int before, after;
        u8 cgb_c, cgb_e;  // TIMA read
        const char* divider_at_reset;
    };
    const Case cases[] = {
        // Rows of the speed-switch TIMA ROMs, as CGB-C and CGB-E gave them.
        {0x05, 3, 0, 0x04, 0x04, "0x54, bit 3 low"},
        {0x05, 4, 0, 0x05, 0x05, "0x58, bit 3 raised within the low nibble"},
        {0x06, 5, 12, 0x01, 0x01, "0x5C, bit 5 low"},
        {0x06, 6, 12, 0x02, 0x01, "0x60, bit 5 raised by a carry out of the low nibble"},
        {0x06, 7, 12, 0x02, 0x02, "0x64, bit 5 high"},
        {0x07, 13, 60, 0x00, 0x00, "0x7C, bit 7 low"},
        {0x07, 14, 60, 0x01, 0x00, "0x80, bit 7 raised by a carry out of the low nibble"},
        {0x07, 15, 60, 0x01, 0x01, "0x84, bit 7 high"},
        {0x04, 110, 252, 0x80, 0x80, "0x200, bit 9 raised by a carry out of the low byte"},
        {0x04, 111, 252, 0x81, 0x81, "0x204, bit 9 high"},
        {0x04, 237, 252, 0x81, 0x81, "0x3FC, bit 9 high"},
        {0x04, 238, 252, 0x81, 0x81, "0x400, bit 9 dropped by a carry out of the low byte"},
        // The same carries passing a bit that stays high.
        {0x06, 10, 12, 0x02, 0x02, "0x70, bit 5 high while the carry raises bit 4"},
        {0x07, 30, 60, 0x01, 0x01, "0xC0, bit 7 high while the carry raises bit 6"},
        {0x04, 174, 252, 0x81, 0x81, "0x300, bit 9 high while the carry raises bit 8"},
        // Carries dropping the selected bit: its edge counts once.
        {0x06, 14, 12, 0x02, 0x02, "0x80, bit 5 dropped by a carry out of the low nibble"},
        {0x07, 46, 60, 0x01, 0x01, "0x100, bit 7 dropped by a carry out of the low byte"},
    };
    for (const Case& c : cases) {
        for (bool from_double : {false, true}) {
            SCOPED_TRACE(testing::Message() << "divider " << c.divider_at_reset << (from_double ? ", from double speed" : ""));
            EXPECT_EQ(tima_after_switch("cgbC", from_double, c.tac, c.before, c.after), c.cgb_c);
            EXPECT_EQ(tima_after_switch("cgbE", from_double, c.tac, c.before, c.after), c.cgb_e);
        }
    }
}
