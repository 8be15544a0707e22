// The sound output: master volume and panning, the output high-pass filter,
// the sample rate, pacing against the audio device, and WAV capture.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "audio_support.h"
#include "temp_dir.h"

namespace {

// Switches on the DAC of every channel without starting any: a stopped
// channel with its DAC on holds the DAC's level-0 voltage, a constant.
void all_dacs_on(AudioMachine& m) {
    m.w(NR12, 0xF0);
    m.w(NR22, 0xF0);
    m.w(NR30, 0x80);
    m.w(NR42, 0xF0);
}

// Runs for the time of `frames` output frames (a little more).
void run_frames(AudioMachine& m, int frames) {
    m.run(u64(std::ceil(frames * CYCLES_PER_SAMPLE / 4.0)) + 1);
}

std::pair<i16, i16> first_frame(AudioMachine& m) { return {m.audio().samples[0], m.audio().samples[1]}; }

}  // namespace

TEST(AudioMixer, MasterVolumeAndPanningScaleEachSide) {
    // NR50 bits 4-6 and 0-2 set the left and right volume; NR51 routes
    // channels 1-4 to the right (bits 0-3) and left (bits 4-7). Each routed
    // channel adds the same step, scaled by the side's volume.
    struct Case {
        u8 nr50, nr51;
        int left_units, right_units;  // volume x routed channels
    };
    const Case cases[] = {
        {0x70, 0x11, 7, 0},         {0x73, 0xF0, 4 * 7, 0},     {0x73, 0x0F, 0, 4 * 3},
        {0x25, 0x36, 2 * 2, 5 * 2}, {0xFF, 0x81, 7, 7},  // bits 7 and 3 of NR50 do not count
    };
    // The step of one channel at volume 1 on the first filtered sample.
    AudioMachine ref;
    ref.power_cycle();
    all_dacs_on(ref);
    ref.w(NR50, 0x11);
    ref.w(NR51, 0x11);
    run_frames(ref, 1);
    const int unit = first_frame(ref).first;
    ASSERT_NE(unit, 0);

    for (const Case& c : cases) {
        AudioMachine m;
        m.power_cycle();
        all_dacs_on(m);
        m.w(NR50, c.nr50);
        m.w(NR51, c.nr51);
        run_frames(m, 1);
        const auto [left, right] = first_frame(m);
        EXPECT_EQ(left, unit * c.left_units) << "NR50 " << std::hex << int(c.nr50) << " NR51 " << int(c.nr51);
        EXPECT_EQ(right, unit * c.right_units) << "NR50 " << std::hex << int(c.nr50) << " NR51 " << int(c.nr51);
    }
}

TEST(AudioMixer, ChannelSwitchesLeaveAChannelOutOfTheMix) {
    AudioMachine m;
    m.power_cycle();
    all_dacs_on(m);
    m.w(NR50, 0x77);
    m.audio().channel2->enabled = false;
    m.audio().channel4->enabled = false;
    m.w(NR51, 0xFF);  // re-mixes with two of four channels switched on
    run_frames(m, 1);
    const i16 half = first_frame(m).first;

    AudioMachine all;
    all.power_cycle();
    all_dacs_on(all);
    all.w(NR50, 0x77);
    all.w(NR51, 0xFF);
    run_frames(all, 1);
    EXPECT_EQ(2 * half, first_frame(all).first);

    // The all-sound switch follows the inverse of channel 1's switch.
    all.audio().toggle();
    EXPECT_FALSE(all.audio().channel1->enabled);
    EXPECT_FALSE(all.audio().channel3->enabled);
    EXPECT_EQ(all.audio().mixed_left, 0);
    all.audio().toggle();
    EXPECT_TRUE(all.audio().channel4->enabled);
}

