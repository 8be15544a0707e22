#include "audio/audio.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "core/gb.h"
#include "core/save_state.h"

namespace {

// What DMG-class units hold in wave RAM at power-up.
constexpr u8 DMG_POWER_ON_WAVE_RAM[16] = {0x36, 0xCC, 0x43, 0x3C, 0x39, 0x23, 0x7F, 0x4F,
                                          0xFB, 0x0E, 0xC6, 0xCA, 0xD1, 0x62, 0x74, 0xF3};

// Noise timer divisors by NR43 bits 0-2, in 4 MHz cycles.
constexpr int NOISE_DIVISORS[8] = {8, 16, 32, 48, 64, 80, 96, 112};

// Per-sample decay of the output capacitor (time constant about 545 samples).
constexpr double HIGH_PASS_CHARGE_FACTOR = 0.998167;

// The RIFF size fields are 32 bits wide: the data chunk stops growing here.
constexpr u64 MAX_WAV_DATA_BYTES = 0xFFFFFFD8u;

i16 to_sample(double value) {
    if (value > 32767.0) return 32767;
    if (value < -32768.0) return -32768;
    return i16(value);  // truncates toward zero
}

}  // namespace

Audio::Audio() = default;

Audio::~Audio() {
    if (wav_file_open) close_wav_file_for_writing();
}

void Audio::init() {
    channel1 = std::make_unique<SquareChannel>(1);
    channel2 = std::make_unique<SquareChannel>(2);
    channel3 = std::make_unique<WaveChannel>();
    std::memcpy(channel3->power_on_wave_ram, DMG_POWER_ON_WAVE_RAM, sizeof DMG_POWER_ON_WAVE_RAM);
    channel3->enabled = true;
    channel4 = std::make_unique<NoiseChannel>();
    std::memcpy(channel4->divisors, NOISE_DIVISORS, sizeof NOISE_DIVISORS);
    channel4->enabled = true;
}

void Audio::set_gb(GB* machine) {
    gb = machine;
    channel1->gb = machine;
    channel2->gb = machine;
    channel3->gb = machine;
    channel4->gb = machine;
}

void Audio::register_read_write_handlers(GB* machine) {
    channel1->register_read_write_handlers(machine);
    channel2->register_read_write_handlers(machine);
    channel3->register_read_write_handlers(machine);
    channel4->register_read_write_handlers(machine);
    machine->add_io_handlers_for_address(
        REG_NR50 - 0xFF00, [this]() -> u8 { return nr50; }, [this](u8 v) { write_nr50(v); });
    machine->add_io_handlers_for_address(
        REG_NR51 - 0xFF00, [this]() -> u8 { return nr51; }, [this](u8 v) { write_nr51(v); });
    machine->add_io_handlers_for_address(
        REG_NR52 - 0xFF00,
        [this]() -> u8 {
            channel1->catch_up_sweep();
            return read_nr52();
        },
        [this](u8 v) { write_nr52(v); });
    if (machine->is_cgb) {
        machine->add_io_handlers_for_address(
            REG_PCM12 - 0xFF00,
            [this]() -> u8 {
                channel1->catch_up_sweep();
                return read_pcm12();
            },
            [](u8) {});
        machine->add_io_handlers_for_address(
            REG_PCM34 - 0xFF00, [this]() -> u8 { return read_pcm34(); }, [](u8) {});
    }
}

void Audio::reset() {
    channel1->playing = true;
    channel1->reset();
    channel2->reset();
    channel3->reset();
    channel4->reset();
    next_frequency_cycle.fill(NEVER);
    recompute_next_frequency_event();
    schedule_frame_sequencer();
    next_sample_cycle = double(gb->cpu.cycles_4mhz) + CYCLES_PER_SAMPLE;
    gb->cpu.set_next_audio_sample_cycle(u64(next_sample_cycle));
    sample_clock_stopped = false;
    frame_seq_step = 0;
}

