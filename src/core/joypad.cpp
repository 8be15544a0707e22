#include "core/joypad.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "core/gb.h"

namespace {
constexpr u8 P1_SELECT_DIRECTIONS = 0x10;  // 0 = direction keys drive the lines
constexpr u8 P1_SELECT_BUTTONS = 0x20;     // 0 = action buttons drive the lines
constexpr u8 P1_READS_ONE = 0xCF;          // bits 6-7 unused, 0-3 pulled up
}  // namespace

void Joypad::register_read_write_handlers(GB* machine) {
    // A write only moves the select lines; the lines are looked at again on
    // the next read.
    machine->add_io_handlers_for_address(REG_P1 - 0xFF00, [this] { return read_p1(); }, [this](u8 v) { p1 = v; });
}

void Joypad::reset() {
    p1 = 0;
    last_p1_value = 0;
    interrupt_pending = 0;
    random.seed(1);
    // interrupt_delay is left alone: it only matters once re-armed, which
    // draws a new value.
}

void Joypad::set_boot_rom_values() {
    // The CGB boot program deselects both groups before it hands a DMG
    // cartridge over in compatibility mode. The SGB boot program sends the
    // cartridge header to the SNES as pulses on P14/P15 and ends with both
    // lines high, so it too hands over with neither group selected.
    if ((gb->is_cgb && gb->key0 == KEY0_DMG_COMPAT) || model_is_sgb(gb->device)) p1 = 0xFF;
}

u8 Joypad::current_buttons() {
    if (gb->replay_mode) return gb->get_joypad_state_from_replay();
    const u8 state = gb->host ? gb->host->get_joypad_state() : 0;
    auto& record = gb->joypad_states;
    if (record.empty() || record.back().state != state) record.push_back({state, gb->cpu.cycles_4mhz});
    return state;
}

u8 Joypad::lines_for(u8 buttons) const {
    u8 value = p1 | P1_READS_ONE;
    if (!(p1 & P1_SELECT_BUTTONS)) {
        if (buttons & JOYPAD_START) value &= u8(~0x08);
        if (buttons & JOYPAD_SELECT) value &= u8(~0x04);
        if (buttons & JOYPAD_B) value &= u8(~0x02);
        if (buttons & JOYPAD_A) value &= u8(~0x01);
    }
    if (!(p1 & P1_SELECT_DIRECTIONS)) {
        // Opposite directions never read as pressed together: Down wins over
        // Up and Left over Right.
        if (buttons & JOYPAD_DOWN)
            value &= u8(~0x08);
        else if (buttons & JOYPAD_UP)
            value &= u8(~0x04);
        if (buttons & JOYPAD_LEFT)
            value &= u8(~0x02);
        else if (buttons & JOYPAD_RIGHT)
            value &= u8(~0x01);
    }
    return value;
}

u8 Joypad::peek_p1() const {
    const auto& record = gb->joypad_states;
    // While replaying, the entry the replay has reached; else the last change seen.
    const size_t seen = gb->replay_mode ? std::min<size_t>(gb->replay_index, record.size()) : record.size();
    return lines_for(seen == 0 ? 0 : record[seen - 1].state);
}

u8 Joypad::read_p1() {
    const u8 value = lines_for(current_buttons());

    // Any change of the input lines arms the interrupt, releases included,
    // unless every line was already low.
    const u8 old = last_p1_value;
    last_p1_value = value;
    if ((old & 0x0F) != 0 && (old & 0x0F) != (value & 0x0F)) {
        interrupt_pending = 1;
        interrupt_delay = random.next() & 127;
    }
    // A stopped CPU has seen every selected line high: a low one now is the
    // edge that restarts it and requests the interrupt itself.
    if (gb->cpu.stopped && (value & 0x0F) != 0x0F) [[unlikely]] {
        interrupt_pending = 0;
        gb->cpu.leave_stop();
    }
    return value;
}

u8 Joypad::check_for_state_change() { return read_p1(); }

void Joypad::check_for_interrupt_trigger() {
    if (!interrupt_pending) return;
    if (interrupt_delay == 0) {
        interrupt_pending = 0;
        gb->cpu.flag_interrupt(INT_JOYPAD);
    }
    --interrupt_delay;
}
