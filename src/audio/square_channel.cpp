#include "audio/square_channel.h"

#include <algorithm>

#include "core/gb.h"

namespace {

// Duty waveforms by NRx1 bits 6-7: 12.5 %, 25 %, 50 %, 75 %.
constexpr int DUTY_TABLE[4][8] = {
    {0, 0, 0, 0, 0, 0, 0, 1},
    {1, 0, 0, 0, 0, 0, 0, 1},
    {1, 0, 0, 0, 0, 1, 1, 1},
    {0, 1, 1, 1, 1, 1, 1, 0},
};

// Cycles after a duty step during which the period counter still takes a new
// frequency for the period that has just begun: 4 (one single-speed M-cycle).
// CPU CGB D and E keep the 4 in double speed; the earlier CGB revisions and
// the AGB take a write only in the M-cycle of the step, 2 cycles there.
constexpr u64 FREQUENCY_RELOAD_WINDOW = 4;
constexpr u64 FREQUENCY_RELOAD_WINDOW_ONE_M_DOUBLE = 2;
// Cycles from a frame-sequencer sweep step to the sweep unit's clock.
constexpr u64 SWEEP_CLOCK_LATENCY = 4;
// Cycles from a trigger to its reload of the sweep timer and shadow frequency.
constexpr u64 TRIGGER_SWEEP_RELOAD_LATENCY = 12;
// Cycles the serial overflow check takes per bit of the sweep shift.
constexpr u64 SWEEP_CHECK_CYCLES_PER_BIT = 4;

// The sweep's overflow checks, by model class (index: CGB class or not). On
// CGB a trigger's check of the new frequency goes through the same serial
// shifter as the check after a write-back, from 8 cycles after the trigger,
// and a check that ends while NR10's shift is 0 stops nothing; the period
// counter takes a written-back frequency like an NRx3 write, so a write-back
// in the 4 cycles after a duty step sets the period just begun. The DMG class
// keeps the instant trigger check and the period counter apart from the sweep.
struct SweepRules {
    bool serial_trigger_check;
    u64 trigger_check_start;  // cycles after the trigger
    bool stop_needs_shift;
    bool write_back_reloads_period;
};
constexpr SweepRules SWEEP_RULES[2] = {
    {false, 0, false, false},  // DMG class
    {true, 8, true, true},     // CGB class
};

}  // namespace

SquareChannel::SquareChannel(int n) : channel_number(n) {
    for (int d = 0; d < 4; ++d) std::copy(std::begin(DUTY_TABLE[d]), std::end(DUTY_TABLE[d]), duty_patterns[d]);
}

void SquareChannel::reset() { nr_0 = nr_1 = nr_2 = nr_4 = 0; }

void SquareChannel::register_read_write_handlers(GB* machine) {
    const int base = channel_number == 1 ? 0x10 : 0x15;
    if (channel_number == 1) {
        machine->add_io_handlers_for_address(
            base + 0, [this]() -> u8 { return nr_0 | 0x80; }, [this](u8 v) { write_nr_0(v); });
    }
    machine->add_io_handlers_for_address(
        base + 1, [this]() -> u8 { return nr_1 | 0x3F; }, [this](u8 v) { write_nr_1(v); });
    machine->add_io_handlers_for_address(
        base + 2, [this]() -> u8 { return nr_2; }, [this](u8 v) { write_nr_2(v); });
    machine->add_io_handlers_for_address(
        base + 3, []() -> u8 { return 0xFF; }, [this](u8 v) { write_nr_3(v); });
    machine->add_io_handlers_for_address(
        base + 4, [this]() -> u8 { return nr_4 | 0xBF; }, [this](u8 v) { write_nr_4(v); });
}

// ---------------------------------------------------------------------------
// Output

void SquareChannel::calculate_sample() {
    Audio& audio = gb->audio;
    i16 left = 0, right = 0;
    if (!dac_on) {
        level = 0;
    } else {
        set_channel_level(*this, (playing && duty_patterns[duty][duty_position]) ? u8(volume) : u8(0), gb->cpu.cycles_4mhz);
        // The DAC maps level 0..15 onto +1..-1.
        const i16 out = i16((15 - 2 * level) * audio.amplitude);
        left = routed_left ? out : i16(0);
        right = routed_right ? out : i16(0);
    }
    if (left == output_left && right == output_right) return;
    output_left = left;
    output_right = right;
    audio.update_outputs();
}

// Stops the channel because its DAC went off: no level reaches the mixer.
void SquareChannel::silence() {
    playing = false;
    level = 0;
    output_left = output_right = 0;
    gb->audio.update_outputs();
    gb->audio.update_next_frequency_cycle_for_channel(channel_number - 1, NEVER);
}

void SquareChannel::stop_playing() {
    playing = false;
    calculate_sample();
    gb->audio.update_next_frequency_cycle_for_channel(channel_number - 1, NEVER);
}

void SquareChannel::set_so1_enabled(bool on) {
    routed_right = on;
    calculate_sample();
}