void Audio::set_boot_rom_values() {
    write_nr52(0xF1);
    channel1->write_nr_0(0x00);
    channel1->write_nr_1(0xBF);
    channel1->write_nr_2(0xF3);
    channel1->write_nr_4(0x00);
    channel2->write_nr_1(0x00);
    channel2->write_nr_2(0x00);
    channel2->write_nr_4(0x00);
    if (powered) {
        left_volume = right_volume = 28;
        update_outputs();
        nr50 = 0x77;
        write_nr51(0xF3);
    }
    // Only the logo screen plays the chime on channel 1; the SGB boot program
    // shows no logo, so channel 1 has never been started there.
    if (model_is_sgb(gb->device)) channel1->playing = false;
    if (gb->is_cgb && gb->device != MODEL_CGB0) {
        for (int i = 0; i < 16; ++i) channel3->wave_ram[i] = (i & 1) ? 0xFF : 0x00;
        channel3->unpack_wave_ram();
    }
    schedule_frame_sequencer();
    next_sample_cycle = double(gb->cpu.cycles_4mhz) + CYCLES_PER_SAMPLE;
    gb->cpu.set_next_audio_sample_cycle(u64(next_sample_cycle));
    sample_clock_stopped = false;
}

// ---------------------------------------------------------------------------
// Master registers and power

u8 Audio::read_nr52() const {
    return u8((powered << 7) | 0x70 | (channel1->playing << 0) | (channel2->playing << 1) |
              (channel3->playing << 2) | (channel4->playing << 3));
}

// CPU CGB C and older read the level of channels 1, 2 and 4 as it was before
// a change made in the same M-cycle as the read.
template <class Channel>
u8 Audio::pcm_level(const Channel& channel) const {
    if (gb->device < MODEL_CGB0 || gb->device > MODEL_CGBC) return channel.level;
    const u64 m_cycle = gb->double_speed ? 2 : 4;
    return gb->cpu.cycles_4mhz - channel.level_change_cycle < m_cycle ? channel.previous_level : channel.level;
}

u8 Audio::read_pcm12() const {
    return u8(pcm_level(*channel1) | (pcm_level(*channel2) << 4));
}

u8 Audio::read_pcm34() const {
    return u8(channel3->level | (pcm_level(*channel4) << 4));
}

void Audio::write_nr50(u8 value) {
    if (!powered) return;
    left_volume = ((value >> 4) & 7) * 4;
    right_volume = (value & 7) * 4;
    update_outputs();
    nr50 = value;
}

void Audio::write_nr51(u8 value) {
    if (!powered) return;
    channel4->set_so2_enabled(value & 0x80);
    channel3->set_so2_enabled(value & 0x40);
    channel2->set_so2_enabled(value & 0x20);
    channel1->set_so2_enabled(value & 0x10);
    channel4->set_so1_enabled(value & 0x08);
    channel3->set_so1_enabled(value & 0x04);
    channel2->set_so1_enabled(value & 0x02);
    channel1->set_so1_enabled(value & 0x01);
    nr51 = value;
}

void Audio::write_nr52(u8 value) {
    const bool on = value & 0x80;
    if (!on && powered)
        power_off();
    else if (on && !powered)
        power_on();
    powered = on;
}

void Audio::power_off() {
    // Every register from NR10 to NR51 is cleared as if written with 0 while
    // the unit is still on, so each channel reacts to it (DACs off and so on).
    for (u16 address = 0xFF10; address <= REG_NR51; ++address) gb->write_byte(address, 0x00);
    channel1->stop_playing();
    channel2->stop_playing();
    channel3->stop_playing();
    channel4->stop_playing();
    channel1->duty_position = 0;
    channel2->duty_position = 0;
    channel3->level = 0;
    channel3->last_sample = 0;
}

void Audio::power_on() {
    // The first step after power-on is step 0.
    frame_seq_step = 7;
    power_on_phase = int(gb->cpu.cycles_4mhz & 3);
    power_on_cycle = gb->cpu.cycles_4mhz;
    // Power-on starts the unit's 2 MHz clock: a write at double speed starts
    // it ticking on the CPU's M-cycle boundaries, a write at normal speed one
    // base-clock cycle off them.
    sequencer_clock_parity = int((gb->cpu.cycles_4mhz + (gb->double_speed ? 0 : 1)) & 1);
    frame_seq_delay = 0;
    // If the divider bit that clocks the sequencer is high already, its next
    // fall is not a step.
    const u8 div_bit = gb->double_speed ? 0x20 : 0x10;
    skip_next_frame_seq_step = gb->timer.read_div() & div_bit;
    schedule_frame_sequencer();
    channel1->duty_position = 0;
    channel2->duty_position = 0;
    channel3->last_sample = 0;
    if (gb->is_cgb) {
        channel1->reset_sound_length();
        channel2->reset_sound_length();
        channel3->reset_sound_length();
        channel4->reset_sound_length();
    }
}