TEST(AudioFilter, ConstantLevelDecaysToZero) {
    AudioMachine m;
    RecordingSink::State out;
    record_output(m, out);
    m.power_cycle();
    all_dacs_on(m);
    m.w(NR50, 0x77);
    m.w(NR51, 0xFF);
    run_frames(m, 3 * 2048);
    ASSERT_GE(out.values.size(), size_t(3 * 4096));
    const double start = out.values[0];
    ASSERT_GT(start, 10000);
    // Each sample keeps 0.998167 of the last: 1/e after about 545 samples.
    const double after_545 = out.values[2 * 545];
    EXPECT_NEAR(after_545 / start, std::exp(-1.0), 0.01);
    // The filter leaves no DC: 60 ms later the output has settled to 0.
    for (size_t i = 2 * 5500; i < 2 * 6100; ++i) ASSERT_EQ(out.values[i], 0) << "value " << i;
}

TEST(AudioFilter, SquareWaveLosesItsDcOffset) {
    // A 12.5 % pulse sits far from 0 on average; filtered, its average over
    // whole cycles is 0.
    AudioMachine m;
    RecordingSink::State out;
    record_output(m, out);
    m.power_cycle();
    m.w(NR50, 0x77);
    m.w(NR51, 0x11);
    m.w(NR11, 0x00);
    m.w(NR12, 0xF0);
    m.w(NR13, 0x00);
    m.w(NR14, 0x87);  // 187.5 samples per cycle
    run_frames(m, 4 * 2048);
    // 30 whole cycles (5625 samples) taken after the filter has settled.
    double sum = 0, peak = 0;
    for (size_t i = 0; i < 5625; ++i) {
        const double v = out.values[2 * (2048 + i)];
        sum += v;
        peak = std::max(peak, std::abs(v));
    }
    EXPECT_GT(peak, 3000);
    EXPECT_LT(std::abs(sum / 5625), peak * 0.01);
}

// With one DAC on, whichever channel's, the output is its level through the
// filter; once it is off too, exact silence.
TEST(AudioFilter, AllDacsOffGiveExactSilenceAndHoldTheFilter) {
    for (const ChannelRegs& c : ALL_CHANNELS) {
        SCOPED_TRACE(testing::Message() << "channel " << c.number);
        AudioMachine m;
        RecordingSink::State out;
        record_output(m, out);
        m.power_cycle();
        m.w(NR50, 0x77);
        m.w(NR51, 0xFF);
        m.w(c.volume, c.dac_on);
        m.w(NR51, 0xFF);
        run_frames(m, 300);
        const i16 before_off = m.audio().samples[size_t(m.audio().sample_index) - 2];
        ASSERT_GT(before_off, 0);
        // Every DAC off: zeros, not a filtered step.
        m.w(c.volume, 0x00);
        run_frames(m, 500);
        const int at = m.audio().sample_index;
        for (int i = at - 900; i < at; ++i) ASSERT_EQ(m.audio().samples[size_t(i)], 0);
        // DAC on again: the filter takes up where it stopped, so the output
        // resumes near the level it had, not at the full step.
        m.w(c.volume, c.dac_on);
        m.w(NR51, 0xFF);
        run_frames(m, 1);
        const i16 resumed = m.audio().samples[size_t(m.audio().sample_index) - 2];
        EXPECT_NEAR(resumed, before_off, before_off * 0.01);
    }
}

TEST(AudioOutput, NinetySixThousandFramesPerSecondOfMachineTime) {
    // 4194304 cycles of the 4 MHz clock are one second.
    AudioMachine m;
    RecordingSink::State out;
    record_output(m, out);
    const int index_before = m.audio().sample_index;
    m.run(4194304 / 4);
    const long frames = long(out.values.size() / 2) + (m.audio().sample_index - index_before) / 2;
    EXPECT_NEAR(frames, 96000, 1);
    EXPECT_EQ(m.audio().sample_index % 2, 0);
}

