#include "debug/debugger.h"

#include "core/gb.h"

void Debugger::update_have_breakpoints() { have_breakpoints = breakpoint_count >= 1 || access_breakpoint_count >= 1; }

void Debugger::reset() {
    break_requested = false;
    delete_one_time_breakpoints();
}

namespace {

// Removes slot `index` of the live part, moving the later ones down.
template <class Slot>
bool delete_slot(std::array<Slot, MAX_BREAKPOINTS>& slots, int& count, int index) {
    if (index < 0 || index >= count) return false;
    for (int i = index; i + 1 < MAX_BREAKPOINTS; ++i) slots[size_t(i)] = slots[size_t(i + 1)];
    slots[MAX_BREAKPOINTS - 1] = Slot{};
    slots[MAX_BREAKPOINTS - 1].removed = true;
    --count;
    return true;
}

}  // namespace

int Debugger::add_breakpoint(int bank, u16 address, bool one_time) {
    if (breakpoint_count >= MAX_BREAKPOINTS) return -1;
    const int index = breakpoint_count++;
    breakpoints[size_t(index)] = Breakpoint{false, true, bank, address, one_time};
    update_have_breakpoints();
    return index;
}

void Debugger::delete_breakpoint(int index) {
    if (delete_slot(breakpoints, breakpoint_count, index)) update_have_breakpoints();
}

int Debugger::get_one_time_breakpoint_id() const {
    for (int i = 0; i < breakpoint_count; ++i) {
        const Breakpoint& b = breakpoints[size_t(i)];
        if (!b.removed && b.one_time) return i;
    }
    return -1;
}

void Debugger::delete_one_time_breakpoints() {
    for (int id = get_one_time_breakpoint_id(); id >= 0; id = get_one_time_breakpoint_id()) delete_breakpoint(id);
    return_breakpoint_armed = false;
}

int Debugger::breakpoint_at_address(u16 address) const {
    const int bank = gb->get_current_bank_for_address(address);
    for (int i = 0; i < breakpoint_count; ++i) {
        const Breakpoint& b = breakpoints[size_t(i)];
        if (b.removed || b.address != address) continue;
        if (bank == -1 || b.bank == bank || b.bank == -1) return i;
    }
    return -1;
}

bool Debugger::breakpoint_triggered() {
    if (breakpoint_count == 0) return false;
    const int index = breakpoint_at_address(gb->get_pc());
    if (index < 0 || !breakpoints[size_t(index)].enabled) return false;
    if (breakpoints[size_t(index)].one_time) delete_breakpoint(index);
    return true;
}

int Debugger::add_access_breakpoint(int bank_min, int bank_max, u16 addr_min, u16 addr_max, bool on_read,
                                    bool on_write, bool on_jump, bool compare_value, u8 value) {
    if (access_breakpoint_count >= MAX_BREAKPOINTS) return -1;
    const int index = access_breakpoint_count++;
    access_breakpoints[size_t(index)] = AccessBreakpoint{false,   true,     bank_min, bank_max,      addr_min, addr_max,
                                                         on_read, on_write, on_jump,  compare_value, value};
    update_have_breakpoints();
    return index;
}

void Debugger::delete_access_breakpoint(int index) {
    if (delete_slot(access_breakpoints, access_breakpoint_count, index)) update_have_breakpoints();
}

bool Debugger::address_and_bank_in_range(int bank, int address, int bank_min, int bank_max, int addr_min,
                                         int addr_max) {
    if (address < addr_min || address > addr_max) return false;
    if (bank == -1 || bank_min == -1) return true;
    return bank >= bank_min && bank <= bank_max;
}

void Debugger::arm_return_breakpoint() {
    return_breakpoint_armed = true;
    return_breakpoint_stack_pointer = gb->cpu.sp;
}

void Debugger::check_for_return_breakpoint() {
    if (return_breakpoint_armed && return_breakpoint_stack_pointer < gb->cpu.sp) {
        break_requested = true;
        return_breakpoint_armed = false;
    }
}