void Audio::toggle() {
    const bool on = !channel1->enabled;
    channel1->enabled = channel2->enabled = channel3->enabled = channel4->enabled = on;
    update_outputs();
}

// ---------------------------------------------------------------------------
// Frame sequencer

void Audio::schedule_frame_sequencer() {
    const u16 bit = gb->double_speed ? 0x2000 : 0x1000;
    gb->cpu.set_next_audio_frame_seq_cycle(gb->timer.get_bit_reset_cycle(bit) + frame_seq_delay);
}

void Audio::update_next_frame_seq_update_cycle() { schedule_frame_sequencer(); }

// A divider edge has fallen and its step waits for the unit's next tick.
bool Audio::step_in_flight() const {
    const u64 due = gb->cpu.next_frame_seq_cycle;
    return frame_seq_delay != 0 && due != NEVER && due - frame_seq_delay <= gb->cpu.cpu_cycles;
}

void Audio::divider_restarted(u16 old_counter, u16 sequencer_bit) {
    if (old_counter & sequencer_bit) {
        // The restart is a falling edge of the watched bit.
        if (frame_seq_delay == 0)
            tick_frame_sequencer();
        else
            gb->cpu.set_next_audio_frame_seq_cycle(gb->cpu.cpu_cycles + frame_seq_delay);
    } else if (!step_in_flight()) {
        // A step already on its way from the last edge still arrives.
        schedule_frame_sequencer();
    }
}

// The frame sequencer takes divider edges on the ticks of the unit's 2 MHz
// clock. At normal speed an M-cycle spans two ticks and an edge steps the
// sequencer within the M-cycle it falls in. At double speed an M-cycle is one
// tick period: when the CPU's M-cycle boundaries, and with them the divider's
// edges, fall between the ticks, each step comes one base-clock cycle (two CPU
// cycles) after its edge. So it is after a switch to double speed when the
// unit was powered on at normal speed, until a return to normal speed shifts
// the CPU's M-cycles by an odd number of base-clock cycles or a power-on
// restarts the clock.
void Audio::speed_changed() {
    const bool in_flight = step_in_flight();
    const bool between_ticks = ((gb->cpu.cycles_4mhz - u64(sequencer_clock_parity)) & 1) != 0;
    frame_seq_delay = (gb->double_speed && between_ticks) ? 2 : 0;
    if (!in_flight) schedule_frame_sequencer();
}

void Audio::tick_frame_sequencer() {
    if (!powered) {
        gb->cpu.set_next_audio_frame_seq_cycle(NEVER);
        return;
    }
    schedule_frame_sequencer();
    if (skip_next_frame_seq_step) {
        skip_next_frame_seq_step = false;
        return;
    }
    frame_seq_step = (frame_seq_step + 1) & 7;
    if ((frame_seq_step & 1) == 0) {
        channel1->tick_length();
        channel2->tick_length();
        channel3->tick_length();
        channel4->tick_length();
        if (frame_seq_step == 2 || frame_seq_step == 6) channel1->tick_sweep();
    } else {
        // Odd steps run a delayed envelope step that a period write left
        // pending; step 7 is also the envelopes' 64 Hz clock.
        const bool clock = frame_seq_step == 7;
        if (channel1->envelope_wake_pending || clock) channel1->tick_envelope(clock);
        if (channel2->envelope_wake_pending || clock) channel2->tick_envelope(clock);
        if (clock) channel4->tick_envelope();
    }
}

// ---------------------------------------------------------------------------
// Channel timers

void Audio::recompute_next_frequency_event() {
    const u64 now = gb->cpu.cycles_4mhz;
    u64 next = NEVER;
    for (u64 cycle : next_frequency_cycle)
        if (cycle > now && cycle < next) next = cycle;
    const u64 sweep = channel1->next_sweep_event();
    if (sweep > now && sweep < next) next = sweep;
    gb->cpu.set_next_audio_frequency_cycle(next);
}

