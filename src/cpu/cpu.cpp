#include "cpu/cpu.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "cpu/cpu_inline.h"

// ---------------------------------------------------------------------------
// Scheduler

void CPU::dispatch_cpu_events() {
    // Each handler reschedules itself; several units due on the same cycle run
    // one per pass in a fixed order.
    do {
        do_something();
    } while (cpu_cycles == next_cpu_event_cycle);
}

void CPU::dispatch_4mhz_events() {
    do {
        do_something_4mhz();
    } while (cycles_4mhz == next_4mhz_event_cycle);
}

void CPU::do_something() {
    if (next_timer_cycle == cpu_cycles)
        gb->timer.update();
    else if (next_oam_dma_cycle == cpu_cycles)
        gb->dma.handle_oam_dma_transfer();
    else if (next_frame_seq_cycle == cpu_cycles)
        gb->audio.tick_frame_sequencer();
    else if (next_serial_cycle == cpu_cycles)
        gb->serial.handle_transfer();
}

void CPU::do_something_4mhz() {
    if (next_4mhz_event_kind == 1)
        gb->audio.tick_frequency();
    else
        gb->ppu.change_to_next_state();
}

void CPU::recompute_next_cpu_event() {
    u64 next = next_timer_cycle;
    if (next_oam_dma_cycle < next) next = next_oam_dma_cycle;
    if (next_frame_seq_cycle < next) next = next_frame_seq_cycle;
    if (next_serial_cycle < next) next = next_serial_cycle;
    next_cpu_event_cycle = next;
    // Only lowered here, and not while the clocks go step by step (they set
    // the limits anew when they are through); the next M-cycle taken step
    // by step raises them again.
    if (!stepping && next > cpu_cycles) {
        tick_limit = std::min(tick_limit, next - 1);
    }
}

// From the clocks as they stand now, for the speed the machine runs at (set
// anew whenever the speed changes). An event at or behind its clock is never
// met.
void CPU::update_tick_limits() {
    m_cycle_base = gb && gb->double_speed ? 2 : 4;
    tick_limit = next_cpu_event_cycle > cpu_cycles ? next_cpu_event_cycle - 1 : NEVER;
    lower_tick_limits_for_4mhz_event();
}

void CPU::lower_tick_limits_for_4mhz_event() {
    // 4 MHz cycles before the event; wrapped (behind the clock) or out of
    // reach, it sets no limit. In double speed the CPU clock runs twice as
    // fast.
    const u64 room = next_4mhz_event_cycle - cycles_4mhz - 1;
    if (room >= NEVER / 4) return;
    const u64 limit = cpu_cycles + (m_cycle_base == 2 ? 2 * room : room);
    if (limit < tick_limit) tick_limit = limit;
}

// The audio samples are not dispatched: the sound unit produces them in
// batches, each at its own cycle (Audio::catch_up_samples). Their cycle is
// kept in next_audio_sample_cycle for the save state, which holds the next
// 4 MHz event as if they were (scheduled_4mhz_event).
void CPU::recompute_next_4mhz_event() {
    // Ties: the channel timers before the PPU.
    u64 next = next_audio_frequency_cycle;
    int kind = 1;
    if (next_ppu_cycle < next) {
        next = next_ppu_cycle;
        kind = 3;
    }
    next_4mhz_event_cycle = next;
    next_4mhz_event_kind = kind;
    if (!stepping) lower_tick_limits_for_4mhz_event();
}

void CPU::scheduled_4mhz_event(u64& cycle, int& kind) const {
    // Ties: the channel timers before the sample, both before the PPU.
    cycle = next_audio_frequency_cycle;
    kind = 1;
    if (next_audio_sample_cycle < cycle) {
        cycle = next_audio_sample_cycle;
        kind = 2;
    }
    if (next_ppu_cycle < cycle) {
        cycle = next_ppu_cycle;
        kind = 3;
    }
}

