// The 512 Hz frame sequencer: length counters at 256 Hz on steps 0, 2, 4, 6,
// the sweep at 128 Hz on steps 2 and 6, the envelopes at 64 Hz on step 7,
// all counted from the falls of the divider's bit 12.
#include <gtest/gtest.h>

#include <algorithm>

#include "audio_support.h"

namespace {

// The highest level channel 1 shows in PCM12 over one whole duty cycle. At
// frequency 2047 the duty position moves every 4 cycles, so eight M-cycles
// see every position.
int peak_level_channel1(AudioMachine& m) {
    int peak = 0;
    for (int i = 0; i < 8; ++i) {
        peak = std::max(peak, m.r(PCM12) & 0x0F);
        m.run(1);
    }
    return peak;
}

void start_channel(AudioMachine& m, const ChannelRegs& ch, int length, bool enable_length) {
    m.w(ch.volume, ch.dac_on);
    m.w(ch.length, ch.length_value(length));
    m.w(ch.control, enable_length ? 0xC0 : 0x80);
}

}  // namespace

TEST(FrameSequencer, LengthCountersStepAt256HzFromTheDividerFall) {
    // A length of n stops the channel at the n-th length step (steps 0, 2, 4,
    // 6, ...: the first SEQ_STEP after the power cycle, then every 16384
    // cycles); the longest lengths are 64 and 256 steps.
    for (const char* model : {"dmgB", "cgbE"}) {
        for (const ChannelRegs& ch : ALL_CHANNELS) {
            for (int length : {4, ch.max_length}) {
                AudioMachine m(model);
                const u64 start = m.power_cycle();
                start_channel(m, ch, length, true);
                const u64 last_step = start + SEQ_STEP + u64(length - 1) * 2 * SEQ_STEP;
                m.run_to(last_step - 4);
                EXPECT_TRUE(m.playing(ch.number)) << model << " channel " << ch.number << " length " << length;
                m.run_to(last_step);
                EXPECT_FALSE(m.playing(ch.number)) << model << " channel " << ch.number << " length " << length;
            }
        }
    }
}

TEST(FrameSequencer, LengthDisabledNeverStops) {
    AudioMachine m;
    m.power_cycle();
    for (const ChannelRegs& ch : ALL_CHANNELS) start_channel(m, ch, 1, false);
    m.run(20 * SEQ_STEP / 4);
    EXPECT_EQ(m.r(NR52) & 0x0F, 0x0F);
}

TEST(FrameSequencer, PowerOnWithTheDividerBitHighSwallowsTheFirstFall) {
    struct Case {
        u64 divider_at_power_on;  // cycles since the divider restarted
        u64 first_step;           // cycles since the divider restarted
    };
    // Bit 12 is high from 4096 to 8191: its fall at 8192 is not a step then.
    const Case cases[] = {{0, SEQ_STEP}, {4092, SEQ_STEP}, {4096, 2 * SEQ_STEP}, {8188, 2 * SEQ_STEP}};
    for (const Case& c : cases) {
        AudioMachine m;
        m.w(REG_DIV, 0);
        const u64 restart = m.now();
        m.w(NR52, 0x00);
        m.run(c.divider_at_power_on / 4);
        m.w(NR52, 0x80);
        start_channel(m, ALL_CHANNELS[0], 1, true);
        m.run_to(restart + c.first_step - 4);
        EXPECT_TRUE(m.playing(1)) << "power-on at " << c.divider_at_power_on;
        m.run_to(restart + c.first_step);
        EXPECT_FALSE(m.playing(1)) << "power-on at " << c.divider_at_power_on;
    }
}

TEST(FrameSequencer, DivWriteWithBit12HighIsAStep) {
    struct Case {
        u64 write_at;  // cycles after the power cycle
        bool steps;
    };
    const Case cases[] = {{4092, false}, {4096, true}, {8188, true}};
    for (const Case& c : cases) {
        AudioMachine m;
        const u64 start = m.power_cycle();
        start_channel(m, ALL_CHANNELS[1], 1, true);
        m.run_to(start + c.write_at);
        m.w(REG_DIV, 0);
        EXPECT_EQ(m.playing(2), !c.steps) << "DIV written at " << c.write_at;
        if (!c.steps) {
            // The restarted divider puts the step 8192 cycles after the write.
            const u64 written = m.now();
            m.run_to(written + SEQ_STEP - 4);
            EXPECT_TRUE(m.playing(2));
            m.run_to(written + SEQ_STEP);
            EXPECT_FALSE(m.playing(2));
        }
    }
}