TEST(AudioOutput, FullBuffersAreQueuedWhileTheDeviceKeepsUp) {
    struct Case {
        bool player_turbo;
        bool turbo_run;
        u32 queued_bytes;  // per buffer; 0 = nothing queued
    };
    const Case cases[] = {{false, false, 8192}, {true, false, 512}, {false, true, 0}, {true, true, 0}};
    for (const Case& c : cases) {
        AudioMachine m;
        RecordingSink::State out;
        out.queued = 40000;  // over the 32768-byte mark: wait for it to drain
        out.drain_per_ms = 4096;
        record_output(m, out);
        m.gb.player_turbo = c.player_turbo;
        m.gb.turbo_run = c.turbo_run;
        run_frames(m, 2 * 2048);
        if (c.queued_bytes == 0) {
            EXPECT_TRUE(out.queue_calls.empty());
            EXPECT_EQ(out.sleeps, 0u);
            continue;
        }
        ASSERT_EQ(out.queue_calls.size(), 2u);
        EXPECT_EQ(out.queue_calls[0], c.queued_bytes);
        EXPECT_EQ(out.queue_calls[1], c.queued_bytes);
        EXPECT_EQ(out.sleeps, 2u);  // 40000 -> 35904 -> 31808
    }
}

// A device on a busy host drains late and slowly but keeps playing: the
// machine waits for it, however long, and no sound is lost. Only a device
// that has taken no byte for a whole second has stopped; from then on each
// buffer waits its own playing time (so the machine keeps to real time) and
// is dropped, until the device drains again.
TEST(AudioOutput, OnlyADeviceThatStopsDrainingLosesSound) {
    struct Case {
        const char* device;
        u32 drain_per_ms;
        u64 silent_ms;
        u32 drain_period_ms;
        int buffers;
        bool drops;
    };
    const Case cases[] = {
        {"a quarter of real time", 100, 0, 1, 3, false},
        {"one 8192-byte period each 60 ms", 8192 / 60, 0, 60, 3, false},
        {"nothing for 0.9 s, then real time", 384, 900, 1, 3, false},
        {"never", 0, 0, 1, 3, true},
        {"nothing for 1.5 s, then real time", 384, 1500, 1, 40, true},
    };
    // 2048 frames at 96000 Hz.
    const u64 buffer_play_ms = 2048 * 1000 / 96000;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("device drains ") + c.device);
        AudioMachine m;
        RecordingSink::State out;
        out.queued = 40000;  // over the 32768-byte mark: wait for it to drain
        out.drain_per_ms = c.drain_per_ms;
        out.silent_ms = c.silent_ms;
        out.drain_period_ms = c.drain_period_ms;
        record_output(m, out);
        testing::internal::CaptureStdout();
        run_frames(m, c.buffers * 2048);
        const std::string log = testing::internal::GetCapturedStdout();
        const size_t dropped = size_t(m.audio().dropped_buffers);
        EXPECT_EQ(out.queue_calls.size() + dropped, size_t(c.buffers));
        if (!c.drops) {
            EXPECT_EQ(dropped, 0u);
            EXPECT_EQ(log, "");
            continue;
        }
        EXPECT_EQ(log, "Audio device is not playing its queue; dropping sound until it drains\n");
        // The first buffer given up waited the whole second; each later one
        // its own playing time, not another second.
        EXPECT_GE(out.sleeps, 1000 + (dropped - 1) * buffer_play_ms);
        if (c.silent_ms == 0) {
            EXPECT_EQ(dropped, size_t(c.buffers));
            EXPECT_LE(out.sleeps, 1000 + (dropped - 1) * (buffer_play_ms + 1));
            continue;
        }
        // Playing again, the device gets the buffers from then on; while it
        // was stuck the machine kept to real time.
        EXPECT_LT(dropped, size_t(c.buffers));
        EXPECT_GE(out.sleeps, c.silent_ms);
        EXPECT_LE(out.sleeps, c.silent_ms + buffer_play_ms);
    }
}

