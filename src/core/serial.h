#pragma once
#include "core/types.h"

class GB;

inline constexpr u16 REG_SB = 0xFF01;
inline constexpr u16 REG_SC = 0xFF02;

// Serial port (SB/SC). Not wired up yet: no transfer ever runs.
class Serial {
public:
    void register_read_write_handlers(GB*) {}
    void reset() {}
    void handle_transfer();

    GB* gb = nullptr;
};
