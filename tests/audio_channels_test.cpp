// The four sound generators as the output and the PCM registers show them:
// pulse period and duty, trigger timing, the noise shift register, wave RAM
// playback and wave RAM access while the channel plays.
#include <gtest/gtest.h>

#include <vector>

#include "audio_support.h"

namespace {

// One side of the recorded output, from frame `from` on.
std::vector<i16> side(const RecordingSink::State& s, bool right, size_t from) {
    std::vector<i16> out;
    for (size_t i = 2 * from + (right ? 1 : 0); i < s.values.size(); i += 2) out.push_back(s.values[i]);
    return out;
}

struct PulseShape {
    double period = 0;          // samples per cycle, averaged
    double negative_share = 0;  // share of samples below zero over whole cycles
    int cycles = 0;
};

// Finds the cycles of a filtered pulse wave by the starts of its negative
// runs (a DAC at a high level drives the output negative).
PulseShape measure_pulse(const std::vector<i16>& v) {
    std::vector<size_t> starts;
    for (size_t i = 1; i < v.size(); ++i)
        if (v[i] < 0 && v[i - 1] >= 0) starts.push_back(i);
    PulseShape shape;
    if (starts.size() < 2) return shape;
    const size_t first = starts.front(), last = starts.back();
    size_t negative = 0;
    for (size_t i = first; i < last; ++i) negative += v[i] < 0;
    shape.cycles = int(starts.size() - 1);
    shape.period = double(last - first) / shape.cycles;
    shape.negative_share = double(negative) / double(last - first);
    return shape;
}

struct PulseRegs {
    u16 nrx1, nrx2, nrx3, nrx4;
    u8 nr51_left_only;
};
constexpr PulseRegs PULSE_CHANNELS[] = {{NR11, NR12, NR13, NR14, 0x10}, {NR21, NR22, NR23, NR24, 0x20}};

}  // namespace

TEST(SquareChannel, OutputHasTheFrequencysPeriodAndTheDutysShare) {
    // Frequency value 1792: (2048 - 1792) x 4 cycles per duty step, eight
    // steps per cycle = 8192 cycles = 187.5 samples at 96 kHz.
    const double duty_share[4] = {1.0 / 8, 2.0 / 8, 4.0 / 8, 6.0 / 8};
    for (const PulseRegs& ch : PULSE_CHANNELS) {
        for (int duty = 0; duty < 4; ++duty) {
            AudioMachine m;
            RecordingSink::State out;
            record_output(m, out);
            m.power_cycle();
            m.w(NR50, 0x77);
            m.w(NR51, ch.nr51_left_only);
            m.w(ch.nrx1, u8(duty << 6));
            m.w(ch.nrx2, 0xF0);
            m.w(ch.nrx3, 0x00);
            m.w(ch.nrx4, 0x87);  // 0x700 | 0x00 = 1792, trigger
            m.run(4 * 2048 * 44 / 4);  // a little over four buffers

            ASSERT_GE(out.values.size(), size_t(4 * 4096));
            // The first buffer lets the filter settle.
            const PulseShape shape = measure_pulse(side(out, false, 2048));
            EXPECT_GE(shape.cycles, 30);
            EXPECT_NEAR(shape.period, 187.5, 0.5) << "duty " << duty << " NRx4 " << std::hex << ch.nrx4;
            EXPECT_NEAR(shape.negative_share, duty_share[duty], 0.015) << "duty " << duty;
            // Routed left only: the right side stays silent.
            for (i16 v : side(out, true, 0)) ASSERT_EQ(v, 0);
        }
    }
}

TEST(SquareChannel, HigherFrequencyValuesGiveShorterPeriods) {
    // (2048 - f) x 32 cycles per wave cycle, 43.69 cycles per sample.
    for (auto [frequency, period] : {std::pair<u16, double>{1024, 750.0}, {1920, 93.75}}) {
        AudioMachine m;
        RecordingSink::State out;
        record_output(m, out);
        m.power_cycle();
        m.w(NR50, 0x77);
        m.w(NR51, 0x22);
        m.w(NR21, 0x80);
        m.w(NR22, 0xF0);
        m.w(NR23, u8(frequency));
        m.w(NR24, u8(0x80 | (frequency >> 8)));
        m.run(6 * 2048 * 44 / 4);
        EXPECT_NEAR(measure_pulse(side(out, false, 2048)).period, period, 0.5) << "frequency " << frequency;
    }
}