TEST(FrameSequencer, EnablingLengthAfterALengthStepClocksItOnce) {
    struct Case {
        const char* model;
        u64 write_at;  // cycles after the power cycle
        u8 nr14;       // written to the playing channel with length 1
        bool stops;
    };
    const Case cases[] = {
        // After step 7 (odd) the next step clocks lengths: nothing extra.
        {"dmgB", 4, 0x40, false},
        // After step 0 the next step does not: enabling clocks the counter now.
        {"cgbE", SEQ_STEP + 4, 0x40, true},
        // Leaving length disabled clocks nothing, except on the early CGB
        // revisions, which clock on any NRx4 write there.
        {"cgbE", SEQ_STEP + 4, 0x00, false},
        {"cgbB", SEQ_STEP + 4, 0x00, true},
        {"cgb0", SEQ_STEP + 4, 0x00, true},
        {"cgbC", SEQ_STEP + 4, 0x00, false},
    };
    for (const Case& c : cases) {
        for (const ChannelRegs& ch : ALL_CHANNELS) {
            // The wave channel of CGB A and B has a rule of its own (below).
            const std::string model = c.model;
            if (ch.number == 3 && c.nr14 == 0x00 && (model == "cgbA" || model == "cgbB")) continue;
            AudioMachine m(c.model);
            const u64 start = m.power_cycle();
            start_channel(m, ch, 1, false);
            m.run_to(start + c.write_at);
            m.w(ch.control, c.nr14);
            EXPECT_EQ(m.playing(ch.number), !c.stops)
                << c.model << " channel " << ch.number << " at " << c.write_at << " NRx4 " << int(c.nr14);
        }
    }
}

TEST(FrameSequencer, TriggerRightAfterALengthStepLoadsOneLess) {
    // A channel whose length ran out is retriggered with length enabled; its
    // counter reloads to the full length, less one when the last step clocked
    // lengths. Length steps fall at start + 8192 + 16384 k.
    struct Case {
        u64 trigger_at;  // cycles after the power cycle
        int steps_to_stop;
    };
    const Case cases[] = {{SEQ_STEP + 4, 63}, {2 * SEQ_STEP + 4, 64}};
    for (const Case& c : cases) {
        AudioMachine m;
        const u64 start = m.power_cycle();
        start_channel(m, ALL_CHANNELS[0], 1, true);
        m.run_to(start + SEQ_STEP);
        ASSERT_FALSE(m.playing(1));
        m.run_to(start + c.trigger_at);
        m.w(NR14, 0xC0);
        const u64 stop = start + SEQ_STEP + u64(c.steps_to_stop) * 2 * SEQ_STEP;
        m.run_to(stop - 4);
        EXPECT_TRUE(m.playing(1)) << "trigger at " << c.trigger_at;
        m.run_to(stop);
        EXPECT_FALSE(m.playing(1)) << "trigger at " << c.trigger_at;
    }
}

TEST(FrameSequencer, EnvelopeStepsAt64HzOnStep7) {
    // Step 7 comes 8 steps after power-on: at 65536 cycles, then every 65536.
    struct Case {
        u8 nr12;
        int levels[3];  // before the first envelope step, after it, after the second
    };
    const Case cases[] = {
        {0xF1, {15, 14, 13}},  // down, period 1
        {0xF2, {15, 15, 14}},  // down, period 2
        {0x09, {0, 1, 2}},     // up from 0, period 1
        {0xF9, {15, 15, 15}},  // up from 15 stays
        {0x10, {1, 1, 1}},     // period 0: no steps
        {0x11, {1, 0, 0}},     // down to 0, then stays
    };
    for (const Case& c : cases) {
        AudioMachine m("cgbE");
        const u64 start = m.power_cycle();
        m.w(NR11, 0x80);  // 50 % duty
        m.w(NR12, c.nr12);
        m.w(NR13, 0xFF);
        m.w(NR14, 0x87);  // frequency 2047, trigger
        m.run_to(start + 8 * SEQ_STEP - 64);
        EXPECT_EQ(peak_level_channel1(m), c.levels[0]) << "NR12 " << std::hex << int(c.nr12);
        m.run_to(start + 8 * SEQ_STEP);
        EXPECT_EQ(peak_level_channel1(m), c.levels[1]) << "NR12 " << std::hex << int(c.nr12);
        m.run_to(start + 16 * SEQ_STEP);
        EXPECT_EQ(peak_level_channel1(m), c.levels[2]) << "NR12 " << std::hex << int(c.nr12);
    }
}

