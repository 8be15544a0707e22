#pragma once
#include "core/types.h"

class GB;

// Pulse channel: channel 1 (NR10-NR14, with the frequency sweep) or channel 2
// (NR21-NR24). An 11-bit frequency steps an 8-position duty pattern on the
// 4 MHz clock; length counter, volume envelope and (channel 1) sweep are
// clocked by the frame sequencer.
class SquareChannel {
public:
    explicit SquareChannel(int n);

    void reset();
    void register_read_write_handlers(GB* machine);

    void write_nr_0(u8 value);
    void write_nr_1(u8 value);
    void write_nr_2(u8 value);
    void write_nr_3(u8 value);
    void write_nr_4(u8 value);
    void set_so1_enabled(bool on);
    void set_so2_enabled(bool on);

    void tick_length();
    // Called at odd frame-sequencer steps while a delayed step is pending, and
    // at step 7 (`clock`: the 64 Hz envelope clock) always.
    void tick_envelope(bool clock);
    void tick_sweep();
    // Runs a sweep clock or sweep overflow stop that has fallen due by now.
    void catch_up_sweep() {
        if (sweep_clock_due != NEVER || sweep_stop_due != NEVER || sweep_reload_due != NEVER) run_due_sweep();
    }
    // The cycle of the next sweep clock or overflow stop, NEVER when none is
    // pending.
    u64 next_sweep_event() const { return sweep_clock_due < sweep_stop_due ? sweep_clock_due : sweep_stop_due; }
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
        ar(routed_right, routed_left, nr_0, nr_1, nr_2, nr_4, playing, dac_on, volume, output_left, output_right,
           level, previous_level, level_change_cycle, duty, duty_position, length, envelope_initial_volume,
           envelope_increase, envelope_period, envelope_counter, envelope_running, envelope_wake_pending,
           sweep_negate_used, sweep_enabled, sweep_period, sweep_add, sweep_shift, sweep_shadow, sweep_timer,
           step_was_odd, length_enabled, frequency, last_step_cycle, sweep_clock_due, sweep_stop_due,
           sweep_reload_due);
    }

    GB* gb = nullptr;
    int duty_patterns[4][8] = {};
    bool routed_right = true;
    bool routed_left = true;
    int channel_number = 1;
    u8 nr_0 = 0, nr_1 = 0, nr_2 = 0, nr_4 = 0;
    bool enabled = true;
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
    int duty = 0;
    int duty_position = 0;
    int length = 0;
    int envelope_initial_volume = 0;
    bool envelope_increase = false;
    int envelope_period = 0;
    int envelope_counter = 0;
    bool envelope_running = false;
    // Giving a period to the running envelope of a playing channel whose
    // period was 0 makes it step at the next odd frame-sequencer step.
    bool envelope_wake_pending = false;
    bool sweep_negate_used = false;
    bool sweep_enabled = false;
    int sweep_period = 0;
    bool sweep_add = false;
    int sweep_shift = 0;
    int sweep_shadow = 0;
    int sweep_timer = 0;
    bool step_was_odd = false;
    bool length_enabled = false;
    int frequency = 0;
    // 4 MHz-clock cycle of the last duty step.
    u64 last_step_cycle = 0;
    // Channel 1's sweep: the 4 MHz-clock cycle at which a frame-sequencer
    // sweep clock takes effect, and the cycle at which an overflow found by
    // the check after a write-back stops the channel.
    u64 sweep_clock_due = NEVER;
    u64 sweep_stop_due = NEVER;
    // The cycle at which a trigger's reload of the sweep timer, shadow
    // frequency and enable takes effect.
    u64 sweep_reload_due = NEVER;

private:
    void frequency_written(u64 at);
    void run_due_sweep();
    void reload_sweep();
    void clock_sweep(u64 at);
    void overflow_stop_at(u64 cycle);
    int timer_period() const { return (2048 - frequency) * 4; }
    int sweep_calculate();
    void clock_length();
    void step_envelope();
    void silence();
};
