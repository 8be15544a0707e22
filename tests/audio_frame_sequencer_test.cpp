// The 512 Hz frame sequencer, counted from the falls of the divider's bit
// 12, where the sound test ROMs do not reach: power-on with that bit high,
// the extra length clock on the CGB revisions without a passing test ROM,
// the unpowered sequencer and double speed.
#include <gtest/gtest.h>

#include <utility>

#include "audio_support.h"

namespace {

void start_channel(AudioMachine& m, const ChannelRegs& ch, int length, bool enable_length) {
    m.w(ch.volume, ch.dac_on);
    m.w(ch.length, ch.length_value(length));
    m.w(ch.control, enable_length ? 0xC0 : 0x80);
}

}  // namespace

TEST(FrameSequencer, PowerOnWithTheDividerBitHighSwallowsTheFirstFall) {
    struct Case {
        u64 divider_at_power_on;  // cycles since the divider restarted
        u64 first_step;           // cycles since the divider restarted
    };
    // Bit 12 is high from 4096 to 8191: its fall at 8192 is not a step then,
    // and since that fall clocks no length, enabling length at the trigger
    // clocks it once (2 -> 1). Otherwise the falls at SEQ_STEP and
    // 3 * SEQ_STEP take a length of 2 to 0.
    const Case cases[] = {{0, 3 * SEQ_STEP}, {4092, 3 * SEQ_STEP}, {4096, 2 * SEQ_STEP}, {8188, 2 * SEQ_STEP}};
    for (const Case& c : cases) {
        AudioMachine m;
        m.w(REG_DIV, 0);
        const u64 restart = m.now();
        m.w(NR52, 0x00);
        m.run(c.divider_at_power_on / 4);
        m.w(NR52, 0x80);
        start_channel(m, ALL_CHANNELS[0], 2, true);
        m.run_to(restart + c.first_step - 4);
        EXPECT_TRUE(m.playing(1)) << "power-on at " << c.divider_at_power_on;
        m.run_to(restart + c.first_step);
        EXPECT_FALSE(m.playing(1)) << "power-on at " << c.divider_at_power_on;
    }
}

// An NRx4 write that leaves length disabled, right after a length step,
// clocks the counter on the earliest CGB revisions only. The DMG, "cgbB" and
// "cgbE" are checked by the test ROMs.
TEST(FrameSequencer, NrX4WriteAfterALengthStepClocksOnlyOnEarlyCgb) {
    for (const auto& [model, stops] : {std::pair{"cgb0", true}, std::pair{"cgbC", false}}) {
        for (const ChannelRegs& ch : ALL_CHANNELS) {
            AudioMachine m(model);
            const u64 start = m.power_cycle();
            start_channel(m, ch, 1, false);
            m.run_to(start + SEQ_STEP + 4);
            m.w(ch.control, 0x00);
            EXPECT_EQ(m.playing(ch.number), !stops) << model << " channel " << ch.number;
        }
    }
}

TEST(FrameSequencer, UnpoweredSequencerStaysUnscheduled) {
    AudioMachine m;
    m.power_cycle();
    m.w(NR52, 0x00);
    m.run(2 * SEQ_STEP / 4);
    EXPECT_EQ(m.gb.cpu.next_frame_seq_cycle, NEVER);
    m.w(NR52, 0x80);
    EXPECT_NE(m.gb.cpu.next_frame_seq_cycle, NEVER);
}

TEST(FrameSequencer, DoubleSpeedKeeps512HzInRealTime) {
    // In CGB double speed the CPU clock runs twice as fast and the sequencer
    // follows divider bit 13: a step every 16384 CPU cycles, 8192 cycles of
    // the 4 MHz clock, as at normal speed.
    for (bool double_speed : {false, true}) {
        AudioMachine m("cgbE", RomImage({0x10, 0x00}).cgb_flag(0x80));  // STOP
        if (double_speed) {
            m.w(REG_KEY1, 0x01);  // the STOP switches speed
            m.tm.step(1);
            ASSERT_TRUE(m.gb.double_speed);
        }
        const u64 start = m.power_cycle();
        const u64 start_4mhz = m.gb.cpu.cycles_4mhz;
        start_channel(m, ALL_CHANNELS[0], 1, true);
        const u64 step = double_speed ? 2 * SEQ_STEP : SEQ_STEP;
        m.run_to(start + step - 4);
        EXPECT_TRUE(m.playing(1)) << (double_speed ? "double speed" : "normal speed");
        m.run_to(start + step);
        EXPECT_FALSE(m.playing(1)) << (double_speed ? "double speed" : "normal speed");
        EXPECT_EQ(m.gb.cpu.cycles_4mhz - start_4mhz, SEQ_STEP);
    }
}

namespace {

constexpr u8 STOP_OP = 0x10;

// A CGB machine whose program is a row of STOP 00: each step() with KEY1
// armed is one speed switch.
AudioMachine switching_machine() {
    return AudioMachine("cgbE", RomImage({STOP_OP, 0x00, STOP_OP, 0x00, STOP_OP, 0x00}).cgb_flag(0x80));
}

void switch_speed(AudioMachine& m) {
    m.w(REG_KEY1, 0x01);
    m.tm.step(1);
}

// Restarts the divider at double speed so that the next step, 2 * SEQ_STEP
// later, clocks the lengths; returns the cycle of the restart.
u64 restart_before_a_length_step(AudioMachine& m) {
    m.run(1);  // a step still on its way from the switch's last edge lands
    m.w(REG_DIV, 0);
    if ((m.audio().frame_seq_step & 1) == 0) {
        m.run(2 * SEQ_STEP / 4 + 1);
        m.w(REG_DIV, 0);
    }
    return m.now();
}

}  // namespace

