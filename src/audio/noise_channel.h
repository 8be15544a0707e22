#pragma once
#include "core/types.h"

class GB;

// Channel 4: a 15-bit linear-feedback shift register clocked by a timer on
// the 4 MHz clock; while bit 0 is clear the envelope volume reaches the DAC.
// Registers NR41-NR44; length counter and envelope like the pulse channels.
class NoiseChannel {
public:
    void reset();
    void register_read_write_handlers(GB* machine);

    void write_nr41(u8 value);
    void write_nr42(u8 value);
    void write_nr43(u8 value);
    void write_nr44(u8 value);
    void set_so1_enabled(bool on);
    void set_so2_enabled(bool on);

    void tick_length();
    void tick_envelope();
    void reset_sound_length();
    void reset_envelope_cycles_left();
    void tick_frequency();
    void start();
    void stop_playing();
    void calculate_sample();

    // The channel's whole running state for save states (the mute switch is
    // the player's, not the machine's, and stays out).
    template <class Archive>
    void serialize_extension(Archive& ar) {
        ar(routed_right, routed_left, nr41, nr42, nr43, nr44, playing, dac_on, volume, output_left, output_right,
           level, previous_level, level_change_cycle, length, envelope_initial_volume, envelope_increase,
           envelope_period, envelope_counter, envelope_running, step_was_odd, length_enabled, seven_bit_mode,
           clock_shift, divisor_code, lfsr, counter_ref, counter_ref_cycle);
    }

    bool routed_right = false;
    bool routed_left = false;
    int divisors[8] = {};
    GB* gb = nullptr;
    u8 nr41 = 0, nr42 = 0, nr43 = 0, nr44 = 0;
    bool enabled = false;
    bool playing = false;
    bool dac_on = false;
    int volume = 0;
    i16 output_left = 0;
    i16 output_right = 0;
    u8 level = 0;
    // The level before its last change, and the 4 MHz-clock cycle of that
    // change (PCM12/PCM34 on CPU CGB C and older, see Audio::read_pcm12).
    u8 previous_level = 0;
    u64 level_change_cycle = 0;
    int length = 0;
    int envelope_initial_volume = 0;
    bool envelope_increase = false;
    int envelope_period = 0;
    int envelope_counter = 0;
    bool envelope_running = false;
    bool step_was_odd = false;
    bool length_enabled = false;
    bool seven_bit_mode = false;
    int clock_shift = 0;
    int divisor_code = 0;
    u16 lfsr = 0;
    // The shift counter whose bit `clock_shift` clocks the register: it held
    // `counter_ref` at the 4 MHz cycle `counter_ref_cycle` (an increment, or
    // where one would have been) and goes up by one every increment_period()
    // cycles from there. Reset by a trigger, not by NR43.
    u32 counter_ref = 0;
    u64 counter_ref_cycle = 0;

private:
    // Timer period in 4 MHz cycles.
    u64 timer_period() const { return u64(divisors[divisor_code]) << clock_shift; }
    // Cycles per shift-counter increment: half the divisor.
    u64 increment_period() const { return u64(divisors[divisor_code]) / 2; }
    u32 counter_at(u64 cycle) const;
    u64 cycles_to_next_rise(u32 count, u64 next_increment, u64 cycle) const;
    void step_lfsr();
    void clock_length();
    void silence();
};