void SquareChannel::set_so2_enabled(bool on) {
    routed_left = on;
    calculate_sample();
}

// ---------------------------------------------------------------------------
// Registers

void SquareChannel::write_nr_0(u8 value) {
    catch_up_sweep();
    if (!gb->audio.powered) return;
    sweep_period = (value >> 4) & 7;
    // Leaving subtract mode after a subtracting calculation disables the channel.
    const bool adds = !(value & 0x08);
    if (!sweep_add && adds && sweep_negate_used) stop_playing();
    nr_0 = value;
    sweep_add = adds;
    sweep_shift = value & 7;
}

void SquareChannel::write_nr_1(u8 value) {
    if (gb->audio.powered) {
        nr_1 = value;
        duty = value >> 6;
    }
    length = 64 - (value & 63);
}

void SquareChannel::write_nr_2(u8 value) {
    catch_up_sweep();
    if (!gb->audio.powered) return;
    const int old_period = envelope_period;
    const bool old_increase = envelope_increase;
    envelope_initial_volume = value >> 4;
    envelope_increase = value & 0x08;
    if (playing) {
        // Writing the envelope of a running channel nudges its volume.
        int v = envelope_increase ? volume + 1 : volume;
        if (envelope_increase != old_increase) v = 16 - v;
        const int new_period = value & 7;
        if (old_period == 0 && new_period != 0) {
            if (v >= 1 && !envelope_increase) --v;
        } else if (old_period > 0) {
            if (envelope_increase) --v;
        }
        volume = v & 15;
        // A period given to an envelope held at period 0 takes effect with a
        // volume step at the next odd sequencer step, which restarts the count.
        if (old_period == 0 && new_period != 0) envelope_wake_pending = true;
    }
    calculate_sample();
    gb->audio.catch_up_samples();  // the samples before it heard the DAC as it was
    dac_on = value > 7;
    if (!dac_on) silence();
    envelope_period = value & 7;
    nr_2 = value;
}

void SquareChannel::write_nr_3(u8 value) {
    catch_up_sweep();
    if (!gb->audio.powered) return;
    frequency = (frequency & 0x700) | value;
    frequency_written(gb->cpu.cycles_4mhz);
}

// The period counter reloads from the frequency registers during the 4 cycles
// after a duty step, so a write within them (at 4 MHz cycle `at`, now or a
// sweep write-back just run) sets the length of the period already running.
void SquareChannel::frequency_written(u64 at) {
    const u64 now = gb->cpu.cycles_4mhz;
    const bool late_cgb = gb->device == MODEL_CGBD || gb->device == MODEL_CGBE;
    const u64 window =
        gb->double_speed && !late_cgb ? FREQUENCY_RELOAD_WINDOW_ONE_M_DOUBLE : FREQUENCY_RELOAD_WINDOW;
    if (!playing || at - last_step_cycle >= window) return;
    gb->audio.update_next_frequency_cycle_for_channel(channel_number - 1,
                                                      last_step_cycle + u64(timer_period()) - now);
}

void SquareChannel::write_nr_4(u8 value) {
    Audio& audio = gb->audio;
    if (!audio.powered) return;
    catch_up_sweep();
    frequency = (frequency & 0xFF) | ((value << 8) & 0x700);
    const bool was_enabled = length_enabled;
    step_was_odd = audio.next_edge_clocks_length();
    length_enabled = value & 0x40;
    if (nrx4_write_clocks_length(gb->device, step_was_odd, was_enabled, length_enabled, length)) clock_length();
    if (value & 0x80)
        start();
    else
        frequency_written(gb->cpu.cycles_4mhz);
    nr_4 = value;
}

void SquareChannel::reset_sound_length() {
    length = 0;
    length_enabled = false;
}

void SquareChannel::reset_envelope_cycles_left() { envelope_counter = envelope_period; }

// ---------------------------------------------------------------------------
// Trigger and timer

int SquareChannel::sweep_calculate() {
    const int delta = sweep_shadow >> sweep_shift;
    if (sweep_add) return sweep_shadow + delta;
    sweep_negate_used = true;
    return sweep_shadow - delta;
}

