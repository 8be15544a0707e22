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
