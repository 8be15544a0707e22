#pragma once
#include "core/types.h"

class GB;

inline constexpr u16 REG_P1 = 0xFF00;

// Joypad register P1. Not wired up yet: P1 reads its default.
class Joypad {
public:
    void register_read_write_handlers(GB*) {}
    void reset() {}
    void set_boot_rom_values() {}
    void read_p1() {}
    void check_for_interrupt_trigger() {}

    GB* gb = nullptr;
};
