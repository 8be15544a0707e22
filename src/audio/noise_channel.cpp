#include "audio/noise_channel.h"

#include "core/gb.h"

namespace {
constexpr int TIMER_INDEX = 3;
// Past this clock shift the LFSR's clock stops.
constexpr int MAX_CLOCK_SHIFT = 13;
// Cycles per tick of the prescaler behind NR43 divisor codes 1 to 7.
constexpr int NOISE_PRESCALER_UNIT = 8;
// Cycles from a prescaler tick that ends the shift counter's first half
// period to the LFSR step.
constexpr u64 NOISE_START_LATENCY = 10;
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
    dac_on = value >= 8;
    if (!dac_on) silence();
    nr42 = value;
    envelope_period = value & 7;
}

void NoiseChannel::write_nr43(u8 value) {
    if (!gb->audio.powered) return;
    clock_shift = value >> 4;
    seven_bit_mode = value & 0x08;
    divisor_code = value & 7;
    // The timer restarts with the new period even on a stopped channel.
    gb->audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, timer_period());
    nr43 = value;
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

    const u64 now = gb->cpu.cycles_4mhz;
    u64 delay;
    if (was_playing) {
        delay = timer_period() + 8;
    } else if (divisor_code == 0) {
        // Divisor code 0 clocks the shift counter every 4 cycles from the
        // trigger on; the LFSR steps when the counter's bit `clock_shift`
        // first rises, half a period in, plus the start-up latency.
        delay = (u64(4) << clock_shift) + 4 + ((u64(audio.power_on_phase) == (now & 3)) ? 4 : 6);
    } else {
        // Larger divisors count ticks of a prescaler that ticks every 8
        // cycles from power-on and is not restarted by a trigger. The trigger
        // restarts the divide-by-code and shift counters, so the first LFSR
        // step comes code * 2^clock_shift ticks after the trigger. A trigger
        // in the very cycle of a tick misses that tick with code 1, while the
        // divide-by-code counter of larger codes already takes it as its
        // first count.
        const u64 unit = NOISE_PRESCALER_UNIT;
        u64 to_tick = unit - (now - audio.power_on_cycle) % unit;
        if (divisor_code > 1 && to_tick == unit) to_tick = 0;
        delay = to_tick + ((u64(divisor_code) << clock_shift) - 1) * unit + NOISE_START_LATENCY;
    }
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