// While the process is stopped (Ctrl-Z, a debugger) its device is stopped
// too: that time is no stall of the device, however long, wherever the
// machine was when it stopped. A device that has stopped is still found out
// once a second of looks at its queue has gone by, a stop among them or not.
TEST(AudioOutput, TimeTheProcessWasStoppedIsNoStall) {
    struct Case {
        const char* device;
        u32 drain_per_ms;
        u32 drain_period_ms;
        u64 stop_at_sleep;
        u64 stop_ms;
        bool drops;
    };
    const Case cases[] = {
        {"real time, stopped 2.5 s while the machine waits", 384, 1, 5, 2500, false},
        {"real time, stopped 60 s on the wait's first sleep", 384, 1, 1, 60000, false},
        {"one period each 21 ms, stopped 2.5 s", 8192 / 21, 21, 30, 2500, false},
        {"never, stopped 2.5 s", 0, 1, 5, 2500, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("device drains ") + c.device);
        AudioMachine m;
        RecordingSink::State out;
        out.queued = 40000;  // over the 32768-byte mark: wait for it to drain
        out.drain_per_ms = c.drain_per_ms;
        out.drain_period_ms = c.drain_period_ms;
        out.queue_fills = true;
        out.stop_at_sleep = c.stop_at_sleep;
        out.stop_ms = c.stop_ms;
        record_output(m, out);
        testing::internal::CaptureStdout();
        run_frames(m, 60 * 2048);
        const std::string log = testing::internal::GetCapturedStdout();
        ASSERT_GE(out.sleeps, c.stop_at_sleep) << "the stop came";
        const size_t dropped = size_t(m.audio().dropped_buffers);
        EXPECT_EQ(out.queue_calls.size() + dropped, 60u);
        EXPECT_EQ(dropped > 0, c.drops);
        EXPECT_EQ(log, c.drops ? "Audio device is not playing its queue; dropping sound until it drains\n" : "");
        // Found out after a second of looks: the stop shortens that by no
        // more than one gap counts.
        if (c.drops) {
            EXPECT_GE(out.sleeps, 1000 - QUEUE_LOOK_GAP_MS);
        }
    }
}

TEST(AudioOutput, HeadlessMachineNeverWaits) {
    AudioMachine m;
    EXPECT_FALSE(m.audio().device_ready);
    EXPECT_FALSE(m.audio().delay());
    m.run(200000);  // several buffers, nothing to wait for
    EXPECT_GT(m.gb.cpu.next_audio_sample_cycle, m.gb.cpu.cycles_4mhz);
    EXPECT_EQ(m.audio().dropped_buffers, 0u);
}

// ---------------------------------------------------------------------------
// WAV capture

namespace {

u32 le32(const std::vector<u8>& b, size_t at) {
    return u32(b[at]) | u32(b[at + 1]) << 8 | u32(b[at + 2]) << 16 | u32(b[at + 3]) << 24;
}
u16 le16(const std::vector<u8>& b, size_t at) { return u16(b[at] | b[at + 1] << 8); }

struct WavInfo {
    bool valid = false;
    std::string error;
    u16 format = 0, channels = 0, block_align = 0, bits = 0;
    u32 rate = 0, byte_rate = 0;
    std::vector<i16> samples;
};

// Reads a RIFF/WAVE file chunk by chunk, as any player would.
WavInfo read_wav(const std::string& path) {
    WavInfo info;
    std::ifstream in(path, std::ios::binary);
    const std::vector<u8> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto fail = [&](const std::string& why) {
        info.error = why;
        return info;
    };
    if (b.size() < 12 || std::string(b.begin(), b.begin() + 4) != "RIFF" ||
        std::string(b.begin() + 8, b.begin() + 12) != "WAVE")
        return fail("no RIFF/WAVE header");
    if (le32(b, 4) != b.size() - 8) return fail("RIFF size " + std::to_string(le32(b, 4)));
    bool have_format = false;
    for (size_t at = 12; at + 8 <= b.size();) {
        const std::string id(b.begin() + long(at), b.begin() + long(at) + 4);
        const u32 size = le32(b, at + 4);
        if (at + 8 + size > b.size()) return fail("chunk " + id + " runs past the end");
        if (id == "fmt ") {
            info.format = le16(b, at + 8);
            info.channels = le16(b, at + 10);
            info.rate = le32(b, at + 12);
            info.byte_rate = le32(b, at + 16);
            info.block_align = le16(b, at + 20);
            info.bits = le16(b, at + 22);
            have_format = true;
        } else if (id == "data") {
            if (!have_format) return fail("data before fmt");
            for (size_t i = 0; i + 1 < size; i += 2) info.samples.push_back(i16(le16(b, at + 8 + i)));
        }
        at += 8 + size + (size & 1);
    }
    info.valid = have_format;
    return info;
}

}  // namespace

