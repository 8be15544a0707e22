// The sound generators where the test ROMs do not reach: the noise timer and
// its retrigger delay, the wave channel's volume code, wave RAM access while
// playing on the models without a passing test ROM, and channels running side
// by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "audio_support.h"

TEST(NoiseChannel, TimerPeriodFollowsDivisorAndShift) {
    // The 7-bit register is audible for the first time at its 7th step. With
    // divisor code 0 the first step comes half a period plus 8 cycles after
    // the trigger (larger codes align to a prescaler counted from power-on).
    struct Case {
        u8 nr43;
        u64 period;  // cycles
    };
    const Case cases[] = {{0x08, 8}, {0x18, 16}, {0x28, 32}, {0x38, 64}};
    for (const Case& c : cases) {
        AudioMachine m("cgbE");
        m.power_cycle();
        m.w(NR42, 0xF0);
        m.w(NR43, c.nr43);
        m.w(NR44, 0x80);
        const u64 seventh = m.now() + c.period / 2 + 8 + 6 * c.period;
        m.run_to(seventh - 4);
        EXPECT_EQ(m.r(PCM34) >> 4, 0) << "NR43 " << std::hex << int(c.nr43);
        m.run_to(seventh);
        EXPECT_EQ(m.r(PCM34) >> 4, 15) << "NR43 " << std::hex << int(c.nr43);
    }
}

TEST(NoiseChannel, RetriggerOfAPlayingChannelStepsLater) {
    // Period 8, 7-bit mode: the 7th step is the first audible one. After a
    // trigger from silence the first step comes 8 + 4 cycles later, after a
    // retrigger of the playing channel 8 + 8.
    for (bool playing : {false, true}) {
        AudioMachine m("cgbE");
        m.power_cycle();
        m.w(NR42, 0xF0);
        m.w(NR43, 0x08);
        if (playing) {
            m.w(NR44, 0x80);
            m.run(25);
            ASSERT_TRUE(m.playing(4));
        }
        m.w(NR44, 0x80);
        const u64 seventh = m.now() + (playing ? 8 : 4) + 7 * 8;
        m.run_to(seventh - 4);
        EXPECT_EQ(m.r(PCM34) >> 4, 0) << (playing ? "retrigger" : "trigger");
        m.run_to(seventh);
        EXPECT_EQ(m.r(PCM34) >> 4, 15) << (playing ? "retrigger" : "trigger");
    }
}

TEST(NoiseChannel, ClockShiftAbove13FreezesTheRegister) {
    // Shift 13 still steps the register (every 8 << 13 cycles), 14 and 15 never.
    for (u8 nr43 : {u8(0xD0), u8(0xE0), u8(0xF8)}) {
        AudioMachine m("cgbE");
        m.power_cycle();
        m.w(NR42, 0xF0);
        m.w(NR43, nr43);
        m.w(NR44, 0x80);
        const u16 start = m.audio().channel4->lfsr;
        m.run(50000);
        EXPECT_TRUE(m.playing(4));
        EXPECT_EQ(m.audio().channel4->lfsr != start, nr43 == 0xD0) << std::hex << int(nr43);
        if (nr43 != 0xD0) {
            EXPECT_EQ(m.r(PCM34) >> 4, 0);
        }
    }
}