// The switch resets the divider two M-cycles after the STOP fetch, before the
// clock changes: the sequencer still watches the old speed's bit (12 at
// normal speed, 13 at double speed), and the reset is a step when that bit is
// high. A carry made in the reset's cycle has not yet climbed into the upper
// byte: a reset on the cycle that would raise the bit finds it low, and one
// whose carry only passes below a high bit finds that bit high. The switch's
// own wait is a whole number of sequencer rounds (8 or 16 steps).
TEST(FrameSequencer, SpeedSwitchResetStepsOnTheOldSpeedsBit) {
    struct Case {
        bool from_double;
        u16 divider_at_reset;
        bool steps;
    };
    const Case cases[] = {
        {false, 0x0FFC, false},  // bit 12 low
        {false, 0x1000, false},  // bit 12 about to rise
        {false, 0x1004, true},   // bit 12 high, bit 13 low
        {false, 0x2FFC, false},  // bit 13 high, bit 12 low
        {false, 0x1100, true},   // bit 12 high while a carry raises bit 8
        {true, 0x1FFC, false},   // bit 12 high, bit 13 low
        {true, 0x2000, false},   // bit 13 about to rise
        {true, 0x2004, true},    // bit 13 high, bit 12 low
        {true, 0x2100, true},    // bit 13 high while a carry raises bit 8
    };
    for (const Case& c : cases) {
        AudioMachine m = switching_machine();
        if (c.from_double) switch_speed(m);
        ASSERT_EQ(m.gb.double_speed, c.from_double);
        m.power_cycle();
        // The reset comes 12 CPU cycles after the STOP begins, at either speed.
        m.run((c.divider_at_reset - 12) / 4);
        const int before = m.audio().frame_seq_step;
        switch_speed(m);
        ASSERT_NE(m.gb.double_speed, c.from_double);
        // The step of the wait's last edge may land one M-cycle after it.
        m.run(1);
        EXPECT_EQ(m.audio().frame_seq_step, (before + (c.steps ? 1 : 0)) & 7)
            << (c.from_double ? "double to normal" : "normal to double") << ", divider at reset "
            << c.divider_at_reset;
    }
}

// At double speed the sequencer takes a divider edge at the sound unit's next
// 2 MHz tick. Powered on at double speed the ticks fall on the CPU's M-cycle
// boundaries, where the divider edges fall; powered on at normal speed and
// switched up, they fall half an M-cycle off, and every step comes two CPU
// cycles after its edge.
TEST(FrameSequencer, DoubleSpeedStepsLagTheEdgeWhenPoweredOnAtNormalSpeed) {
    struct Case {
        const char* name;
        bool power_on_at_double_speed;
        u64 step_delay;  // CPU cycles from the divider edge to the step
    };
    const Case cases[] = {
        {"powered on before the switch", false, 2},
        {"powered on after the switch", true, 0},
    };
    for (const Case& c : cases) {
        AudioMachine m = switching_machine();
        if (!c.power_on_at_double_speed) m.power_cycle();
        switch_speed(m);
        ASSERT_TRUE(m.gb.double_speed);
        if (c.power_on_at_double_speed) m.power_cycle();
        const u64 restart = restart_before_a_length_step(m);
        // Length 1, enabled: the next step stops the channel.
        start_channel(m, ALL_CHANNELS[1], 1, true);
        const u64 edge = restart + 2 * SEQ_STEP;
        m.run_to(edge - 4);
        ASSERT_TRUE(m.playing(2)) << c.name;
        m.run_to(edge);
        EXPECT_EQ(m.playing(2), c.step_delay != 0) << c.name;
        m.run_to(edge + 4);
        EXPECT_FALSE(m.playing(2)) << c.name;
    }
}

// With the lag in effect, a DIV write while bit 13 is high is an edge whose
// step also comes two CPU cycles later; and a DIV write on the very cycle of
// an edge does not cancel the step already on its way.
TEST(FrameSequencer, LaggedDoubleSpeedStepsSurviveDivWrites) {
    struct Case {
        const char* name;
        u64 write_at;  // CPU cycles after the divider restart
    };
    const Case cases[] = {
        {"write with bit 13 high", 2 * SEQ_STEP - 8},
        {"write on the edge", 2 * SEQ_STEP},
    };
    for (const Case& c : cases) {
        AudioMachine m = switching_machine();
        m.power_cycle();
        switch_speed(m);
        ASSERT_TRUE(m.gb.double_speed);
        const u64 restart = restart_before_a_length_step(m);
        start_channel(m, ALL_CHANNELS[1], 1, true);
        m.run_to(restart + c.write_at);
        m.w(REG_DIV, 0);
        EXPECT_TRUE(m.playing(2)) << c.name;
        m.run(1);
        EXPECT_FALSE(m.playing(2)) << c.name;
    }
}