void SquareChannel::start() {
    Audio& audio = gb->audio;
    const bool was_playing = playing;
    playing = true;
    volume = envelope_initial_volume;

    const u64 now = gb->cpu.cycles_4mhz;
    u64 delay = u64(timer_period()) + (was_playing ? 0 : 4);
    delay += (u64(audio.power_on_phase) == (now & 3)) ? 4 : 6;
    audio.update_next_frequency_cycle_for_channel(channel_number - 1, delay);

    if (length == 0) length = (!step_was_odd && length_enabled) ? 63 : 64;

    envelope_running = true;
    envelope_wake_pending = false;
    envelope_counter = envelope_period;
    sweep_stop_due = NEVER;
    // The trigger checks the new frequency for an overflow, and ends a check
    // still running from the last write-back; the sweep unit itself (timer,
    // shadow frequency, enable) reloads a few cycles later, and a sweep clock
    // before that works on the state it had.
    sweep_negate_used = false;
    if (channel_number == 1) {
        sweep_reload_due = now + TRIGGER_SWEEP_RELOAD_LATENCY;
        if (sweep_shift > 0) {
            const int delta = frequency >> sweep_shift;
            if (!sweep_add) sweep_negate_used = true;
            if (sweep_add && frequency + delta > 2047) {
                const SweepRules& rules = SWEEP_RULES[gb->is_cgb];
                if (rules.serial_trigger_check)
                    overflow_stop_at(now + rules.trigger_check_start + u64(sweep_shift) * SWEEP_CHECK_CYCLES_PER_BIT);
                else
                    stop_playing();
            }
        }
    }

    calculate_sample();
    // A channel started from silence shows level 0 until its first timer step.
    if (!was_playing) level = 0;

    if (!dac_on) silence();
}

void SquareChannel::tick_frequency() {
    last_step_cycle = gb->cpu.cycles_4mhz;
    gb->audio.update_next_frequency_cycle_for_channel(channel_number - 1, u64(timer_period()));
    duty_position = (duty_position + 1) & 7;
    calculate_sample();
}

// ---------------------------------------------------------------------------
// Frame-sequencer clocks

void SquareChannel::clock_length() {
    if (--length == 0) stop_playing();
}

void SquareChannel::tick_length() {
    if (length_enabled && length != 0) clock_length();
}

// The envelope timer counts 64 Hz clocks while the period is not 0; a period
// of 0 holds it, so writing 0 stops every later step at once.
void SquareChannel::tick_envelope(bool clock) {
    if (envelope_wake_pending) {
        envelope_wake_pending = false;
        if (playing && envelope_running && envelope_period != 0) {
            step_envelope();
            return;
        }
    }
    if (!clock || !playing || !envelope_running || envelope_period == 0) return;
    if (--envelope_counter > 0) return;
    step_envelope();
}

void SquareChannel::step_envelope() {
    envelope_counter = envelope_period;
    if (envelope_increase) {
        if (volume < 15) ++volume;
        if (volume == 15) envelope_running = false;
    } else {
        if (volume > 0) {
            --volume;
            if (volume == 0) envelope_running = false;
        }
    }
    calculate_sample();
}

// The frame sequencer's sweep clock reaches the sweep unit 4 cycles later,
// where it may change the period counter's frequency.
void SquareChannel::tick_sweep() {
    catch_up_sweep();
    sweep_clock_due = gb->cpu.cycles_4mhz + SWEEP_CLOCK_LATENCY;
    gb->audio.wake_at(sweep_clock_due);
}

void SquareChannel::reload_sweep() {
    sweep_reload_due = NEVER;
    sweep_shadow = frequency;
    sweep_enabled = sweep_period != 0 || sweep_shift != 0;
    sweep_timer = sweep_period;
}

// A trigger's reload of the sweep unit and a sweep clock that have fallen due
// by now, in the order they fell (a clock in the reload's own cycle comes
// after it).
void SquareChannel::run_due_sweep() {
    const u64 now = gb->cpu.cycles_4mhz;
    if (sweep_reload_due <= now && sweep_reload_due <= sweep_clock_due) reload_sweep();
    if (sweep_clock_due <= now) {
        const u64 due = sweep_clock_due;
        sweep_clock_due = NEVER;
        clock_sweep(due);
    }
    if (sweep_reload_due <= now) reload_sweep();
    if (sweep_stop_due <= now) {
        sweep_stop_due = NEVER;
        if (playing && (sweep_shift != 0 || !SWEEP_RULES[gb->is_cgb].stop_needs_shift)) stop_playing();
    }
}

void SquareChannel::clock_sweep(u64 at) {
    if (!playing || !sweep_enabled) return;
    sweep_timer = (sweep_timer - 1) & 7;
    if (sweep_timer != 0) return;
    sweep_timer = sweep_period;
    if (sweep_period == 0) return;
    const int n = sweep_calculate();
    if (n > 2047) {
        stop_playing();
        return;
    }
    if (n == 0 || sweep_shift == 0) return;
    frequency = n;
    sweep_shadow = n;
    if (SWEEP_RULES[gb->is_cgb].write_back_reloads_period) frequency_written(at);
    if (!sweep_add) return;  // sweep_calculate marked the subtraction already
    // The check of the written-back frequency shifts it serially, one bit every
    // 4 cycles, so an overflow stops the channel 4 * `sweep_shift` cycles later.
    if (n + (n >> sweep_shift) > 2047) overflow_stop_at(at + u64(sweep_shift) * SWEEP_CHECK_CYCLES_PER_BIT);
}

// The stop of an overflow found by a serial check comes at its own cycle,
// whether or not anything reads the channel then.
void SquareChannel::overflow_stop_at(u64 cycle) {
    sweep_stop_due = cycle;
    gb->audio.wake_at(cycle);
}
