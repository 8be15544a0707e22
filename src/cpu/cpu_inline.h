#pragma once
// The clock step and the ticked accessors sit on the hottest path of the
// emulator: every M-cycle of every instruction runs through them. They are
// kept inline so that each clock step compiles to an add and one compare.
#include "core/gb.h"
#include "cpu/cpu.h"
#include "debug/disassembler_inline.h"

// Forced: the interpreter is large enough that the compiler would otherwise
// keep some of these as calls.
#define ZEMBRIX_HOT inline __attribute__((always_inline))

ZEMBRIX_HOT void CPU::step_cpu_clock() {
    if (++cpu_cycles == next_cpu_event_cycle) dispatch_cpu_events();
}

ZEMBRIX_HOT void CPU::step_4mhz_clock() {
    if (++cycles_4mhz == next_4mhz_event_cycle) dispatch_4mhz_events();
}

// Clocks to move in one step of `cpu` CPU-clock and `base` 4 MHz cycles
// without meeting an event: the next event of each clock lies beyond them.
// The tests are unsigned, so an event at or before the clock (never reached
// again) and an unscheduled one (all ones) never stop the step.
ZEMBRIX_HOT bool CPU::no_event_within(u64 cpu, u64 base) const {
    return next_cpu_event_cycle - cpu_cycles - 1 >= cpu && next_4mhz_event_cycle - cycles_4mhz - 1 >= base;
}

// One M-cycle. Mostly no event falls inside it, and both clocks move at once;
// otherwise the clocks go T-cycle by T-cycle and each event runs at its cycle.
ZEMBRIX_HOT void CPU::tick() {
    if (cpu_cycles + 4 <= tick_limit) [[likely]] {
        cpu_cycles += 4;
        cycles_4mhz += m_cycle_base;
        return;
    }
    tick_through_events();
}

ZEMBRIX_HOT u8 CPU::ticked_read_byte(u16 address) {
    tick();
    return gb->cpu_read_byte(address);
}

ZEMBRIX_HOT void CPU::ticked_write_byte(u16 address, u8 value) {
    tick();
    gb->cpu_write_byte(address, value);
}

ZEMBRIX_HOT u16 CPU::ticked_read_word(u16 address) {
    tick();
    u8 low = gb->cpu_read_byte(address);
    u8 high = ticked_read_byte(u16(address + 1));
    return u16(low | (high << 8));
}

ZEMBRIX_HOT void CPU::ticked_write_word(u16 address, u16 value) {
    tick();
    gb->cpu_write_byte(u16(address + 1), u8(value >> 8));
    ticked_write_byte(address, u8(value));
}