void CPU::set_next_timer_update_cycle(u64 cycle) {
    next_timer_cycle = cycle;
    recompute_next_cpu_event();
}
void CPU::set_next_oam_dma_cycle(u64 cycle) {
    next_oam_dma_cycle = cycle;
    recompute_next_cpu_event();
}
void CPU::set_next_audio_frame_seq_cycle(u64 cycle) {
    next_frame_seq_cycle = cycle;
    recompute_next_cpu_event();
}
void CPU::set_next_serial_transfer_cycle(u64 cycle) {
    next_serial_cycle = cycle;
    recompute_next_cpu_event();
}
void CPU::set_next_audio_frequency_cycle(u64 cycle) {
    next_audio_frequency_cycle = cycle;
    recompute_next_4mhz_event();
}
void CPU::set_next_audio_sample_cycle(u64 cycle) { next_audio_sample_cycle = cycle; }
void CPU::calculate_next_ppu_state_change_cycle(u64 distance) {
    next_ppu_cycle = distance == NEVER ? NEVER : cycles_4mhz + distance;
    recompute_next_4mhz_event();
}

void CPU::tick_through_events() {
    stepping = true;
    if (!gb->double_speed) {
        // Both clocks move together: they go at once to the T-cycle before
        // the next event of either and step that one as usual (the CPU
        // clock's events first), until the M-cycle is through. A handler may
        // schedule another event inside it; the room is taken anew each time.
        u64 left = 4;
        for (;;) {
            const u64 room = std::min(next_cpu_event_cycle - cpu_cycles - 1, next_4mhz_event_cycle - cycles_4mhz - 1);
            if (room >= left) {
                cpu_cycles += left;
                cycles_4mhz += left;
                break;
            }
            cpu_cycles += room;
            cycles_4mhz += room;
            left -= room + 1;
            step_cpu_clock();
            step_4mhz_clock();
            if (left == 0) break;
        }
    } else {
        for (int i = 0; i < 2; ++i) {
            step_cpu_clock();
            step_cpu_clock();
            step_4mhz_clock();
        }
    }
    stepping = false;
    update_tick_limits();
}

void CPU::t_cycle_4mhz() {
    stepping = true;
    step_cpu_clock();
    if (gb->double_speed) step_cpu_clock();
    step_4mhz_clock();
    stepping = false;
    update_tick_limits();
}

void CPU::t_cycles(int count) {
    if (count != 2) {
        std::cout << "Trying to do t_cycles other than 2??\n" << std::flush;
        gb->cartridge.write_battery_files();
        std::exit(1);
    }
    if (!gb->double_speed) {
        if (no_event_within(2, 2)) {
            cpu_cycles += 2;
            cycles_4mhz += 2;
            return;
        }
        stepping = true;
        step_cpu_clock();
        step_4mhz_clock();
        step_cpu_clock();
        step_4mhz_clock();
    } else {
        stepping = true;
        step_cpu_clock();
        step_cpu_clock();
        step_4mhz_clock();
    }
    stepping = false;
    update_tick_limits();
}

void CPU::ret() {
    u8 low = ticked_read_byte(sp);
    u8 high = ticked_read_byte(u16(sp + 1));
    sp = u16(sp + 2);
    pc = u16(low | (high << 8));
    tick();
}

// ---------------------------------------------------------------------------
// Registers and lifecycle

CPU::CPU() {
    // What the boot programs leave in high RAM FFF2-FFFC (see emulate_boot_rom).
    static constexpr u8 residue[31] = {0x39, 0x01, 0x73, 0x39, 0x01, 0x2E, 0x39, 0x01, 0xB2, 0x71, 0x02,
                                       0x4D, 0x01, 0xC1, 0xFF, 0x0D, 0x00, 0xD3, 0x05, 0xF9, 0x71, 0x02,
                                       0x4D, 0x01, 0xC1, 0xFF, 0x0D, 0x00, 0xD3, 0x05, 0xF8};
    std::copy(std::begin(residue), std::end(residue), hram_residue.begin());
    was_halted = false;
    paused = false;
}

void CPU::register_read_write_handlers(GB* machine) {
    machine->add_io_handlers_for_address(
        REG_IF - 0xFF00, [this]() -> u8 { return if_reg; },
        [this](u8 value) {
            if_reg = value | 0xE0;
            pending_interrupts = if_reg & ie & 0x1F;
        });
}

void CPU::reset() {
    gb->boot_rom_mapped = true;
    cpu_cycles = 0;
    cycles_4mhz = 0;
    frame_steps = 0;
    next_oam_dma_cycle = NEVER;
    next_audio_frequency_cycle = NEVER;
    next_frame_seq_cycle = NEVER;
    next_audio_sample_cycle = 1;
    pc = 0x0000;
    ie = 0x00;
    if_reg = 0xE0;
    halted = false;
    ime = 0;
    stopped = false;
    pending_interrupts = 0;
    hblank_hdma_requested = false;
    opcode = 0;
    halt_bug = false;
    halt_entered = false;
    halted_in_stop = false;
    recompute_next_cpu_event();
    recompute_next_4mhz_event();
    update_tick_limits();
}

