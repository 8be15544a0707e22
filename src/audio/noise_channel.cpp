#include "audio/noise_channel.h"

#include <algorithm>

#include "core/gb.h"

namespace {
constexpr int TIMER_INDEX = 3;
// Past this clock shift the LFSR's clock stops.
constexpr int MAX_CLOCK_SHIFT = 13;
// Cycles per tick of the prescaler behind NR43 divisor codes 1 to 7.
constexpr int NOISE_PRESCALER_UNIT = 8;
// Cycles from a prescaler tick (counted from power-on) to the shift counter's
// increment that it causes.
constexpr u64 NOISE_TICK_PHASE = 2;

// How an NR43 write on a playing channel meets the divide-by-code counter,
// by model class (index: CGB class or not). On CGB the counter keeps the
// prescaler ticks it has counted since the last increment and compares them
// with the new code from the next tick on; it counts nothing under code 0,
// and a tick in the write's own cycle still belongs to the old code. The DMG
// class keeps the older rule: a count in progress ends at the old code, and
// leaving code 0 counts a tick in the write's own cycle or the one before.
struct Nr43Rules {
    bool keeps_counted_ticks;
};
constexpr Nr43Rules NR43_RULES[2] = {
    {false},  // DMG class
    {true},   // CGB class
};
}  // namespace

void NoiseChannel::reset() {
    routed_right = routed_left = true;
    playing = false;
    dac_on = false;
    volume = 0;
    output_left = output_right = 0;
    level = 0;
    step_was_odd = false;
    seven_bit_mode = true;
    divisor_code = 0;
    lfsr = 0;
}

void NoiseChannel::register_read_write_handlers(GB* machine) {
    machine->add_io_handlers_for_address(
        0x20, []() -> u8 { return 0xFF; }, [this](u8 v) { write_nr41(v); });
    machine->add_io_handlers_for_address(
        0x21, [this]() -> u8 { return nr42; }, [this](u8 v) { write_nr42(v); });
    machine->add_io_handlers_for_address(
        0x22, [this]() -> u8 { return nr43; }, [this](u8 v) { write_nr43(v); });
    machine->add_io_handlers_for_address(
        0x23, [this]() -> u8 { return nr44 | 0xBF; }, [this](u8 v) { write_nr44(v); });
}

// ---------------------------------------------------------------------------
// Output

void NoiseChannel::calculate_sample() {
    i16 left = 0, right = 0;
    if (!dac_on) {
        level = 0;
    } else {
        set_channel_level(*this, (playing && !(lfsr & 1)) ? u8(volume) : u8(0), gb->cpu.cycles_4mhz);
        const i16 out = i16((15 - 2 * level) * gb->audio.amplitude);
        left = routed_left ? out : i16(0);
        right = routed_right ? out : i16(0);
    }
    if (left == output_left && right == output_right) return;
    output_left = left;
    output_right = right;
    gb->audio.update_outputs();
}

void NoiseChannel::silence() {
    playing = false;
    level = 0;
    output_left = output_right = 0;
    gb->audio.update_outputs();
    gb->audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, NEVER);
}

void NoiseChannel::stop_playing() {
    playing = false;
    calculate_sample();
    gb->audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, NEVER);
}

void NoiseChannel::set_so1_enabled(bool on) {
    routed_right = on;
    calculate_sample();
}

void NoiseChannel::set_so2_enabled(bool on) {
    routed_left = on;
    calculate_sample();
}

// ---------------------------------------------------------------------------
// Registers

void NoiseChannel::write_nr41(u8 value) {
    if (gb->audio.powered) nr41 = value;
    length = 64 - (value & 63);
}

void NoiseChannel::write_nr42(u8 value) {
    if (!gb->audio.powered) return;
    envelope_initial_volume = value >> 4;
    envelope_increase = value & 0x08;
    gb->audio.catch_up_samples();  // the samples before it heard the DAC as it was
    dac_on = value >= 8;
    if (!dac_on) silence();
    nr42 = value;
    envelope_period = value & 7;
}