void Audio::wake_at(u64 cycle) {
    if (cycle < gb->cpu.next_audio_frequency_cycle) gb->cpu.set_next_audio_frequency_cycle(cycle);
}

void Audio::tick_frequency() {
    if (!powered) {
        gb->cpu.set_next_audio_frequency_cycle(NEVER);
        return;
    }
    const u64 now = gb->cpu.cycles_4mhz;
    // The sample of this cycle comes after the timers: a timer that changes
    // the mix first produces the samples up to the cycle before (see
    // update_outputs); one that does not leaves them to be made later.
    frequency_tick_running = true;
    // Channel 1's sweep works on its period counter: a clock or stop due now
    // comes before the duty step of this cycle, which it may move.
    channel1->catch_up_sweep();
    if (next_frequency_cycle[0] == now) channel1->tick_frequency();
    if (next_frequency_cycle[1] == now) channel2->tick_frequency();
    if (next_frequency_cycle[2] == now) channel3->tick_frequency();
    if (next_frequency_cycle[3] == now) channel4->tick_frequency();
    frequency_tick_running = false;
    recompute_next_frequency_event();
}

void Audio::update_next_frequency_cycle_for_channel(int channel, u64 delay) {
    if (delay == NEVER) {
        next_frequency_cycle[channel] = NEVER;
        recompute_next_frequency_event();
        return;
    }
    const u64 cycle = gb->cpu.cycles_4mhz + delay;
    next_frequency_cycle[channel] = cycle;
    // A later event than the one the CPU holds is picked up when that one fires.
    if (cycle < gb->cpu.next_audio_frequency_cycle) gb->cpu.set_next_audio_frequency_cycle(cycle);
}

// ---------------------------------------------------------------------------
// Mixing and sample output

void Audio::update_outputs() {
    catch_up_samples();
    int left = 0, right = 0;
    if (channel1->enabled) {
        left += channel1->output_left;
        right += channel1->output_right;
    }
    if (channel2->enabled) {
        left += channel2->output_left;
        right += channel2->output_right;
    }
    if (channel3->enabled) {
        left += channel3->output_left;
        right += channel3->output_right;
    }
    if (channel4->enabled) {
        left += channel4->output_left;
        right += channel4->output_right;
    }
    mixed_left = i16(left * left_volume);
    mixed_right = i16(right * right_volume);
}

// The samples are produced in batches: every change of what they are made
// of (the mixed output, a DAC) first produces the ones due before it, and so
// does the end of every run of the machine. Each sample has its own cycle,
// the sample clock's, and sees the machine as at that cycle: the channel
// timers of the same cycle run before it.
void Audio::catch_up_samples(u64 through) {
    CPU& cpu = gb->cpu;
    if (sample_clock_stopped || cpu.next_audio_sample_cycle > through) return;
    // Nothing the samples are made of changes within a batch: the mix and
    // the DACs are taken once, the filter runs in locals.
    const bool dacs_on = channel1->dac_on || channel2->dac_on || channel3->dac_on || channel4->dac_on;
    const double in_left = mixed_left, in_right = mixed_right;
    double left_capacitor = high_pass_left_capacitor, right_capacitor = high_pass_right_capacitor;
    while (cpu.next_audio_sample_cycle <= through) {
        const u64 due = cpu.next_audio_sample_cycle;
        i16 left = 0, right = 0;
        // With every DAC off the output is exact silence and the capacitors hold.
        if (dacs_on) {
            const double out_left = in_left - left_capacitor;
            left_capacitor = in_left - out_left * HIGH_PASS_CHARGE_FACTOR;
            const double out_right = in_right - right_capacitor;
            right_capacitor = in_right - out_right * HIGH_PASS_CHARGE_FACTOR;
            left = to_sample(out_left);
            right = to_sample(out_right);
        }
        put_sample(left, right);
        schedule_next_sample();
        // A sample clock that no longer moves (a damaged state's) stops.
        if (cpu.next_audio_sample_cycle <= due) {
            sample_clock_stopped = true;
            break;
        }
    }
    high_pass_left_capacitor = left_capacitor;
    high_pass_right_capacitor = right_capacitor;
}

void Audio::clocks_set() { sample_clock_stopped = gb->cpu.next_audio_sample_cycle <= gb->cpu.cycles_4mhz; }

