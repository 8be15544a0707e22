#pragma once
#include <vector>

#include "core/types.h"

class GB;

inline constexpr u16 REG_SB = 0xFF01;
inline constexpr u16 REG_SC = 0xFF02;

// Serial port with no link partner: every bit shifted in is 1. With the
// internal clock a bit moves every 512 CPU-clock cycles, on fixed boundaries
// of the clock; with the external clock a transfer never progresses.
class Serial {
public:
    void register_read_write_handlers(GB* machine);
    void reset();
    void write_sc(u8 value);
    void handle_transfer();
    void update_next_serial_transfer_cycle();
    u64 calculate_next_aligned_serial_transfer_cycle() const;
    // Writes every byte whose transfer was started to "serial-log.bin".
    void write_log() const;

    template <class Archive>
    void serialize(Archive& ar) {
        ar(sb, sc, bits_left);
    }

    GB* gb = nullptr;
    u8 sb = 0;
    u8 sc = 0x7E;
    i32 bits_left = 0;
    std::vector<u8> sent_bytes;
};
