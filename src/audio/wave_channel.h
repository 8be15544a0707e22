#pragma once
#include "core/types.h"

class GB;

// Channel 3: plays the 32 four-bit samples of wave RAM (FF30-FF3F) at the
// rate of an 11-bit frequency, scaled by a 2-bit volume code (NR30-NR34).
// Its timer runs in two phases: a 2-cycle pending phase, then the read.
class WaveChannel {
public:
    void reset();
    void init_wave_ram();
    void unpack_wave_ram();
    void register_read_write_handlers(GB* machine);

    void write_nr30(u8 value);
    void write_nr31(u8 value);
    void write_nr32(u8 value);
    void write_nr33(u8 value);
    void write_nr34(u8 value);
    u8 read_wave_ram(int index) const;
    void write_wave_ram(int index, u8 value);
    void set_so1_enabled(bool on);
    void set_so2_enabled(bool on);

    void tick_length();
    void reset_sound_length();
    void tick_frequency();
    void start();
    void stop_playing();
    void calculate_sample();

    // The channel's whole running state for save states (the mute switch is
    // the player's, not the machine's, and stays out).
    template <class Archive>
    void serialize_extension(Archive& ar) {
        ar(routed_right, routed_left, nr30, nr31, nr32, nr33, nr34, wave_samples, wave_ram, playing, dac_on,
           volume_code, length, step_was_odd, length_enabled, frequency, output_left, output_right, position, level,
           last_sample, last_read_cycle, read_pending);
    }

    GB* gb = nullptr;
    u8 power_on_wave_ram[16] = {};
    bool routed_right = false;
    bool routed_left = false;
    u8 nr30 = 0, nr31 = 0, nr32 = 0, nr33 = 0, nr34 = 0;
    u16 wave_samples[32] = {};
    u8 wave_ram[16] = {};
    bool enabled = false;
    bool playing = false;
    bool dac_on = false;
    int volume_code = 0;
    int length = 0;
    bool step_was_odd = false;
    bool length_enabled = false;
    int frequency = 0;
    i16 output_left = 0;
    i16 output_right = 0;
    int position = 0;
    u8 level = 0;
    u8 last_sample = 0;
    u64 last_read_cycle = NEVER;
    bool read_pending = false;

private:
    // Index of the wave RAM byte the CPU reaches at `index` now, or -1 where
    // the channel holds the bus and the access sees 0xFF.
    int cpu_visible_byte(int index) const;
    void clock_length();
    void silence();
    void corrupt_wave_ram_on_retrigger();
};