// NR43 on a playing channel: the shift counter the trigger started runs on.
// The register is clocked by the rise of the selected counter bit, so a new
// shift keeps the steps on that counter's grid, and selecting a high bit where
// a low one was selected steps the register at once. A new divisor applies
// from the counter's next increment: at codes 1-7 the divide-by-code counter
// keeps the prescaler ticks (every 8 cycles from the trigger here) it has
// counted and compares them with the new code, and a tick in the write's own
// cycle still belongs to the old code. Cycles from the trigger; the steps are
// seen at the end of their M-cycle.
TEST(NoiseChannel, Nr43WriteKeepsTheShiftCounterRunning) {
    struct Case {
        u8 from, to;
        u64 write;          // cycles after the trigger
        bool at_once;       // the write itself steps the register
        u64 next, after;    // the next two steps
    };
    // 0x11: counter +1 every 8 cycles, steps on the rises of bit 1 (cycles
    // 28, 60, 92, 124 here); bit 0 rises on every odd count.
    const Case cases[] = {
        {0x11, 0x01, 80, false, 84, 100},   // count 8: bit 0 rises at 84
        {0x11, 0x01, 84, true, 100, 116},   // count 9: bit 0 high, bit 1 low
        {0x11, 0x01, 88, true, 100, 116},
        {0x11, 0x01, 96, false, 100, 116},  // count 10: bit 1 high already
        {0x11, 0x01, 120, true, 132, 148},  // count 13
        {0x11, 0x31, 80, true, 204, 332},   // count 8: bit 3 selected, high
        {0x11, 0x31, 96, false, 204, 332},
        {0x11, 0x10, 96, false, 112, 128},  // code 0: +1 every 4 cycles from 10
        {0x02, 0x01, 80, false, 84, 100},   // code 2 to 1: the tick at 80 ends
        {0x02, 0x01, 84, false, 100, 116},  // the count of 2; after 84 the
        {0x02, 0x01, 100, false, 108, 124}, // next tick ends a count of 1
        // Code 1 to 2 (counter +1 at 18, 26, ...): after the increment at 82
        // the count of 2 starts afresh; the tick at 88 still ends a count of 1.
        {0x01, 0x02, 84, false, 116, 148},
        {0x01, 0x02, 88, false, 108, 140},
        // Code 0 to 2, shift 1 (counter +1 every 4 cycles from 12): the
        // divide-by-2 counter counts the ticks after the write, so the tick
        // at 80 is not one of them.
        {0x10, 0x12, 80, false, 148, 212},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "NR43 " << int(c.from) << " to " << int(c.to) << std::dec
                                        << " at " << c.write);
        AudioMachine m("cgbE");
        m.power_cycle();
        m.w(NR42, 0xF0);
        m.w(NR43, c.from);
        m.w(NR44, 0x80);
        const u64 trigger = m.now();
        m.run_to(trigger + c.write);
        const u16 before = m.audio().channel4->lfsr;
        m.w(NR43, c.to);
        EXPECT_EQ(m.audio().channel4->lfsr != before, c.at_once);
        std::vector<u64> steps;
        u16 last = m.audio().channel4->lfsr;
        while (steps.size() < 2 && m.now() < trigger + 400) {
            m.run(1);
            if (m.audio().channel4->lfsr != last) steps.push_back(m.now() - trigger);
            last = m.audio().channel4->lfsr;
        }
        EXPECT_EQ(steps, (std::vector<u64>{c.next, c.after}));
    }
}

// Channel 1's sweep unit takes a trigger's reload (timer, shadow frequency)
// 12 cycles after the trigger; a sweep clock in between still works on the
// shadow of the run before. Here that shadow (0x400, shift 0) overflows at
// the clock and the new one (0x100) would not. The first sweep clock after
// power-on lands 3 cycles into the M-cycle that ends at `m_cycle` below, so
// retriggers 4, 8 and 12 cycles before that end come less than 12 cycles
// before the clock and leave the channel off; an earlier one, or one after
// the clock (which stops the old run), leaves it on.
TEST(Sweep, ClockBeforeTheTriggersReloadUsesTheOldShadow) {
    for (u64 before = 0; before <= 24; before += 4) {
        AudioMachine m("cgbE");
        const u64 m_cycle = m.power_cycle() + 3 * SEQ_STEP + 4;
        m.w(NR10, 0x10);  // period 1, add, shift 0
        m.w(NR12, 0xF0);
        m.w(NR13, 0x00);
        m.w(NR14, 0x84);  // 0x400
        m.run_to(m_cycle - before);
        m.w(NR14, 0x81);  // 0x100
        m.run(40);
        EXPECT_EQ(m.playing(1), before == 0 || before > 12) << before << " cycles before";
    }
}

