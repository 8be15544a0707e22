#include "audio/wave_channel.h"

#include "core/gb.h"

namespace {
constexpr int TIMER_INDEX = 2;
}

void WaveChannel::reset() {
    routed_right = routed_left = true;
    playing = false;
    dac_on = false;
    volume_code = 1;
    step_was_odd = false;
    output_left = output_right = 0;
    position = 0;
    level = 0;
    last_sample = 0;
    last_read_cycle = NEVER;
    read_pending = false;
    init_wave_ram();
}

void WaveChannel::init_wave_ram() {
    // DMG-class units power up with a fixed pattern; CGB-class units clear it.
    for (int i = 0; i < 16; ++i) wave_ram[i] = gb->is_dmg ? power_on_wave_ram[i] : u8(0);
    unpack_wave_ram();
}

void WaveChannel::unpack_wave_ram() {
    for (int i = 0; i < 16; ++i) {
        wave_samples[2 * i] = wave_ram[i] >> 4;
        wave_samples[2 * i + 1] = wave_ram[i] & 0x0F;
    }
}

void WaveChannel::register_read_write_handlers(GB* machine) {
    machine->add_io_handlers_for_address(
        0x1A, [this]() -> u8 { return nr30 | 0x7F; }, [this](u8 v) { write_nr30(v); });
    machine->add_io_handlers_for_address(
        0x1B, []() -> u8 { return 0xFF; }, [this](u8 v) { write_nr31(v); });
    machine->add_io_handlers_for_address(
        0x1C, [this]() -> u8 { return nr32 | 0x9F; }, [this](u8 v) { write_nr32(v); });
    machine->add_io_handlers_for_address(
        0x1D, []() -> u8 { return 0xFF; }, [this](u8 v) { write_nr33(v); });
    machine->add_io_handlers_for_address(
        0x1E, [this]() -> u8 { return nr34 | 0xBF; }, [this](u8 v) { write_nr34(v); });
    for (int i = 0; i < 16; ++i) {
        machine->add_io_handlers_for_address(
            0x30 + i, [this, i]() -> u8 { return read_wave_ram(i); }, [this, i](u8 v) { write_wave_ram(i, v); });
    }
}

// ---------------------------------------------------------------------------
// Output

void WaveChannel::calculate_sample() {
    i16 left = 0, right = 0;
    if (!dac_on) {
        level = 0;
        last_sample = 0;
    } else {
        if (playing && volume_code != 0) {
            level = u8(last_sample >> (volume_code - 1));
        } else {
            last_sample = 0;
            level = 0;
        }
        const i16 out = i16((15 - 2 * level) * gb->audio.amplitude);
        left = routed_left ? out : i16(0);
        right = routed_right ? out : i16(0);
    }
    if (left == output_left && right == output_right) return;
    output_left = left;
    output_right = right;
    gb->audio.update_outputs();
}

void WaveChannel::silence() {
    playing = false;
    read_pending = false;
    level = 0;
    last_sample = 0;
    output_left = output_right = 0;
    gb->audio.update_outputs();
    gb->audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, NEVER);
}

void WaveChannel::stop_playing() {
    playing = false;
    read_pending = false;
    level = 0;
    last_sample = 0;
    const i16 out = dac_on ? i16(15 * gb->audio.amplitude) : i16(0);
    output_left = routed_left ? out : i16(0);
    output_right = routed_right ? out : i16(0);
    gb->audio.update_outputs();
    gb->audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, NEVER);
}

void WaveChannel::set_so1_enabled(bool on) {
    routed_right = on;
    calculate_sample();
}

void WaveChannel::set_so2_enabled(bool on) {
    routed_left = on;
    calculate_sample();
}

// ---------------------------------------------------------------------------
// Registers

void WaveChannel::write_nr30(u8 value) {
    if (!gb->audio.powered) return;
    gb->audio.catch_up_samples();  // the samples before it heard the DAC as it was
    dac_on = value & 0x80;
    if (!dac_on) silence();
    nr30 = value;
}

void WaveChannel::write_nr31(u8 value) {
    length = 256 - value;
    if (gb->audio.powered) nr31 = value;
}

void WaveChannel::write_nr32(u8 value) {
    if (!gb->audio.powered) return;
    volume_code = (value >> 5) & 3;
    if (dac_on) calculate_sample();
    nr32 = value;
}

