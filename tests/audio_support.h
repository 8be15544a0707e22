#pragma once
// Test support for the audio unit: a machine driven by register writes and
// whole M-cycles, with the sound registers named, and an audio device that
// records what it is given.
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "peripherals_support.h"

inline constexpr u16 NR10 = 0xFF10, NR11 = 0xFF11, NR12 = 0xFF12, NR13 = 0xFF13, NR14 = 0xFF14;
inline constexpr u16 NR21 = 0xFF16, NR22 = 0xFF17, NR23 = 0xFF18, NR24 = 0xFF19;
inline constexpr u16 NR30 = 0xFF1A, NR31 = 0xFF1B, NR32 = 0xFF1C, NR33 = 0xFF1D, NR34 = 0xFF1E;
inline constexpr u16 NR41 = 0xFF20, NR42 = 0xFF21, NR43 = 0xFF22, NR44 = 0xFF23;
inline constexpr u16 NR50 = 0xFF24, NR51 = 0xFF25, NR52 = 0xFF26;
inline constexpr u16 PCM12 = 0xFF76, PCM34 = 0xFF77;
inline constexpr u16 WAVE_RAM = 0xFF30;

// One frame-sequencer step: the divider's bit 12 falls every 8192 CPU cycles.
inline constexpr u64 SEQ_STEP = 8192;

class AudioMachine {
public:
    explicit AudioMachine(const std::string& model = "dmgB", const RomImage& rom = RomImage())
        : tm(rom, model), gb(*tm.gb) {}

    void w(u16 address, u8 value) { gb.write_byte(address, value); }
    u8 r(u16 address) { return gb.read_byte(address); }
    void run(u64 mcycles) { advance_mcycles(gb, int(mcycles)); }
    // Runs whole M-cycles until the CPU clock reaches `cycle` (a multiple of 4
    // away from now).
    void run_to(u64 cycle) {
        while (gb.cpu.cpu_cycles < cycle) gb.cpu.tick();
        gb.audio.catch_up_samples();
    }
    u64 now() const { return gb.cpu.cpu_cycles; }
    Audio& audio() { return gb.audio; }

    // Restarts the divider and switches the unit off and on: every register
    // is clear, and the frame sequencer's first step (step 0, lengths) comes
    // exactly SEQ_STEP cycles after the returned cycle.
    u64 power_cycle() {
        w(REG_DIV, 0);
        w(NR52, 0x00);
        w(NR52, 0x80);
        return now();
    }
    bool playing(int channel) { return (r(NR52) >> (channel - 1)) & 1; }

    TestMachine tm;
    GB& gb;
};

// Register addresses of one channel, for tables over all four.
struct ChannelRegs {
    int number;
    u16 length;    // NRx1
    u16 volume;    // NRx2 (NR30 for the wave channel: the DAC switch)
    u16 control;   // NRx4
    u8 dac_on;     // a value for `volume` that switches the DAC on
    int max_length;
    // The NRx1 value that loads a length counter of n.
    u8 length_value(int n) const { return u8(max_length - n); }
};

inline const ChannelRegs ALL_CHANNELS[] = {
    {1, NR11, NR12, NR14, 0xF0, 64},
    {2, NR21, NR22, NR24, 0xF0, 64},
    {3, NR31, NR30, NR34, 0x80, 256},
    {4, NR41, NR42, NR44, 0xF0, 64},
};

// An audio device whose queue drains by `drain_per_ms` bytes for each
// millisecond slept, and which keeps every byte it is given. Its clock is the
// time slept. A device on a busy host may take nothing for `silent_ms` and
// then take its bytes a period of `drain_period_ms` at a time. With
// `queue_fills` what it is given joins its queue (otherwise the queue only
// drains from where it starts). With `stop_ms`
// the whole process is stopped during sleep number `stop_at_sleep`: the clock
// goes on by that much and the device, stopped too, takes nothing then.
class RecordingSink : public AudioSink {
public:
    struct State {
        u32 queued = 0;
        u32 drain_per_ms = 0;
        u64 silent_ms = 0;
        u32 drain_period_ms = 1;
        bool queue_fills = false;
        u64 stop_at_sleep = 0;
        u64 stop_ms = 0;
        u64 sleeps = 0;
        std::vector<u32> queue_calls;
        std::vector<i16> values;
    };
    explicit RecordingSink(State& s) : state(s) {}
    u32 queued_bytes() override { return state.queued; }
    void queue(const void* data, u32 bytes) override {
        state.queue_calls.push_back(bytes);
        if (state.queue_fills) state.queued += bytes;
        const size_t old = state.values.size();
        state.values.resize(old + bytes / 2);
        std::memcpy(state.values.data() + old, data, bytes);
    }
    void sleep_ms(u32 ms) override {
        for (u32 i = 0; i < ms; ++i) {
            ++state.sleeps;
            // A caller that never stops waiting would hang the test: give way.
            if (state.sleeps > 100000) state.queued = 0;
            if (state.stop_ms > 0 && state.sleeps == state.stop_at_sleep) continue;
            if (state.sleeps <= state.silent_ms || state.sleeps % state.drain_period_ms != 0) continue;
            const u32 drained = state.drain_per_ms * state.drain_period_ms;
            state.queued = state.queued > drained ? state.queued - drained : 0;
        }
    }
    u64 now_ms() override { return state.sleeps + (state.stop_ms > 0 && state.sleeps >= state.stop_at_sleep ? state.stop_ms : 0); }
    State& state;
};

// Attaches a recording device to the machine; the state outlives the sink.
inline RecordingSink::State& record_output(AudioMachine& m, RecordingSink::State& state) {
    m.audio().attach_sink(std::make_unique<RecordingSink>(state));
    return state;
}
