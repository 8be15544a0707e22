#pragma once
#include <array>
#include <iosfwd>
#include <memory>
#include <string>

#include "audio/noise_channel.h"
#include "audio/square_channel.h"
#include "audio/wave_channel.h"
#include "core/models.h"
#include "core/types.h"

class GB;

inline constexpr u16 REG_NR50 = 0xFF24;
inline constexpr u16 REG_NR51 = 0xFF25;
inline constexpr u16 REG_NR52 = 0xFF26;
inline constexpr u16 REG_PCM12 = 0xFF76;
inline constexpr u16 REG_PCM34 = 0xFF77;

// Output format: 96000 stereo frames of signed 16-bit samples per second.
// An NRx4 write while the frame sequencer's next step does not clock lengths,
// finding the length counter disabled and not at 0: enabling the counter
// clocks it once at once, and CPU CGB 0 to B clock it even when the write
// leaves it disabled.
constexpr bool nrx4_write_clocks_length(int device, bool step_odd, bool was_enabled, bool now_enabled, int length) {
    if (step_odd || was_enabled || length == 0) return false;
    const bool early_cgb = device >= MODEL_CGB0 && device <= MODEL_CGBB;
    return now_enabled || early_cgb;
}

// Sets the level a channel's DAC gets, keeping the level before the change and
// the 4 MHz-clock cycle of the change: the PCM registers of CPU CGB C and
// older still show the old level for the rest of that M-cycle.
template <class Channel>
inline void set_channel_level(Channel& channel, u8 level, u64 now) {
    if (level == channel.level) return;
    channel.previous_level = channel.level;
    channel.level_change_cycle = now;
    channel.level = level;
}

inline constexpr int AUDIO_SAMPLE_RATE = 96000;
inline constexpr int AUDIO_CHANNELS = 2;
// 4 MHz-clock cycles between two output samples (4194304 / 96000).
inline constexpr double CYCLES_PER_SAMPLE = 4194304.0 / 96000.0;
// The sample buffer: 2048 interleaved stereo frames, 8192 bytes.
inline constexpr int SAMPLE_BUFFER_VALUES = 4096;
inline constexpr u32 SAMPLE_BUFFER_BYTES = SAMPLE_BUFFER_VALUES * 2;
// Bytes of each buffer queued while the player holds turbo.
inline constexpr u32 TURBO_QUEUE_BYTES = 512;
// The emulation waits while the device holds more than this (85 ms of sound).
inline constexpr u32 QUEUE_HIGH_WATER_BYTES = 32768;
// A device that has taken no byte from its queue for this long has stopped
// playing. A playing one never goes that long: it takes a period of a few
// tens of milliseconds at a time, late and slowly when the host is busy.
inline constexpr u64 QUEUE_STALL_MS = 1000;
// The most of the time between two looks at the queue that counts towards
// that second. Looks come a millisecond apart while the machine waits, and a
// buffer's emulation apart otherwise; a longer gap is time the process did
// not run (stopped by Ctrl-Z or a debugger, the host suspended), in which its
// device took nothing because it was stopped too, not because it stalled.
inline constexpr u64 QUEUE_LOOK_GAP_MS = 100;
// The playing time of `bytes` of queued sound (16-bit stereo frames).
inline constexpr u64 queue_play_ms(u32 bytes) { return u64(bytes) * 1000 / (AUDIO_SAMPLE_RATE * AUDIO_CHANNELS * 2); }

// The host's audio device as the sample output sees it: a byte queue that the
// device drains in real time. It is called once per full buffer (every 2048
// frames), never per sample. The SDL implementation is in audio_output.cpp;
// a machine without one runs silent and unthrottled.
class AudioSink {
public:
    virtual ~AudioSink() = default;
    virtual u32 queued_bytes() = 0;
    virtual void queue(const void* data, u32 bytes) = 0;
    virtual void sleep_ms(u32 ms) = 0;
    // A millisecond clock that runs on while the machine emulates.
    virtual u64 now_ms() = 0;
};

// The audio processing unit: the master registers NR50-NR52 (and PCM12/PCM34
// on CGB), power, the 512 Hz frame sequencer, the dispatch of the four channel
// timers, mixing, the high-pass filter, the sample buffer and WAV capture.
class Audio {
public:
    Audio();
    ~Audio();
    Audio(const Audio&) = delete;
    Audio& operator=(const Audio&) = delete;

    // Creates the channels. Opens no device: a host that plays sound calls
    // open_device() (or attach_sink()) itself, so headless machines stay silent.
    void init();
    void set_gb(GB* machine);
    void register_read_write_handlers(GB* machine);
    void reset();
    void set_boot_rom_values();

    // --- host audio device (open_device/close_device live in audio_output.cpp) ---
    bool open_device();
    void close_device();
    void attach_sink(std::unique_ptr<AudioSink> new_sink);
    // Sleeps 1 ms and returns true while the device holds more than the
    // high-water mark; false at once otherwise (or without a device).
    bool delay();

    // --- master registers ---
    u8 read_nr52() const;
    u8 read_pcm12() const;
    u8 read_pcm34() const;
    template <class Channel>
    u8 pcm_level(const Channel& channel) const;
    void write_nr50(u8 value);
    void write_nr51(u8 value);
    void write_nr52(u8 value);
    // The all-sound switch: every channel takes the inverse of channel 1's switch.
    void toggle();