// The shift counter as it stands at `cycle` (all its bits; the register is
// clocked by bits 0-13).
u32 NoiseChannel::counter_at(u64 cycle) const {
    if (cycle < counter_ref_cycle) return counter_ref;
    return counter_ref + u32((cycle - counter_ref_cycle) / increment_period());
}

// Cycles from `cycle` to the next rise of the selected counter bit, given the
// counter's value there and the cycle of its next increment.
u64 NoiseChannel::cycles_to_next_rise(u32 count, u64 next_increment, u64 cycle) const {
    const u32 half = u32(1) << clock_shift;
    const u32 rise = (count | (2 * half - 1)) + 1 + half - ((count & half) ? 0 : 2 * half);
    return next_increment + u64(rise - count - 1) * increment_period() - cycle;
}

void NoiseChannel::write_nr43(u8 value) {
    if (!gb->audio.powered) return;
    const u64 now = gb->cpu.cycles_4mhz;
    const int old_code = divisor_code;
    const int old_shift = clock_shift;
    const u64 old_increment = increment_period();
    const u32 count = counter_at(now);
    clock_shift = value >> 4;
    seven_bit_mode = value & 0x08;
    divisor_code = value & 7;
    nr43 = value;
    if (!playing) {
        // The counters start over with the new period even on a stopped
        // channel: the next step comes one whole period after the write.
        counter_ref_cycle = now;
        counter_ref = u32(1) << clock_shift;
        gb->audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, timer_period());
        return;
    }
    // The shift counter runs on and takes the new divisor from its next
    // increment.
    const bool keeps_counted_ticks = NR43_RULES[gb->is_cgb].keeps_counted_ticks;
    const u64 unit = NOISE_PRESCALER_UNIT;
    const u64 power_on = gb->audio.power_on_cycle;
    const u64 done = now < counter_ref_cycle ? 0 : (now - counter_ref_cycle) / old_increment;
    const u64 last_increment = counter_ref_cycle + done * old_increment;
    u64 next_increment = last_increment + old_increment;
    if (divisor_code == 0) {
        // Code 0 clocks the counter every 4 cycles, on the unit's 1 MHz clock.
        if (old_code != 0) next_increment = now + 4 - (now - power_on) % 4;
    } else if (old_code == 0) {
        // The divide-by-code counter, idle under code 0, counts the prescaler
        // ticks from the first one after `from`.
        const u64 from = keeps_counted_ticks ? now : now - NOISE_TICK_PHASE;
        next_increment = from + unit - (from - power_on) % unit + NOISE_TICK_PHASE + u64(divisor_code - 1) * unit;
    } else if (keeps_counted_ticks && now >= counter_ref_cycle) {
        // A tick in the write's own cycle that ended the count under the old
        // code still gives its increment.
        const u64 counted = (now - (last_increment - NOISE_TICK_PHASE)) / unit;
        if (counted < u64(old_code))
            next_increment = last_increment + unit * std::max(u64(divisor_code), counted + 1);
    } else if (keeps_counted_ticks) {
        // Before the trigger's first count has begun.
        next_increment = counter_ref_cycle + unit * u64(divisor_code);
    }
    counter_ref = count;
    counter_ref_cycle = next_increment - increment_period();
    // The register is clocked by the rise of the selected counter bit, behind
    // the bit selector: selecting a high bit where a low one was selected is
    // such a rise, and steps the register at once.
    const bool old_bit = old_shift <= MAX_CLOCK_SHIFT && ((count >> old_shift) & 1);
    const bool new_bit = clock_shift <= MAX_CLOCK_SHIFT && ((count >> clock_shift) & 1);
    if (new_bit && !old_bit) step_lfsr();
    gb->audio.update_next_frequency_cycle_for_channel(
        TIMER_INDEX, clock_shift > MAX_CLOCK_SHIFT ? NEVER : cycles_to_next_rise(count, next_increment, now));
}