TEST(WavCapture, WritesAValidFileOfEverySample) {
    TempDir dir;
    const std::string path = dir.path("capture.wav");
    AudioMachine m;
    RecordingSink::State out;
    record_output(m, out);
    ASSERT_TRUE(m.audio().open_wav_file_for_writing(path));
    m.power_cycle();
    m.w(NR50, 0x77);
    m.w(NR51, 0x12);
    m.w(NR12, 0xF0);
    m.w(NR14, 0x86);
    m.w(NR22, 0xF0);
    m.w(NR24, 0x84);
    run_frames(m, 2 * 2048 - 2);
    // Stop exactly on a buffer boundary so the device and the file agree.
    while (out.queue_calls.size() < 2) m.run(1);
    m.audio().close_wav_file_for_writing();
    EXPECT_FALSE(m.audio().wav_file_open);

    const WavInfo wav = read_wav(path);
    ASSERT_TRUE(wav.valid) << wav.error;
    EXPECT_EQ(wav.format, 1);
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.rate, 96000u);
    EXPECT_EQ(wav.byte_rate, 384000u);
    EXPECT_EQ(wav.block_align, 4);
    EXPECT_EQ(wav.bits, 16);
    EXPECT_EQ(wav.samples, out.values);
    EXPECT_EQ(std::filesystem::file_size(path), 44u + 2 * 4096 * 2);
}

TEST(WavCapture, EmptyCaptureIsJustTheHeader) {
    TempDir dir;
    const std::string path = dir.path("empty.wav");
    AudioMachine m;
    ASSERT_TRUE(m.audio().open_wav_file_for_writing(path));
    m.audio().close_wav_file_for_writing();
    const WavInfo wav = read_wav(path);
    ASSERT_TRUE(wav.valid) << wav.error;
    EXPECT_TRUE(wav.samples.empty());
    EXPECT_EQ(std::filesystem::file_size(path), 44u);
}

TEST(WavCapture, ShutdownAndDestructionFinishTheFile) {
    TempDir dir;
    for (bool by_shutdown : {true, false}) {
        const std::string path = dir.path(by_shutdown ? "shutdown.wav" : "destroyed.wav");
        {
            AudioMachine m;
            ASSERT_TRUE(m.audio().open_wav_file_for_writing(path));
            run_frames(m, 1000);
            if (by_shutdown) m.gb.shutdown();
        }
        const WavInfo wav = read_wav(path);
        ASSERT_TRUE(wav.valid) << wav.error;
        EXPECT_NEAR(double(wav.samples.size()), 2000.0, 4.0) << path;
    }
}

TEST(WavCapture, UnwritableFileIsReportedAndSoundGoesOn) {
    TempDir dir;
    const std::string path = dir.path("no/such/dir/out.wav");
    AudioMachine m;
    testing::internal::CaptureStdout();
    const bool opened = m.audio().open_wav_file_for_writing(path);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(opened);
    EXPECT_FALSE(m.audio().wav_file_open);
    EXPECT_NE(log.find("Failed to open WAV capture file"), std::string::npos) << log;
    EXPECT_NE(log.find(path), std::string::npos) << log;
    const int before = m.audio().sample_index;
    run_frames(m, 10);
    EXPECT_NE(m.audio().sample_index, before);
}

TEST(WavCapture, FailedWriteStopsTheCaptureWithAMessage) {
    // /dev/full accepts the file but fails every write that reaches it.
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    AudioMachine m;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m.audio().open_wav_file_for_writing("/dev/full"));
    run_frames(m, 20000);  // far more than any stream buffer holds
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(m.audio().wav_file_open);
    EXPECT_NE(log.find("WAV capture to /dev/full stopped"), std::string::npos) << log;
}