// ---------------------------------------------------------------------------
// Interrupts

void CPU::flag_interrupt(u8 mask) {
    if_reg |= mask;
    pending_interrupts = if_reg & ie & 0x1F;
}

void CPU::unflag_interrupt(u8 mask) {
    if_reg &= u8(~mask);
    pending_interrupts = if_reg & ie & 0x1F;
}

bool CPU::handle_interrupts() {
    if (pending_interrupts == 0) return false;
    was_halted = halted;
    if (!halted) {
        if (ime != 2) return false;
        dispatch_interrupt();
        return true;
    }
    if (ime != 2 && halt_entered) {
        // HALT decides in the M-cycle after its own opcode fetch, in which the
        // next opcode is already fetched. A request that arrives during that
        // M-cycle means the CPU never halts: as with a request made before
        // HALT, that fetch does not advance PC (the HALT bug) and the byte
        // after HALT runs twice, with no extra wake-up cycle.
        halted = false;
        halt_entered = false;
        pc = u16(pc + 1);
        halt_bug = true;
        return false;
    }
    pc = u16(pc + 1);  // past the HALT opcode (or past STOP's second byte)
    halted = false;
    halted_in_stop = false;
    if (gb->is_cgb) {
        // Leaving HALT for VBlank, STAT or timer costs the CGB one more M-cycle.
        if (pending_interrupts & 0x07) tick();
        if (ime != 2) return false;
        dispatch_interrupt();
        return true;
    }
    if (ime == 2) {
        if (pending_interrupts & INT_STAT) {
            if (gb->ppu.should_delay_lcdc_interrupt()) tick();
            gb->ppu.last_stat_source = -1;
        } else if (pending_interrupts & INT_TIMER) {
            tick();
        }
        dispatch_interrupt();
        return true;
    }
    if (gb->ppu.should_delay_lcdc_interrupt()) tick();
    gb->ppu.last_stat_source = -1;
    return false;
}

void CPU::dispatch_interrupt() {
    if (gb->is_dmg && pc >= 0xFE00 && pc <= 0xFEFF) check_oam_corruption(pc, 0);
    tick();
    dispatch_interrupt_from_second_cycle();
}

void CPU::dispatch_interrupt_from_second_cycle() {
    if (gb->is_dmg && was_halted)
        t_cycles(2);
    else
        tick();
    sp = u16(sp - 1);
    ticked_write_byte(sp, u8(pc >> 8));
    // The request is latched between the two pushes: a high-byte push onto IE
    // can take the interrupt away.
    const u8 latched = ie & if_reg & 0x1F;
    sp = u16(sp - 1);
    ticked_write_byte(sp, u8(pc));
    ime = 0;
    if (latched == 0) {
        pc = 0x0000;
        return;
    }
    const int bit = __builtin_ctz(latched);
    pc = u16(0x0040 + bit * 8);
    if_reg &= u8(~(1u << bit));
    pending_interrupts = if_reg & ie & 0x1F;
}

void CPU::halt_wait_step() {
    if (gb->is_cgb) {
        tick();
        if (pending_interrupts == 0) return;
        handle_interrupts();
        return;
    }
    t_cycles(2);
    if (pending_interrupts != 0 && handle_interrupts()) return;
    t_cycles(2);
}

void CPU::op_halt() {
    const bool requested = (if_reg & ie & 0x1F) != 0;
    if (ime == 2 && requested) {
        // Only an EI right before HALT gets here with a request already made
        // (with interrupts enabled earlier it would have been taken before
        // HALT). The CPU does not halt, and the fetch after HALT does not
        // advance PC, so the interrupt is entered at the next step with the
        // address of HALT itself as return address: HALT runs again after the
        // handler returns.
        return;
    }
    if (ime != 0 || !requested) {
        halt_entered = !halted;
        halted = true;  // PC stays on the HALT opcode
        return;
    }
    // Interrupts disabled with one already requested: the CPU does not halt and
    // fails to advance PC past the next opcode fetch.
    pc = u16(pc + 1);
    halt_bug = true;
}