TEST(SquareChannel, FirstDutyStepComesLaterAfterATriggerFromSilence) {
    // Frequency 2040: a duty step every 32 cycles. 50 % duty is high at
    // positions 0 and 5-7; the channel is at position 4 (low) when it is
    // triggered again, and shows level 15 once it steps to 5. From silence
    // that step comes 40 cycles after the trigger, from play 36.
    for (bool from_silence : {true, false}) {
        AudioMachine m("cgbE");
        m.power_cycle();
        m.w(NR11, 0x80);
        m.w(NR12, 0xF0);
        m.w(NR13, 0xF8);
        m.w(NR14, 0x87);
        const u64 first = m.now();
        // Steps at +40, +72, +104, +136: position 4 from +136 on.
        m.run_to(first + 140);
        if (from_silence) {
            m.w(NR12, 0x00);  // DAC off stops the channel...
            m.w(NR12, 0xF0);  // ...and back on, still stopped
            ASSERT_FALSE(m.playing(1));
        }
        m.w(NR14, 0x87);
        const u64 t = m.now();
        const u64 step = from_silence ? 40 : 36;
        m.run_to(t + step - 4);
        EXPECT_EQ(m.r(PCM12) & 0x0F, 0) << (from_silence ? "from silence" : "from play");
        m.run_to(t + step);
        EXPECT_EQ(m.r(PCM12) & 0x0F, 15) << (from_silence ? "from silence" : "from play");
    }
}

TEST(SquareChannel, PcmShowsZeroUntilTheFirstStepAfterATrigger) {
    // 75 % duty is low only at positions 0 and 7: a fresh trigger at position
    // 0 shows level 15 once the first step (12 cycles later at frequency
    // 2047) moves it to 1.
    AudioMachine m("cgbE");
    m.power_cycle();
    m.w(NR21, 0xC0);
    m.w(NR22, 0xA0);
    m.w(NR23, 0xFF);
    m.w(NR24, 0x87);
    const u64 t = m.now();
    EXPECT_EQ(m.r(PCM12) >> 4, 0);
    m.run_to(t + 8);
    EXPECT_EQ(m.r(PCM12) >> 4, 0);
    m.run_to(t + 12);
    EXPECT_EQ(m.r(PCM12) >> 4, 10);
    // Positions 2-6 follow every 4 cycles, then 7 and 0 are low again.
    std::vector<int> levels;
    for (int i = 0; i < 8; ++i) {
        m.run(1);
        levels.push_back(m.r(PCM12) >> 4);
    }
    EXPECT_EQ(levels, (std::vector<int>{10, 10, 10, 10, 10, 0, 0, 10}));
}

namespace {

// Noise levels read from PCM34 after each step of the shift register, with
// the shortest timer period (8 cycles).
std::vector<int> noise_steps(bool seven_bit, int count) {
    AudioMachine m("cgbE");
    m.power_cycle();
    m.w(NR42, 0xF0);
    m.w(NR43, seven_bit ? 0x08 : 0x00);
    m.w(NR44, 0x80);
    std::vector<int> levels;
    levels.reserve(size_t(count));
    m.run(3);  // the first step comes 8 + 4 cycles after the trigger
    for (int i = 0; i < count; ++i) {
        levels.push_back(m.r(PCM34) >> 4);
        m.run(2);
    }
    return levels;
}

bool repeats_with_period(const std::vector<int>& v, size_t period) {
    for (size_t i = 0; i + period < v.size(); ++i)
        if (v[i] != v[i + period]) return false;
    return true;
}

}  // namespace

TEST(NoiseChannel, ShiftRegisterSequencesHaveMaximalLength) {
    struct Case {
        bool seven_bit;
        size_t period;             // 2^n - 1 steps
        size_t first_audible;      // index of the first step whose bit 0 is 0
        size_t audible_per_period; // 2^(n-1) - 1 zeros in a maximal sequence
        std::vector<size_t> divisors_of_period;
    };
    const Case cases[] = {
        {true, 127, 6, 63, {1}},
        {false, 32767, 14, 16383, {1, 7, 31, 151, 217, 1057, 4681}},
    };
    for (const Case& c : cases) {
        const std::vector<int> levels = noise_steps(c.seven_bit, int(2 * c.period + 50));
        // The register starts all ones: silent until a 0 reaches bit 0.
        for (size_t i = 0; i < c.first_audible; ++i) ASSERT_EQ(levels[i], 0) << "step " << i + 1;
        EXPECT_EQ(levels[c.first_audible], 15);
        for (int l : levels) ASSERT_TRUE(l == 0 || l == 15);

        EXPECT_TRUE(repeats_with_period(levels, c.period)) << (c.seven_bit ? "7-bit" : "15-bit");
        for (size_t d : c.divisors_of_period)
            EXPECT_FALSE(repeats_with_period(levels, d)) << "period " << d;
        size_t audible = 0;
        for (size_t i = 0; i < c.period; ++i) audible += levels[i] != 0;
        EXPECT_EQ(audible, c.audible_per_period);
    }
}