TEST(FrameSequencer, SweepStepsAt128HzAndStopsOnOverflow) {
    // Frequency 1024 with shift 1 becomes 1536 at the first sweep step, and
    // the check of the next value (2304) stops the channel there. Sweep steps
    // fall on sequencer steps 2 and 6: 24576 and 57344 cycles after power-on,
    // then every 32768.
    struct Case {
        u8 nr10;
        u64 stop;  // cycles after the power cycle; 0 = never in the window
    };
    const Case cases[] = {
        {0x11, 3 * SEQ_STEP},
        {0x21, 7 * SEQ_STEP},  // the second sweep step: sequencer step 6
        {0x71, 27 * SEQ_STEP},
        {0x10, 3 * SEQ_STEP},  // shift 0 still calculates: 1024 + 1024 overflows
        {0x01, 0},  // period 0: checked at the trigger only
        {0x19, 0},  // subtracting never overflows
    };
    for (const Case& c : cases) {
        AudioMachine m;
        const u64 start = m.power_cycle();
        m.w(NR10, c.nr10);
        m.w(NR12, 0xF0);
        m.w(NR13, 0x00);
        m.w(NR14, 0x84);  // frequency 1024, trigger
        if (c.stop == 0) {
            m.run_to(start + 40 * SEQ_STEP);
            EXPECT_TRUE(m.playing(1)) << "NR10 " << std::hex << int(c.nr10);
            continue;
        }
        m.run_to(start + c.stop - 4);
        EXPECT_TRUE(m.playing(1)) << "NR10 " << std::hex << int(c.nr10);
        m.run_to(start + c.stop);
        EXPECT_FALSE(m.playing(1)) << "NR10 " << std::hex << int(c.nr10);
    }
}

TEST(FrameSequencer, SweepOverflowAtTriggerAndNegateThenAdd) {
    struct Case {
        u8 nr10_at_trigger;
        u16 frequency;
        u8 nr10_after;  // written right after the trigger; 0xFF = none
        bool playing;
    };
    const Case cases[] = {
        {0x11, 1400, 0xFF, false},  // 1400 + 700 overflows at once
        {0x11, 1365, 0xFF, true},   // 1365 + 682 = 2047 fits
        {0x10, 1400, 0xFF, true},   // shift 0: no check at the trigger
        {0x19, 1024, 0x11, false},  // a subtraction was made: back to adding stops
        {0x18, 1024, 0x11, true},   // shift 0 made no calculation
        {0x19, 1024, 0x1A, true},   // still subtracting
    };
    for (const Case& c : cases) {
        AudioMachine m;
        m.power_cycle();
        m.w(NR10, c.nr10_at_trigger);
        m.w(NR12, 0xF0);
        m.w(NR13, u8(c.frequency));
        m.w(NR14, u8(0x80 | (c.frequency >> 8)));
        if (c.nr10_after != 0xFF) m.w(NR10, c.nr10_after);
        EXPECT_EQ(m.playing(1), c.playing) << "NR10 " << std::hex << int(c.nr10_at_trigger) << std::dec
                                           << " frequency " << c.frequency;
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

TEST(FrameSequencer, EarlyCgbWaveChannelLowersLengthWithoutStopping) {
    // On CPU CGB A and B an NR34 write that leaves length disabled, after a
    // length step, lowers the wave channel's counter without stopping it at
    // 0; a second such write finds the counter at 0 and stops the channel.
    // CPU CGB 0 stops it at the first write, like the other channels.
    struct Case {
        const char* model;
        bool playing_after_first, playing_after_second;
    };
    const Case cases[] = {{"cgbA", true, false}, {"cgb0", false, false}, {"cgbE", true, true}};
    for (const Case& c : cases) {
        AudioMachine m(c.model);
        const u64 start = m.power_cycle();
        start_channel(m, ALL_CHANNELS[2], 1, false);
        m.run_to(start + SEQ_STEP + 4);
        m.w(NR34, 0x00);
        EXPECT_EQ(m.playing(3), c.playing_after_first) << c.model;
        m.w(NR34, 0x00);
        EXPECT_EQ(m.playing(3), c.playing_after_second) << c.model;
    }
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