void CPU::op_stop() {
    if (!gb->is_cgb || gb->key0 == KEY0_DMG_COMPAT || !gb->speed_switch_armed) {
        stop_without_speed_switch();
        return;
    }
    // The switch keeps the old speed for two more M-cycles, then resets the
    // divider and changes the clock. The CPU then waits, as in HALT, until the
    // divider has counted 0x20000 cycles at the new speed (the oscillator
    // settling time), so DIV reads 0 when the next instruction starts and TIMA
    // has counted through the whole wait. An enabled interrupt request ends
    // the wait early, as it ends HALT.
    gb->speed_switch_armed = false;
    gb->ppu_phase_shift = false;
    if (!gb->double_speed) speed_switch_reference = cycles_4mhz;
    tick();
    tick();
    pc = u16(pc + 2);
    if (!gb->double_speed) {
        gb->set_double_speed(true);
        if (pending_interrupts) {
            speed_switch_wake_at_once();
            return;
        }
        gb->timer.reset_divider_for_speed_switch(0);
        speed_switch_wait(0x8000);
        return;
    }
    gb->set_double_speed(false);
    if (pending_interrupts) {
        speed_switch_wake_at_once();
        return;
    }
    // Back in single speed the CPU resumes three base-clock cycles off its
    // old M-cycle grid, whatever the number of double-speed M-cycles was:
    // its reads then meet the PPU's dots at a new phase. The divider, on the
    // base clock, still reaches 0x20000 as the CPU resumes.
    gb->timer.reset_divider_for_speed_switch(1);
    for (int i = 0; i < 3; ++i) t_cycle_4mhz();
    speed_switch_wait(0x8000 - 1);
}

// STOP looks at the joypad lines as it runs. With every selected line high it
// stops the CPU's clock until one goes low (Joypad::read_p1 sees that and
// restarts it). A selected key already held means no line can go low: the
// CPU then does not stop but halts, as HALT does, until an enabled interrupt
// is requested. Either way STOP is two bytes long, or one when an enabled
// interrupt is already requested, so that its second byte then runs as the
// next instruction. The rest of the machine runs on through STOP, the
// divider included.
void CPU::stop_without_speed_switch() {
    const bool line_low = (gb->joypad.read_p1() & 0x0F) != 0x0F;
    const bool requested = (if_reg & ie & 0x1F) != 0;
    pc = u16(pc + 1);
    if (line_low) {
        if (requested) return;
        // Halted on the second byte: leaving HALT steps past it.
        halted = true;
        halted_in_stop = true;
        halt_entered = false;
        return;
    }
    if (!requested) pc = u16(pc + 1);
    stopped = true;
    gb->ppu.oam_scan_state = gb->ppu.mode;
}

// A selected joypad line went low while the CPU was stopped: its clock runs
// again from the next step on, and the edge requests the joypad interrupt at
// once (the request an input change arms otherwise waits for line starts,
// which a stopped machine with the LCD off never has).
void CPU::leave_stop() {
    stopped = false;
    flag_interrupt(INT_JOYPAD);
}

// The wait after a speed switch. A request noticed at an M-cycle boundary ends
// it there; the interrupt, if enabled, is then taken like any other, from the
// next opcode fetch on.
void CPU::speed_switch_wait(int m_cycles) {
    for (int i = 0; i < m_cycles; ++i) {
        if (pending_interrupts) return;
        tick();
    }
}

// An enabled request already there when the speed changes: the CPU does not
// wait at all and, with IME on, enters the interrupt routine without an
// opcode fetch. The CGB revisions up to CGB-C take the divider reset one
// M-cycle later, within the first internal M-cycle of that entry.
void CPU::speed_switch_wake_at_once() {
    const bool late_reset = gb->device < MODEL_CGBD;
    if (!late_reset || ime != 2) {
        gb->timer.reset_divider_for_speed_switch(gb->double_speed ? 0 : 1);
        if (ime == 2) dispatch_interrupt();
        return;
    }
    tick();
    gb->timer.reset_divider_for_speed_switch(gb->double_speed ? 0 : 1);
    dispatch_interrupt_from_second_cycle();
}