// The sweep's overflow checks on CGB shift the frequency serially, 4 cycles a
// bit. The first sweep clock after power-on lands 3 cycles into the M-cycle
// ending at `m_cycle`; with NR10 0x17 (period 1, add, shift 7) it writes back
// 0x7F0 + 0xF = 0x7FF, whose check (0x7FF + 0xF) overflows: the stop comes 28
// cycles after the clock, unless NR10's shift is 0 when the check ends. A
// trigger ends that check and starts its own, which ends 8 + 4 * shift cycles
// after the trigger. The stop lands at its own cycle, seen in the channel
// before anything reads NR52 (the slow rows have no duty step near it). Each
// row writes at `m_cycle` and gives the last cycle after it at which the
// channel still plays.
TEST(Sweep, OverflowChecksEndSeriallyAfterTheWriteBackOrTheTrigger) {
    constexpr u64 STAYS_ON = ~u64(0);
    struct Case {
        const char* what;
        u8 nr10;
        int frequency;
        bool triggered;  // 4096 cycles before m_cycle
        u16 reg;         // written at m_cycle (0: nothing)
        u8 value;
        u64 last_on;
    };
    const Case cases[] = {
        {"write-back alone", 0x17, 0x7F0, true, 0, 0, 24},
        {"NR10 shift 0 before the check ends", 0x17, 0x7F0, true, NR10, 0x00, STAYS_ON},
        {"NR10 shift 1 before the check ends", 0x17, 0x7F0, true, NR10, 0x11, 24},
        {"retrigger at 0x7FF", 0x17, 0x7F0, true, NR14, 0x87, 32},
        {"trigger from silence at 0x7FF", 0x17, 0x7FF, false, NR14, 0x87, 32},
        {"slow, shift 1: 0x500 writes back 0x780, whose check overflows", 0x11, 0x500, true, 0, 0, 0},
        {"slow trigger, shift 1: 0x600 + 0x300 overflows", 0x11, 0x600, false, NR14, 0x86, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AudioMachine m("cgbE");
        const u64 m_cycle = m.power_cycle() + 3 * SEQ_STEP + 4;
        m.w(NR10, c.nr10);
        m.w(NR12, 0xF0);
        m.w(NR13, u8(c.frequency));
        m.run_to(m_cycle - 4096);
        if (c.triggered) m.w(NR14, u8(0x80 | c.frequency >> 8));
        m.run_to(m_cycle);
        if (c.reg != 0) m.w(c.reg, c.value);
        const u64 last_on = c.last_on == STAYS_ON ? 60 : c.last_on;
        m.run_to(m_cycle + last_on);
        EXPECT_TRUE(m.audio().channel1->playing) << last_on << " cycles after";
        m.run_to(m_cycle + last_on + 4);
        const bool on = c.last_on == STAYS_ON;
        EXPECT_EQ(m.audio().channel1->playing, on) << last_on + 4 << " cycles after";
        EXPECT_EQ(m.playing(1), on) << last_on + 4 << " cycles after";
    }
}

// On CGB the period counter takes the sweep's write-back like an NR13 write:
// in the 4 cycles after a duty step it sets the period that step began. Each
// row triggers so that a duty step lands `before` cycles before the first
// sweep clock after power-on (3 * SEQ_STEP + 3 cycles after it), and gives the
// cycles from that step to the next one.
TEST(Sweep, PeriodCounterTakesAWriteBackJustAfterADutyStep) {
    struct Case {
        u8 nr10, nr13;  // NR14 0x87: frequency 0x700 | NR13
        u64 before;
        u64 next_step;
    };
    const Case cases[] = {
        {0x17, 0xE0, 3, 68},   // 0x7E0 (period 128) + 0xF = 0x7EF: period 68
        {0x17, 0xE0, 7, 128},  // a step 7 cycles before: that period stays 128
        {0x1F, 0xFF, 3, 64},   // 0x7FF (period 4) - 0xF = 0x7F0: period 64
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "NR10 " << std::hex << int(c.nr10) << std::dec << ", step " << c.before
                                        << " cycles before the clock");
        AudioMachine m("cgbE");
        const u64 step = m.power_cycle() + 3 * SEQ_STEP + 3 - c.before;
        const u64 period = (2048 - (0x700 | c.nr13)) * 4;
        m.w(NR10, c.nr10);
        m.w(NR12, 0xF0);
        m.w(NR13, c.nr13);
        // A trigger from silence steps first after its period plus 8 cycles.
        m.run_to(step - (period + 8));
        m.w(NR14, 0x87);
        std::vector<u64> steps;
        int last = m.audio().channel1->duty_position;
        while (steps.size() < 2 && m.now() < step + 200) {
            m.run(1);
            if (m.audio().channel1->duty_position != last) steps.push_back(m.now());
            last = m.audio().channel1->duty_position;
        }
        ASSERT_EQ(steps.size(), 2u);
        ASSERT_LT(steps[0] - step, 4u);  // seen at the end of its M-cycle
        EXPECT_EQ(steps[1] - steps[0], c.next_step);
    }
}