void WaveChannel::write_nr33(u8 value) {
    if (!gb->audio.powered) return;
    frequency = (frequency & 0x700) | value;
    nr33 = value;
}

void WaveChannel::write_nr34(u8 value) {
    Audio& audio = gb->audio;
    if (!audio.powered) return;
    frequency = (frequency & 0xFF) | ((value << 8) & 0x700);
    const bool was_enabled = length_enabled;
    step_was_odd = audio.next_edge_clocks_length();
    length_enabled = value & 0x40;
    // When the frame sequencer's next step does not clock lengths, enabling the
    // counter clocks it once at once. The early CGB revisions clock it on any
    // NR34 write that finds length disabled: CPU CGB 0 like an ordinary clock;
    // CPU CGB A and B lower it without stopping the channel at 0, and stop a
    // channel whose counter is 0 already.
    if (!step_was_odd && !was_enabled) {
        if (length_enabled && length != 0) {
            clock_length();
        } else if (gb->device == MODEL_CGB0) {
            if (length != 0) clock_length();
        } else if (gb->device == MODEL_CGBA || gb->device == MODEL_CGBB) {
            if (length != 0)
                --length;
            else
                stop_playing();
        }
    }
    if (value & 0x80) start();
    nr34 = value;
}

void WaveChannel::reset_sound_length() {
    length = 0;
    length_enabled = false;
}

// ---------------------------------------------------------------------------
// Wave RAM

int WaveChannel::cpu_visible_byte(int index) const {
    if (!playing) return index;
    const int device = gb->device;
    if (gb->is_cgb) return device < MODEL_AGB0 ? position >> 1 : -1;
    // DMG: the CPU only gets through on the very cycle the channel reads.
    return last_read_cycle == gb->cpu.cycles_4mhz ? position >> 1 : -1;
}

u8 WaveChannel::read_wave_ram(int index) const {
    const int byte = cpu_visible_byte(index);
    return byte < 0 ? u8(0xFF) : wave_ram[byte];
}

void WaveChannel::write_wave_ram(int index, u8 value) {
    const int byte = cpu_visible_byte(index);
    if (byte < 0) return;
    wave_ram[byte] = value;
    wave_samples[2 * byte] = value >> 4;
    wave_samples[2 * byte + 1] = value & 0x0F;
}

// ---------------------------------------------------------------------------
// Trigger and timer

void WaveChannel::corrupt_wave_ram_on_retrigger() {
    // A DMG retriggered in the two cycles before a sample read copies the byte
    // being read (or its aligned 4-byte block) over the start of wave RAM.
    const int b = (position + 1) >> 1;
    if (b >= 1 && b <= 3) {
        wave_ram[0] = wave_ram[b];
    } else if (b >= 4 && b <= 15) {
        const int block = b & 12;
        for (int i = 0; i < 4; ++i) wave_ram[i] = wave_ram[block + i];
    } else {
        return;
    }
    for (int i = 0; i < 4; ++i) {
        wave_samples[2 * i] = wave_ram[i] >> 4;
        wave_samples[2 * i + 1] = wave_ram[i] & 0x0F;
    }
}

void WaveChannel::start() {
    Audio& audio = gb->audio;
    if (playing && read_pending && gb->is_dmg) corrupt_wave_ram_on_retrigger();
    playing = true;
    position = 0;
    audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, u64(2050 - frequency) * 2);
    if (length == 0) length = (!step_was_odd && length_enabled) ? 255 : 256;
    // The DAC goes on converting the sample it read last.
    calculate_sample();
    read_pending = false;
    if (!dac_on) silence();
}

void WaveChannel::tick_frequency() {
    Audio& audio = gb->audio;
    for (;;) {
        if (!read_pending) {
            read_pending = true;
            audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, 2);
            return;
        }
        last_read_cycle = gb->cpu.cycles_4mhz;
        position = (position + 1) & 31;
        last_sample = u8(wave_samples[position]);
        calculate_sample();
        read_pending = false;
        const u64 delay = u64(2047 - frequency) * 2;
        if (delay != 0) {
            audio.update_next_frequency_cycle_for_channel(TIMER_INDEX, delay);
            return;
        }
        // Frequency 2047: the next pending phase starts on this very cycle.
    }
}

// ---------------------------------------------------------------------------
// Length

void WaveChannel::clock_length() {
    if (--length == 0) stop_playing();
}

void WaveChannel::tick_length() {
    if (length_enabled && length != 0) clock_length();
}