// On DMG-class hardware an address in FE00-FEFF on the bus while the PPU
// scans OAM makes the scan's row latch write into neighbouring rows. The copies
// are byte offsets computed from the PPU's position in the line.
void CPU::apply_oam_corruption(int kind) {
    if (gb->is_cgb) return;
    const PPU& ppu = gb->ppu;
    if (!(ppu.lcdc & 0x80) || (ppu.mode != 0 && ppu.mode != 2)) return;
    const int sc = ppu.get_scanline_cycle_count();
    if (sc < 0 || sc > 83) return;
    switch (kind) {
        case 0: case 1: case 2: {  // INC rr, DEC rr, first PUSH write
            const int i = 2 * sc - 6;
            if (i >= 0) copy_oam(i + 8, i, 6);
            break;
        }
        case 3: {  // second PUSH write
            const int k = 2 * sc - 8;
            if (k < 0) break;
            if (k >= 6) {
                copy_oam(k + 10, k - 6, 8);
                copy_oam(k + 18, k - 6, 6);
            }
            copy_oam(k + 8, k, 2);
            break;
        }
        case 4: {  // second POP read
            const int i = 2 * sc;
            copy_oam(i + 8, i, 2);
            if (i >= 6) copy_oam(i + 10, i - 6, 6);
            break;
        }
        default: {  // 5: first POP read and opcode fetch; 6, 7: LD A,(HL+/-); 8, 9: LD (HL+/-),A
            const int j = 2 * sc + 2;
            // The writes of LD (HL+/-),A leave the first row (bytes 0-7)
            // alone while the scan is in its first rows: their copies back
            // into it are skipped.
            const bool keeps_first_row = kind >= 8;
            if (j <= 7) {
                copy_oam(j + 8, j, 6);
            } else {
                if (!(keeps_first_row && j - 8 < 8)) copy_oam(j - 8, j, 8);
                copy_oam(j + 8, j, 6);
                if (j >= 10 && !(keeps_first_row && j - 10 < 8)) copy_oam(j - 10, j + 6, 2);
            }
            break;
        }
    }
}

// A DMG write by LD (HL+/-),A that lands in the first cycle of a line whose
// OAM scan is starting is stored, and then the scan's first row takes bytes
// 2-7 from the second row (bytes 10-15).
void CPU::apply_oam_scan_start_write() {
    if (gb->is_cgb || !(gb->ppu.lcdc & 0x80)) return;
    if (!gb->oam_scan_starting() || gb->ppu.get_scanline_cycle_count() >= 4) return;
    copy_oam(2, 10, 6);
}

void CPU::copy_oam(int destination, int source, int count) {
    if (destination < 0 || source < 0 || count <= 0) return;
    if (destination + count > int(gb->oam.size()) || source + count > int(gb->oam.size())) return;
    std::memmove(gb->oam.data() + destination, gb->oam.data() + source, size_t(count));
}

// ---------------------------------------------------------------------------
// Run control

void CPU::run_single_instruction_inline() {
    if (stopped) {
        tick();
        return;
    }
    if (halted && (ime == 2 || halted_in_stop)) {
        halt_wait_step();
        return;
    }
    run_fetched_instruction();
}

// A step of a CPU that is neither stopped nor halted with IME on: the
// opcode fetch, or the interrupt dispatch that takes its place.
[[gnu::always_inline]] inline void CPU::run_fetched_instruction() {
    instruction_start_cycle = cycles_4mhz;
    if (hblank_hdma_requested) {
        gb->dma.do_hblank_transfer();
        hblank_hdma_requested = false;
    }
    tick();  // opcode fetch
    if (pending_interrupts != 0 && handle_interrupts()) return;
    // EI takes effect after the instruction that follows it.
    if (ime == 1) ime = 2;
    check_oam_corruption(pc, 5);
    // Marked before the read, which neither looks at marks nor moves banks,
    // with the machine and PC taken once for both.
    GB& machine = *gb;
    const u16 address = pc;
    Disassembler::mark_instruction_start(machine, address);
    opcode = machine.cpu_read_byte(address);
    if (halt_bug) {
        pc = u16(pc - 1);
        halt_bug = false;
    }
    execute(opcode);
}

// Every run ends with the audio samples produced up to where it stopped.
void CPU::run_single_instruction() {
    run_single_instruction_inline();
    gb->audio.catch_up_samples();
}