// A stopped channel's register moves only while its timer runs: a length
// that runs out stops both, and an NR43 write restarts the timer with the new
// period even though nothing is heard. (The next trigger starts the register
// afresh, so no sample shows these steps.)
TEST(NoiseChannel, Nr43WriteRestartsTheTimerOfAStoppedChannel) {
    for (bool write_nr43 : {false, true}) {
        AudioMachine m("cgbE");
        m.power_cycle();
        m.w(NR41, 0x3F);  // a length of 1: stops at the first length step
        m.w(NR42, 0xF0);
        m.w(NR43, 0x00);
        m.w(NR44, 0xC0);
        m.run(3 * SEQ_STEP / 4);
        ASSERT_FALSE(m.playing(4));
        const u16 stopped = m.audio().channel4->lfsr;
        m.run(1000);
        ASSERT_EQ(m.audio().channel4->lfsr, stopped);
        if (write_nr43) m.w(NR43, 0x01);
        m.run(1000);
        EXPECT_FALSE(m.playing(4));
        EXPECT_EQ(m.r(PCM34) >> 4, 0);
        EXPECT_EQ(m.audio().channel4->lfsr != stopped, write_nr43);
    }
}

// Unlike the square channels, a noise channel keeps its volume when NR42 is
// written while it plays (as long as the DAC stays on).
TEST(NoiseChannel, Nr42WriteLeavesTheRunningVolume) {
    for (u8 nr42 : {u8(0x90), u8(0x98), u8(0xF0), u8(0x0F), u8(0x99), u8(0x3A)}) {
        SCOPED_TRACE(testing::Message() << "NR42 " << std::hex << int(nr42));
        AudioMachine m("cgbE");
        m.power_cycle();
        m.w(NR42, 0x90);  // volume 9, held (period 0)
        m.w(NR43, 0x00);
        m.w(NR44, 0x80);
        m.run(20);
        m.w(NR42, nr42);
        int loudest = 0;
        for (int i = 0; i < 200; ++i) {
            loudest = std::max(loudest, m.r(PCM34) >> 4);
            m.run(1);
        }
        EXPECT_EQ(loudest, 9);
        EXPECT_TRUE(m.playing(4));
    }
}

