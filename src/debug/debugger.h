#pragma once
#include "core/types.h"

class GB;

// Execution and access breakpoints. Only the parts the CPU reports to exist yet.
class Debugger {
public:
    void reset() {
        break_requested = false;
        return_breakpoint_armed = false;
    }
    void adjust_return_breakpoint_stack_pointer(int delta) {
        if (return_breakpoint_armed) return_breakpoint_stack_pointer = u16(return_breakpoint_stack_pointer + delta);
    }

    GB* gb = nullptr;
    bool break_requested = false;
    bool return_breakpoint_armed = false;
    u16 return_breakpoint_stack_pointer = 0;
};
