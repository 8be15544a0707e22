#include "debug/debug_peek.h"

#include "core/gb.h"

namespace {

// The registers whose read handlers do more than return a value answer from
// the unit's state as it stands; every other handler is a plain read.
u8 peek_io(GB& gb, u16 address) {
    switch (address) {
        case REG_P1:
            return gb.joypad.peek_p1();
        case REG_STAT:
            return gb.ppu.peek_stat();
        // A sweep due but not yet applied shows at the CPU's next read.
        case REG_NR52:
            return gb.audio.read_nr52();
        case REG_PCM12:
            return gb.is_cgb ? gb.audio.read_pcm12() : gb.io_read_handlers[address & 0x7F]();
        default:
            return gb.io_read_handlers[address & 0x7F]();
    }
}

}  // namespace

u8 debug_peek_byte(GB& gb, u16 address) {
    if (address >= 0xFF00 && address < 0xFF80) return peek_io(gb, address);
    // Memory reads have no side effects: the CPU's view as it is now.
    return gb.read_byte(address);
}

u16 debug_peek_word(GB& gb, u16 address) {
    return u16(debug_peek_byte(gb, address) | (debug_peek_byte(gb, u16(address + 1)) << 8));
}