// An increasing envelope stops at volume 15; one started there stays there.
TEST(Envelope, IncreasingStopsAtFifteen) {
    struct Channel {
        int number;
        u16 nrx2, nrx3, nrx4, pcm;
        int shift;  // of the channel's nibble in its PCM register
    };
    const Channel channels[] = {{1, NR12, NR13, NR14, PCM12, 0}, {2, NR22, NR23, NR24, PCM12, 4},
                                {4, NR42, NR43, NR44, PCM34, 4}};
    for (const Channel& c : channels) {
        for (int initial : {13, 15}) {
            SCOPED_TRACE(testing::Message() << "channel " << c.number << " from " << initial);
            AudioMachine m("cgbE");
            m.power_cycle();
            m.w(NR50, 0x77);
            if (c.number == 1) m.w(NR11, 0x80);
            if (c.number == 2) m.w(NR21, 0x80);
            m.w(c.nrx2, u8(initial << 4 | 0x09));  // increasing, a step every 64 Hz clock
            m.w(c.nrx3, c.number == 4 ? 0x00 : 0xF0);
            m.w(c.nrx4, c.number == 4 ? 0x80 : 0x87);
            auto loudest = [&] {
                int level = 0;
                for (int i = 0; i < 200; ++i) {
                    level = std::max(level, (m.r(c.pcm) >> c.shift) & 15);
                    m.run(1);
                }
                return level;
            };
            // The envelope steps with the frame sequencer's step 7.
            m.run(8 * SEQ_STEP / 4 + 100);
            EXPECT_EQ(loudest(), std::min(initial + 1, 15)) << "after one step";
            m.run(3 * 8 * SEQ_STEP / 4);
            EXPECT_EQ(loudest(), 15) << "after four steps";
        }
    }
}

namespace {

// Wave RAM whose 32 samples are 0, 1, ..., 15, 15, 14, ..., 0.
void load_ramp(AudioMachine& m) {
    for (int i = 0; i < 8; ++i) m.w(u16(WAVE_RAM + i), u8((2 * i) << 4 | (2 * i + 1)));
    for (int i = 0; i < 8; ++i) m.w(u16(WAVE_RAM + 8 + i), u8((15 - 2 * i) << 4 | (14 - 2 * i)));
}
int ramp_sample(int index) { return index < 16 ? index : 31 - index; }

}  // namespace

TEST(WaveChannel, PlaysWaveRamInOrderScaledByTheVolumeCode) {
    // Frequency 2046 reads a sample every 4 cycles, the first (sample 1) 10
    // cycles after the trigger: a read at trigger + 4k sees sample k - 2.
    struct Case {
        u8 nr32;
        int shift;  // -1: muted
    };
    const Case cases[] = {{0x40, 1}, {0x60, 2}, {0x00, -1}, {0xBF, 0}};
    for (const Case& c : cases) {
        AudioMachine m("cgbE");
        m.power_cycle();
        load_ramp(m);
        m.w(NR30, 0x80);
        m.w(NR32, c.nr32);
        m.w(NR33, 0xFE);
        m.w(NR34, 0x87);
        m.run(2);
        EXPECT_EQ(m.r(PCM34) & 0x0F, 0);
        for (int k = 3; k < 3 + 70; ++k) {
            m.run(1);
            const int expected = c.shift < 0 ? 0 : ramp_sample((k - 2) % 32) >> c.shift;
            ASSERT_EQ(m.r(PCM34) & 0x0F, expected) << "NR32 " << std::hex << int(c.nr32) << std::dec << " read " << k;
        }
    }
}

namespace {

// Where the wave channel stands k M-cycles after a trigger at frequency 2047:
// it reads sample 1 eight cycles after the trigger and then every 2 cycles.
int wave_position(int k) { return k >= 2 ? (2 * k - 3) % 32 : 0; }

u8 ramp_byte(int index) { return u8(ramp_sample(2 * index) << 4 | ramp_sample(2 * index + 1)); }

void start_wave(AudioMachine& m, u16 frequency) {
    m.power_cycle();
    load_ramp(m);
    m.w(NR30, 0x80);
    m.w(NR33, u8(frequency));
    m.w(NR34, u8(0x80 | (frequency >> 8)));
}

}  // namespace