void Audio::catch_up_samples() {
    const u64 now = gb->cpu.cycles_4mhz;
    catch_up_samples(frequency_tick_running ? now - 1 : now);
}

void Audio::schedule_next_sample() {
    next_sample_cycle += CYCLES_PER_SAMPLE;
    gb->cpu.set_next_audio_sample_cycle(u64(next_sample_cycle));
}

// The sample due next, alone: a batch of one.
void Audio::sample_tick() { catch_up_samples(gb->cpu.next_audio_sample_cycle); }

// Into the buffer (queued when full) and the WAV capture.
void Audio::put_sample(i16 left, i16 right) {
    samples[sample_index] = left;
    samples[sample_index + 1] = right;
    sample_index += 2;
    if (wav_file_open) write_samples(left, right);
    if (sample_index >= SAMPLE_BUFFER_VALUES) {
        sample_index = 0;
        flush_buffer();
    }
}

void Audio::attach_sink(std::unique_ptr<AudioSink> new_sink) {
    sink = std::move(new_sink);
    device_ready = sink != nullptr;
    // A device just opened counts as one that has just drained.
    last_queued_bytes = ~u32(0);
    last_look_ms = 0;
    undrained_ms = 0;
    reported_stall = false;
}

bool Audio::delay() {
    if (!sink || sink->queued_bytes() <= QUEUE_HIGH_WATER_BYTES) return false;
    sink->sleep_ms(1);
    return true;
}

void Audio::flush_buffer() {
    // Nothing is queued without a device or while replaying to a target cycle.
    if (!device_ready || !sink || gb->turbo_run) return;
    const u32 bytes = gb->player_turbo ? TURBO_QUEUE_BYTES : SAMPLE_BUFFER_BYTES;
    // Waiting for the device to drain is what holds the machine to real time.
    // A device that drains late or slowly is waited for, however long; one
    // that has taken nothing for QUEUE_STALL_MS has stopped playing. Then each
    // buffer waits its own playing time, which keeps the machine to real
    // time, and is dropped, until the device takes bytes again. Both times
    // are summed from the gaps between looks, so a stop of the whole process
    // counts as one short gap, not as a stall of its device.
    u64 waited_ms = 0;
    for (bool first_look = true;; first_look = false) {
        const u32 queued = sink->queued_bytes();
        const u64 now = sink->now_ms();
        const u64 gap = std::min(now - last_look_ms, QUEUE_LOOK_GAP_MS);
        last_look_ms = now;
        if (!first_look) waited_ms += gap;
        if (queued < last_queued_bytes || queued <= QUEUE_HIGH_WATER_BYTES)
            undrained_ms = 0;
        else
            undrained_ms += gap;
        last_queued_bytes = queued;
        if (queued <= QUEUE_HIGH_WATER_BYTES) break;
        if (undrained_ms >= QUEUE_STALL_MS && waited_ms >= queue_play_ms(bytes)) {
            ++dropped_buffers;
            if (!reported_stall) {
                std::cout << "Audio device is not playing its queue; dropping sound until it drains" << std::endl;
                reported_stall = true;
            }
            return;
        }
        sink->sleep_ms(1);
    }
    reported_stall = false;
    sink->queue(samples.data(), bytes);
    last_queued_bytes += bytes;
}

// ---------------------------------------------------------------------------
// WAV capture

void Audio::write_word(std::ostream& out, unsigned long value, unsigned int size) {
    for (unsigned int i = 0; i < size; ++i) {
        out.put(char(value & 0xFF));
        value >>= 8;
    }
}

