#pragma once
#include "core/random_source.h"
#include "core/types.h"

class GB;

inline constexpr u16 REG_P1 = 0xFF00;

// Joypad state byte bits (1 = pressed), as the host reports them.
inline constexpr u8 JOYPAD_RIGHT = 0x01;
inline constexpr u8 JOYPAD_LEFT = 0x02;
inline constexpr u8 JOYPAD_UP = 0x04;
inline constexpr u8 JOYPAD_DOWN = 0x08;
inline constexpr u8 JOYPAD_A = 0x10;
inline constexpr u8 JOYPAD_B = 0x20;
inline constexpr u8 JOYPAD_SELECT = 0x40;
inline constexpr u8 JOYPAD_START = 0x80;

// The P1 register (FF00) and the joypad interrupt.
//
// P1 is computed whenever it is read: bits 4 and 5 are the select lines the
// program wrote (0 = group selected), bits 0-3 the four input lines, pulled
// low by every pressed key of a selected group. Each computation takes the
// host's button state (or the recorded one while replaying), records changes
// into the machine's input record, and arms the joypad interrupt when the
// input lines change. An armed interrupt fires a pseudo-random number of
// picture-unit line starts later.
class Joypad {
public:
    void register_read_write_handlers(GB* machine);
    void reset();
    void set_boot_rom_values();
    // Computes P1 from the current button state; records input changes and
    // arms the interrupt.
    u8 read_p1();
    // The same steps as read_p1.
    u8 check_for_state_change();
    // P1 as a read would show it with the buttons last seen, recording and
    // arming nothing (the debugger's view).
    u8 peek_p1() const;
    // Called by the picture unit at the start of lines 1-144 and 153.
    void check_for_interrupt_trigger();
    // P1 for a button state, with the select lines last written.
    u8 lines_for(u8 buttons) const;

    template <class Archive>
    void serialize(Archive& ar) {
        ar(p1, last_p1_value, interrupt_pending, interrupt_delay);
    }

    // Everything a save state holds beyond the four register fields.
    template <class Archive>
    void serialize_extension(Archive& ar) {
        ar(random);
    }

    GB* gb = nullptr;
    u8 p1 = 0;              // last byte written to FF00, all eight bits
    u8 last_p1_value = 0;   // P1 as the previous computation saw it
    u8 interrupt_pending = 0;
    i32 interrupt_delay = 0;  // checks left before an armed interrupt fires
    // Draws each armed interrupt's delay; restarted by every reset.
    RandomSource random;

private:
    u8 current_buttons();
};
