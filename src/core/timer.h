#pragma once
#include "core/types.h"

class GB;

inline constexpr u16 REG_DIV = 0xFF04;
inline constexpr u16 REG_TIMA = 0xFF05;
inline constexpr u16 REG_TMA = 0xFF06;
inline constexpr u16 REG_TAC = 0xFF07;

// DIV/TIMA timer. The divider is derived from the CPU clock and a base cycle;
// the unit only has work at the falling edges of TIMA's input bit.
// Not wired up yet: the registers keep their defaults and no event is scheduled.
class Timer {
public:
    void register_read_write_handlers(GB*) {}
    void reset() {}
    void set_boot_rom_values() {}
    void update();
    void write_div(u8) {}

    u32 overflow_countdown = 0;
    u16 tima_input_bit = 0;
    GB* gb = nullptr;
    u64 div_base_cycle = 0;
    u8 tima = 0;
    u8 tma = 0;
    u8 tac = 0;
};