TEST(NoiseChannel, TimerPeriodFollowsDivisorAndShift) {
    // The 7-bit register is audible for the first time at its 7th step.
    struct Case {
        u8 nr43;
        u64 period;  // cycles
    };
    const Case cases[] = {{0x08, 8}, {0x09, 16}, {0x0B, 48}, {0x18, 16}, {0x3B, 384}};
    for (const Case& c : cases) {
        AudioMachine m("cgbE");
        m.power_cycle();
        m.w(NR42, 0xF0);
        m.w(NR43, c.nr43);
        m.w(NR44, 0x80);
        const u64 seventh = m.now() + 4 + 7 * c.period;
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

TEST(WaveChannel, SampleRateFollowsTheFrequency) {
    // Sample 1 is read (2051 - f) x 2 cycles after the trigger and each
    // further sample (2048 - f) x 2 cycles later.
    struct Case {
        u16 frequency;
        u64 first_read;
        u64 cycles_per_sample;
    };
    const Case cases[] = {{2044, 14, 8}, {2016, 70, 64}};
    for (const Case& c : cases) {
        AudioMachine m("cgbE");
        m.power_cycle();
        load_ramp(m);
        m.w(NR30, 0x80);
        m.w(NR32, 0x20);
        m.w(NR33, u8(c.frequency));
        m.w(NR34, u8(0x80 | (c.frequency >> 8)));
        const u64 t = m.now();
        for (int n = 1; n <= 12; ++n) {
            const u64 read = c.first_read + u64(n - 1) * c.cycles_per_sample;
            // The CPU sees the sample from the first M-cycle boundary on.
            m.run_to(t + (read + 3) / 4 * 4);
            EXPECT_EQ(m.r(PCM34) & 0x0F, ramp_sample(n)) << "frequency " << c.frequency << " sample " << n;
        }
    }
}

namespace {

// Where the wave channel stands k M-cycles after a trigger, for the two
// fastest frequencies: the sample position and whether it read a sample on
// that very cycle. At 2047 it reads sample 1 eight cycles after the trigger
// and then every 2 cycles; at 2046 it reads sample 1 ten cycles after and
// then every 4, always 2 cycles off the M-cycle boundaries.
struct WaveStand {
    int position;
    bool read_now;
};
WaveStand wave_stand(u16 frequency, int k) {
    if (frequency == 2047) return k >= 2 ? WaveStand{(2 * k - 3) % 32, true} : WaveStand{0, false};
    return k >= 3 ? WaveStand{(k - 2) % 32, false} : WaveStand{0, false};
}

u8 ramp_byte(int index) { return u8(ramp_sample(2 * index) << 4 | ramp_sample(2 * index + 1)); }

void start_wave(AudioMachine& m, u16 frequency) {
    m.power_cycle();
    load_ramp(m);
    m.w(NR30, 0x80);
    m.w(NR33, u8(frequency));
    m.w(NR34, u8(0x80 | (frequency >> 8)));
}

}  // namespace

TEST(WaveChannel, CpuAccessToWaveRamWhilePlayingDependsOnTheModel) {
    // A DMG reaches wave RAM only on the cycle the channel reads it, and then
    // sees the byte being played; CGBs always see the byte being played; an
    // AGB never gets through.
    enum Rule { DMG_RULE, CGB_RULE, AGB_RULE };
    struct Case {
        const char* model;
        u16 frequency;
        Rule rule;
    };
    const Case cases[] = {
        {"dmgB", 2046, DMG_RULE}, {"dmgC", 2047, DMG_RULE}, {"cgbE", 2046, CGB_RULE}, {"cgb0", 2047, CGB_RULE},
        {"agb0", 2047, AGB_RULE},
    };
    for (const Case& c : cases) {
        AudioMachine m(c.model);
        start_wave(m, c.frequency);
        for (int k = 1; k <= 40; ++k) {
            m.run(1);
            const WaveStand at = wave_stand(c.frequency, k);
            u8 expected = ramp_byte(at.position >> 1);
            if (c.rule == AGB_RULE || (c.rule == DMG_RULE && !at.read_now)) expected = 0xFF;
            ASSERT_EQ(m.r(u16(WAVE_RAM + 5)), expected) << c.model << " frequency " << c.frequency << " M-cycle " << k;
        }
        // Stopped, every byte is reachable again.
        m.w(NR30, 0x00);
        EXPECT_EQ(m.r(u16(WAVE_RAM + 5)), ramp_byte(5)) << c.model;
    }
}

TEST(WaveChannel, WritesWhilePlayingFollowTheReadRules) {
    struct Case {
        const char* model;
        u16 frequency;
        int lands_on;  // byte written instead of byte 15; -1 = write lost
    };
    // Nine M-cycles after the trigger: position 7 (byte 3) at 2046, position
    // 15 (byte 7, read on this cycle) at 2047.
    const Case cases[] = {{"cgbE", 2046, 3}, {"agb0", 2046, -1}, {"dmgB", 2046, -1}, {"dmgB", 2047, 7}};
    for (const Case& c : cases) {
        AudioMachine m(c.model);
        start_wave(m, c.frequency);
        m.run(9);
        m.w(u16(WAVE_RAM + 15), 0xAB);
        m.w(NR30, 0x00);  // stop to read back freely
        for (int i = 0; i < 16; ++i) {
            const u8 expected = i == c.lands_on ? u8(0xAB) : ramp_byte(i);
            EXPECT_EQ(m.r(u16(WAVE_RAM + i)), expected) << c.model << " frequency " << c.frequency << " byte " << i;
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