bool Audio::open_wav_file_for_writing(const std::string& path) {
    if (wav_file_open) close_wav_file_for_writing();
    wav_path = path;
    wav_data_bytes = 0;
    auto file = std::make_unique<std::ofstream>(path, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!file->is_open()) {
        std::cout << "Failed to open WAV capture file " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    // Both sizes are placeholders until the capture is closed.
    file->write("RIFF----WAVEfmt ", 16);
    write_word(*file, 16, 4);                                      // format chunk size
    write_word(*file, 1, 2);                                       // PCM
    write_word(*file, AUDIO_CHANNELS, 2);                          // channels
    write_word(*file, AUDIO_SAMPLE_RATE, 4);                       // frames per second
    write_word(*file, AUDIO_SAMPLE_RATE * AUDIO_CHANNELS * 2, 4);  // bytes per second
    write_word(*file, AUDIO_CHANNELS * 2, 2);                      // bytes per frame
    write_word(*file, 16, 2);                                      // bits per sample
    wav_data_position = u64(file->tellp());
    file->write("data----", 8);
    if (!*file) {
        std::cout << "Failed to write WAV capture file " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    wav_file = std::move(file);
    wav_file_open = true;
    return true;
}

void Audio::write_samples(i16 left, i16 right) {
    if (!wav_file_open) return;
    if (wav_data_bytes + 4 > MAX_WAV_DATA_BYTES) {
        stop_wav_capture("the file has reached the size limit of the WAV format");
        return;
    }
    const u16 l = u16(left), r = u16(right);
    const char frame[4] = {char(l & 0xFF), char(l >> 8), char(r & 0xFF), char(r >> 8)};
    wav_file->write(frame, 4);
    wav_data_bytes += 4;
    if (!*wav_file) stop_wav_capture(std::strerror(errno));
}

void Audio::stop_wav_capture(const char* why) {
    std::cout << "WAV capture to " << wav_path << " stopped: " << why << "\n";
    close_wav_file_for_writing();
}

void Audio::close_wav_file_for_writing() {
    if (!wav_file) {
        wav_file_open = false;
        return;
    }
    std::ofstream& file = *wav_file;
    // A failed frame write leaves the stream failed; the header can still be
    // patched to describe what reached the file.
    file.clear();
    file.flush();
    bool ok = false;
    const std::streamoff end = file.tellp();
    if (end >= std::streamoff(wav_data_position + 8)) {
        file.seekp(std::streamoff(wav_data_position + 4));
        write_word(file, static_cast<unsigned long>(end - std::streamoff(wav_data_position + 8)), 4);
        file.seekp(4);
        write_word(file, static_cast<unsigned long>(end - 8), 4);
        file.flush();
        ok = bool(file);
    }
    file.close();
    if (!ok || file.fail())
        std::cout << "Failed to finish WAV capture file " << wav_path << ": its header sizes may be wrong\n";
    wav_file.reset();
    wav_file_open = false;
}

// ---------------------------------------------------------------------------
// Save states

void Audio::check_loaded_state() const {
    auto require = [](bool ok, const char* what) {
        if (!ok) throw state::Rejected(std::string("sound unit: ") + what);
    };
    auto in = [](int v, int low, int high) { return v >= low && v <= high; };
    require(in(sequencer_clock_parity, 0, 1) && frame_seq_delay <= 8, "sequencer clock out of range");
    for (const SquareChannel* c : {channel1.get(), channel2.get()}) {
        require(in(c->duty, 0, 3) && in(c->duty_position, 0, 7), "duty position out of range");
        require(in(c->volume, 0, 15) && in(c->envelope_initial_volume, 0, 15), "volume out of range");
        require(in(c->envelope_period, 0, 7) && in(c->envelope_counter, 0, 8), "envelope out of range");
        require(in(c->length, 0, 64) && in(c->frequency, 0, 2047), "length or frequency out of range");
        require(in(c->sweep_period, 0, 7) && in(c->sweep_shift, 0, 7) && in(c->sweep_timer, 0, 8) &&
                    in(c->sweep_shadow, 0, 4095),
                "sweep out of range");
    }
    const WaveChannel& wave = *channel3;
    require(in(wave.position, 0, 31) && in(wave.volume_code, 0, 3), "wave position out of range");
    require(in(wave.length, 0, 256) && in(wave.frequency, 0, 2047), "length or frequency out of range");
    for (u16 sample : wave.wave_samples) require(sample <= 15, "wave sample out of range");
    const NoiseChannel& noise = *channel4;
    require(in(noise.divisor_code, 0, 7) && in(noise.clock_shift, 0, 15), "noise timer out of range");
    require(in(noise.volume, 0, 15) && in(noise.envelope_initial_volume, 0, 15), "volume out of range");
    require(in(noise.envelope_period, 0, 7) && in(noise.envelope_counter, 0, 8), "envelope out of range");
    require(in(noise.length, 0, 64), "length out of range");
}