    // --- frame sequencer ---
    void tick_frame_sequencer();
    void update_next_frame_seq_update_cycle();
    // The timer has restarted the divider from `old_counter`; `sequencer_bit`
    // is the divider bit the sequencer watched up to the restart.
    void divider_restarted(u16 old_counter, u16 sequencer_bit);
    // Called at the first M-cycle boundary of a new CPU speed, after the
    // divider restart of the switch.
    void speed_changed();
    // Whether the next divider edge clocks the length counters. An edge that
    // power-on swallows clocks nothing, so while one is pending the NRx4
    // length rules see a sequencer whose next edge skips the lengths.
    bool next_edge_clocks_length() const { return (frame_seq_step & 1) && !skip_next_frame_seq_step; }

    // --- channel timers, mixing and sample output ---
    void tick_frequency();
    void update_next_frequency_cycle_for_channel(int channel, u64 delay);
    // Makes the channel-timer dispatch run no later than 4 MHz cycle `cycle`
    // (channel 1's sweep events ride on it).
    void wake_at(u64 cycle);
    void update_outputs();
    // Produces one sample and moves the sample clock on.
    void sample_tick();
    // Produces the samples due up to 4 MHz cycle `through`, or up to now
    // (before the sample of this cycle while the channel timers of this
    // cycle run).
    void catch_up_samples(u64 through);
    void catch_up_samples();
    // The clocks were set, not run (a state loaded, the boot program's time
    // skipped): a sample due at or behind them is never produced, as an
    // event the clock does not meet, until a reset schedules the next one.
    void clocks_set();
    bool sample_clock_stopped = false;

    // --- WAV capture ---
    bool open_wav_file_for_writing(const std::string& path = "output.wav");
    void write_samples(i16 left, i16 right);
    static void write_word(std::ostream& out, unsigned long value, unsigned int size);
    void close_wav_file_for_writing();

    // What a save state holds of the unit beyond the seventeen fields the
    // machine core writes itself: the sequencer's clock phase and lag, the
    // noise prescaler's origin and the four channels.
    template <class Archive>
    void serialize_extension(Archive& ar) {
        ar(sequencer_clock_parity, frame_seq_delay, power_on_cycle);
        channel1->serialize_extension(ar);
        channel2->serialize_extension(ar);
        channel3->serialize_extension(ar);
        channel4->serialize_extension(ar);
    }
    // Refuses channel values no running unit can hold (table positions,
    // shift amounts, counters).
    void check_loaded_state() const;

    u32 device_id = 0;
    GB* gb = nullptr;
    std::unique_ptr<SquareChannel> channel1;
    std::unique_ptr<SquareChannel> channel2;
    std::unique_ptr<WaveChannel> channel3;
    std::unique_ptr<NoiseChannel> channel4;
    u8 nr50 = 0;
    u8 nr51 = 0;
    u8 audio_spare_byte = 0;
    bool device_ready = false;
    bool powered = true;
    bool skip_next_frame_seq_step = false;
    int left_volume = 7;
    int right_volume = 7;
    int frame_seq_step = 0;
    std::array<i16, SAMPLE_BUFFER_VALUES> samples{};
    int sample_index = 0;
    std::array<u64, 4> next_frequency_cycle{NEVER, NEVER, NEVER, NEVER};
    double next_sample_cycle = 0.0;
    int power_on_phase = 0;
    // The unit's 2 MHz clock, which power-on starts: the parity of the 4 MHz
    // clock at its ticks. Divider edges reach the frame sequencer on a tick.
    int sequencer_clock_parity = 0;
    // CPU-clock cycles from a divider edge to the frame-sequencer step: 2 in
    // double speed while the CPU's M-cycles fall between the ticks, else 0.
    u32 frame_seq_delay = 0;
    // 4 MHz-clock cycle of the last power-on: the noise prescaler counts from it.
    u64 power_on_cycle = 0;
    double high_pass_left_capacitor = 0.0;
    double high_pass_right_capacitor = 0.0;
    int amplitude = 8;
    i16 mixed_left = 0;
    i16 mixed_right = 0;

    // WAV capture: the switch the machine's constructor looks at, and whether
    // a capture file is open now. Every output sample goes to an open file.
    bool wav_capture_enabled = false;
    bool wav_file_open = false;

    // Buffers dropped because the device stopped draining its queue.
    u64 dropped_buffers = 0;

private:
    void schedule_frame_sequencer();
    bool step_in_flight() const;
    void schedule_next_sample();
    void put_sample(i16 left, i16 right);
    void recompute_next_frequency_event();
    void flush_buffer();
    void power_off();
    void power_on();
    void stop_wav_capture(const char* why);

    std::unique_ptr<AudioSink> sink;
    // The device's queue as last seen, when that was on the sink's clock, and
    // how long it has been seen since it last drained (or held no more than
    // the mark), each gap between two looks counted up to QUEUE_LOOK_GAP_MS.
    u32 last_queued_bytes = 0;
    u64 last_look_ms = 0;
    u64 undrained_ms = 0;
    bool reported_stall = false;
    bool frequency_tick_running = false;

    std::unique_ptr<std::ofstream> wav_file;
    std::string wav_path;
    u64 wav_data_position = 0;
    u64 wav_data_bytes = 0;
};