// While the channel plays, a CGB sees the byte being played and an AGB never
// gets through. The DMG and "cgbE" are checked by the test ROMs.
TEST(WaveChannel, CpuReadsOfWaveRamWhilePlaying) {
    for (const char* model : {"cgb0", "agb0"}) {
        const bool agb = std::string(model) == "agb0";
        AudioMachine m(model);
        start_wave(m, 2047);
        for (int k = 1; k <= 40; ++k) {
            m.run(1);
            const u8 expected = agb ? u8(0xFF) : ramp_byte(wave_position(k) >> 1);
            ASSERT_EQ(m.r(u16(WAVE_RAM + 5)), expected) << model << " M-cycle " << k;
        }
        // Stopped, every byte is reachable again.
        m.w(NR30, 0x00);
        EXPECT_EQ(m.r(u16(WAVE_RAM + 5)), ramp_byte(5)) << model;
    }
}

// Nine M-cycles after a trigger at 2046 the channel plays position 7 (byte
// 3): a CGB's write lands there, an AGB's is lost. The DMG is checked by the
// test ROMs.
TEST(WaveChannel, CpuWritesToWaveRamWhilePlaying) {
    for (const auto& [model, lands_on] : {std::pair{"cgbE", 3}, std::pair{"agb0", -1}}) {
        AudioMachine m(model);
        start_wave(m, 2046);
        m.run(9);
        m.w(u16(WAVE_RAM + 15), 0xAB);
        m.w(NR30, 0x00);  // stop to read back freely
        for (int i = 0; i < 16; ++i) {
            const u8 expected = i == lands_on ? u8(0xAB) : ramp_byte(i);
            EXPECT_EQ(m.r(u16(WAVE_RAM + i)), expected) << model << " byte " << i;
        }
    }
}

TEST(AudioTimers, ChannelsKeepTheirOwnTimersWhenPlayingTogether) {
    // A fast channel started first keeps stepping after a slow channel is
    // triggered: each channel's timer runs on its own.
    struct Case {
        const char* what;
        u16 pcm;
        int fast_shift;  // nibble of the fast channel in the PCM register
        int min_changes, max_changes;
    };
    const Case cases[] = {
        // Pulse at 2040: 50 % duty, 256 cycles per cycle: 2 level changes
        // per 256 cycles.
        {"pulse with pulse", PCM12, 0, 63, 64},
        // Wave at 2040: a sample every 16 cycles; the ramp repeats a value
        // twice per 32 samples.
        {"wave with noise", PCM34, 0, 475, 481},
    };
    for (const Case& c : cases) {
        AudioMachine m("cgbE");
        m.power_cycle();
        if (c.pcm == PCM12) {
            m.w(NR11, 0x80);
            m.w(NR12, 0xF0);
            m.w(NR13, 0xF8);
            m.w(NR14, 0x87);
            m.w(NR22, 0xF0);
            m.w(NR23, 0x00);
            m.w(NR24, 0x84);  // 1024: a step every 4096 cycles
        } else {
            load_ramp(m);
            m.w(NR30, 0x80);
            m.w(NR32, 0x20);
            m.w(NR33, 0xF8);
            m.w(NR34, 0x87);
            m.w(NR42, 0xF0);
            m.w(NR43, 0x77);  // 112 << 7 cycles per step
            m.w(NR44, 0x80);
        }
        m.run(64);
        int changes = 0;
        int last = (m.r(c.pcm) >> c.fast_shift) & 0x0F;
        for (int i = 0; i < 2048; ++i) {  // 8192 cycles
            m.run(1);
            const int level = (m.r(c.pcm) >> c.fast_shift) & 0x0F;
            changes += level != last;
            last = level;
        }
        EXPECT_GE(changes, c.min_changes) << c.what;
        EXPECT_LE(changes, c.max_changes) << c.what;
    }
}
