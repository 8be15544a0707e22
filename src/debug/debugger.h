#pragma once
#include <array>
#include <map>

#include "core/types.h"

class GB;

// One execution breakpoint slot.
struct Breakpoint {
    bool removed = false;
    bool enabled = true;
    int bank = -1;  // -1: any bank
    u16 address = 0;
    bool one_time = false;  // deletes itself when it fires
};

// One access breakpoint slot: a range of banks and addresses, watched for the
// next instruction's predicted reads, writes or jump target.
struct AccessBreakpoint {
    bool removed = false;
    bool enabled = true;
    int bank_min = -1;  // -1: any bank
    int bank_max = -1;
    u16 addr_min = 0;
    u16 addr_max = 0;
    bool on_read = false;
    bool on_write = false;
    bool on_jump = false;
    bool compare_value = false;  // reads and writes fire only for this byte
    u8 value = 0;
};

inline constexpr int MAX_BREAKPOINTS = 64;

// Breakpoints and the state a debugger needs to stop the machine between
// instructions. Nothing in the machine stops on them by itself: a debugger
// asks breakpoint_triggered(), access_breakpoint_triggered() and
// break_requested before each instruction.
class Debugger {
public:
    void reset();
    void update_have_breakpoints();

    // Execution breakpoints. Adding returns the new index, or -1 when all
    // 64 slots are taken; deleting an index outside the live ones does nothing.
    int add_breakpoint(int bank, u16 address, bool one_time);
    void delete_breakpoint(int index);
    int get_one_time_breakpoint_id() const;
    void delete_one_time_breakpoints();
    // First breakpoint for the address in the bank mapped there now (enabled or not).
    int breakpoint_at_address(u16 address) const;
    // True when the instruction at PC is at an enabled breakpoint; a one-time
    // breakpoint is deleted as it fires.
    bool breakpoint_triggered();

    // Access breakpoints, with the same limits.
    int add_access_breakpoint(int bank_min, int bank_max, u16 addr_min, u16 addr_max, bool on_read, bool on_write,
                              bool on_jump, bool compare_value, u8 value);
    void delete_access_breakpoint(int index);
    static bool address_and_bank_in_range(int bank, int address, int bank_min, int bank_max, int addr_min,
                                          int addr_max);

    // Step out: arms the return breakpoint at the present stack pointer; it
    // fires (break_requested) once a return has taken the stack above it.
    void arm_return_breakpoint();
    void check_for_return_breakpoint();
    // The CPU reports each PUSH (-2) and POP (+2), so the routine's own
    // stack use moves the threshold with it.
    void adjust_return_breakpoint_stack_pointer(int delta) {
        if (return_breakpoint_armed) return_breakpoint_stack_pointer = u16(return_breakpoint_stack_pointer + delta);
    }

    // Predicts what the instruction at the address will read, write and jump
    // to, from its bytes and the registers now, without running it.
    void check_actions_for_instruction(u16 address);
    // Predicts the instruction at PC and tests it against the access breakpoints.
    bool access_breakpoint_triggered();

    GB* gb = nullptr;
    bool have_breakpoints = false;
    bool break_requested = false;
    bool return_breakpoint_armed = false;
    u16 return_breakpoint_stack_pointer = 0;
    std::array<Breakpoint, MAX_BREAKPOINTS> breakpoints{};
    int breakpoint_count = 0;
    std::array<AccessBreakpoint, MAX_BREAKPOINTS> access_breakpoints{};
    int access_breakpoint_count = 0;
    std::map<u16, u8> predicted_writes;
    std::map<u16, u8> predicted_reads;
    int predicted_jump_address = -1;
};
