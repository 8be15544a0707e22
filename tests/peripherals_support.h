#pragma once
// Helpers for driving the on-board peripherals without running code: time is
// advanced one M-cycle at a time and registers are reached through the bus.
#include "cpu/cpu_inline.h"
#include "test_machine.h"

// Like every run of the machine, ends with the sound produced up to now.
inline void advance_mcycles(GB& gb, int count) {
    for (int i = 0; i < count; ++i) gb.cpu.tick();
    gb.audio.catch_up_samples();
}

// Moves both clocks to `cycle` with every pending event still in the future.
// Only valid for units whose events are scheduled after this call.
inline void set_clocks(GB& gb, u64 cycle) {
    gb.cpu.cpu_cycles = cycle;
    gb.cpu.cycles_4mhz = cycle;
    gb.audio.clocks_set();
}

inline bool interrupt_requested(GB& gb, u8 mask) { return (gb.read_byte(REG_IF) & mask) != 0; }