// A frame of the run loop ends when the picture unit finishes one, or after
// MAX_FRAME_STEPS steps while it finishes none (LCD off); the joypad is then
// sampled once. The steps of the frame under way are counted in the machine,
// so that a turbo run to a target cycle ends its frames, and samples the
// joypad, at exactly the steps a run of whole frames does, and a frame cut
// short by the target goes on from the same count.
void CPU::end_frame_step() {
    ++frame_steps;
    if (!gb->ppu.frame_done && frame_steps < MAX_FRAME_STEPS) return;
    frame_steps = 0;
    gb->joypad.read_p1();
}

// A halted CPU with no interrupt requested only waits: each step moves the
// clocks one M-cycle and looks at the requests, which only an event can make.
// So the steps before the next event are taken at once, at most `max_steps`
// of them and none that starts at or after `until` on the 4 MHz clock. With
// IME on, a step is the HALT wait; with IME off, it fetches and runs HALT
// again, which changes nothing while that fetch is a plain memory read of the
// HALT opcode. Every event still runs at its own cycle, in the step it falls
// in, which runs as usual. Returns the steps taken.
[[gnu::noinline]] u32 CPU::skip_halted_steps(u32 max_steps, u64 until) {
    if (!halted || pending_interrupts != 0 || stopped || !halt_skipping) return 0;
    const bool refetches = ime != 2 && !halted_in_stop;
    if (refetches && !halt_refetch_is_idle()) return 0;
    const u64 base = gb->double_speed ? 2 : 4;
    u64 steps = max_steps;
    steps = std::min(steps, (next_cpu_event_cycle - cpu_cycles - 1) / 4);
    steps = std::min(steps, (next_4mhz_event_cycle - cycles_4mhz - 1) / base);
    if (until != NEVER) steps = std::min(steps, until > cycles_4mhz ? (until - cycles_4mhz - 1) / base : 0);
    if (steps == 0) return 0;
    cpu_cycles += 4 * steps;
    cycles_4mhz += base * steps;
    return u32(steps);
}

// The repeated HALT fetch of a halted CPU with IME off is idle when it can
// only read the HALT opcode again and change nothing: not the deciding
// M-cycle right after HALT, no HALT bug, no HBlank DMA to serve, PC outside
// the OAM page (no corruption), and PC in ROM, work RAM or high RAM with no
// OAM DMA on the bus (what those read only changes through events).
bool CPU::halt_refetch_is_idle() const {
    if (ime != 0 || halt_entered || halt_bug || hblank_hdma_requested || opcode != 0x76) return false;
    if (gb->dma.oam_dma_bus_state != 0) return false;
    const bool stable = pc < 0x8000 || (pc >= 0xC000 && pc < 0xFE00) || (pc >= 0xFF80 && pc < 0xFFFF);
    return stable && gb->read_byte(pc) == 0x76;
}

// The frame's step count is kept in a local while the frame runs (nothing
// reads it before the frame ends), as end_frame_step counts it.
void CPU::run_frame() {
    if (paused) return;
    PPU& ppu = gb->ppu;
    if (frame_steps == 0) ppu.frame_done = false;
    u32 steps = frame_steps;
    for (;;) {
        // Skipped steps count towards the frame's cap, leaving at least the
        // last one to run.
        if (halted || stopped) [[unlikely]] {
            if (halted) steps += skip_halted_steps(MAX_FRAME_STEPS - 1 - steps, NEVER);
            run_single_instruction_inline();
        } else {
            run_fetched_instruction();
        }
        if (ppu.frame_done || ++steps >= MAX_FRAME_STEPS) break;
    }
    frame_steps = 0;
    gb->joypad.read_p1();
    gb->audio.catch_up_samples();
}

void CPU::run_turbo_to_cycle(u64 target, bool) {
    if (paused) return;
    turbo_target_cycle = target;
    while (cycles_4mhz < target) {
        if (frame_steps == 0) gb->ppu.frame_done = false;
        if (halted) frame_steps += skip_halted_steps(MAX_FRAME_STEPS - 1 - frame_steps, target);
        run_single_instruction_inline();
        end_frame_step();
    }
    gb->audio.catch_up_samples();
    turbo_target_cycle = NEVER;
}

void CPU::run_until_cycle(u64 target) {
    while (cpu_cycles < target) run_single_instruction_inline();
    gb->audio.catch_up_samples();
}

void CPU::run() {
    run_flag = true;
    while (run_flag) run_single_instruction_inline();
    gb->audio.catch_up_samples();
}