void NoiseChannel::write_nr44(u8 value) {
    Audio& audio = gb->audio;
    if (!audio.powered) return;
    const bool was_enabled = length_enabled;
    step_was_odd = audio.next_edge_clocks_length();
    length_enabled = value & 0x40;
    if (nrx4_write_clocks_length(gb->device, step_was_odd, was_enabled, length_enabled, length)) clock_length();
    if (value & 0x80) start();
    nr44 = value;
}

void NoiseChannel::reset_sound_length() {
    length = 0;
    length_enabled = false;
}

void NoiseChannel::reset_envelope_cycles_left() { envelope_counter = envelope_period; }

// ---------------------------------------------------------------------------
// Trigger and timer

void NoiseChannel::start() {
    Audio& audio = gb->audio;
    volume = envelope_initial_volume;
    const bool was_playing = playing;
    playing = true;
    if (length == 0) length = (!step_was_odd && length_enabled) ? 63 : 64;
    envelope_counter = envelope_period;
    envelope_running = true;
    lfsr = 0x7FFF;

    // The trigger restarts the shift counter (and the divide-by-code counter
    // in front of it). The register steps at each rise of the counter's bit
    // `clock_shift`: half a period after a trigger from silence, a whole one
    // plus 8 cycles after a retrigger of the playing channel.
    const u64 now = gb->cpu.cycles_4mhz;
    if (was_playing) {
        counter_ref = u32(1) << clock_shift;
        counter_ref_cycle = now + 8;
    } else if (divisor_code == 0) {
        // Divisor code 0 clocks the counter every 4 cycles on the unit's
        // 1 MHz clock.
        counter_ref = 0;
        counter_ref_cycle = now + 4 + ((u64(audio.power_on_phase) == (now & 3)) ? 4 : 6);
    } else {
        // Larger divisors count ticks of a prescaler that ticks every 8
        // cycles from power-on and is not restarted by a trigger; the counter
        // moves 2 cycles after the tick that ends a count of `divisor_code`.
        // A trigger in the very cycle of a tick misses that tick with code 1,
        // while the divide-by-code counter of larger codes already takes it
        // as its first count.
        const u64 unit = NOISE_PRESCALER_UNIT;
        u64 to_tick = unit - (now - audio.power_on_cycle) % unit;
        if (divisor_code > 1 && to_tick == unit) to_tick = 0;
        counter_ref = 0;
        counter_ref_cycle = now + to_tick + NOISE_TICK_PHASE;
    }
    const u64 delay = cycles_to_next_rise(counter_ref, counter_ref_cycle + increment_period(), now);
    audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, delay);

    calculate_sample();
    if (!dac_on) silence();
}

void NoiseChannel::tick_frequency() {
    Audio& audio = gb->audio;
    if (clock_shift > MAX_CLOCK_SHIFT) {
        audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, NEVER);
        return;
    }
    audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, timer_period());
    step_lfsr();
}

void NoiseChannel::step_lfsr() {
    const u16 feedback = (lfsr ^ (lfsr >> 1)) & 1;
    lfsr = u16((lfsr >> 1) | (feedback << 14));
    if (seven_bit_mode) lfsr = u16((lfsr & ~0x40) | (feedback << 6));
    calculate_sample();
}

// ---------------------------------------------------------------------------
// Frame-sequencer clocks

void NoiseChannel::clock_length() {
    if (--length == 0) stop_playing();
}

void NoiseChannel::tick_length() {
    if (length_enabled && length != 0) clock_length();
}

void NoiseChannel::tick_envelope() {
    if (!playing || !envelope_running || envelope_period == 0) return;
    if (--envelope_counter != 0) {
        // A counter loaded while the period was 0 never counts back to 0.
        if (envelope_counter < 0) envelope_counter = -1;
        return;
    }
    envelope_counter = envelope_period;
    if (envelope_increase) {
        if (volume < 15) ++volume;
        if (volume == 15) envelope_running = false;
    } else if (volume > 0) {
        --volume;
        if (volume == 0) envelope_running = false;
    }
    calculate_sample();
}
