#pragma once
#include "core/types.h"

class GB;

inline constexpr u16 REG_DIV = 0xFF04;
inline constexpr u16 REG_TIMA = 0xFF05;
inline constexpr u16 REG_TMA = 0xFF06;
inline constexpr u16 REG_TAC = 0xFF07;

// DIV/TIMA timer. The 16-bit internal divider is never counted: it is the
// CPU clock minus a base cycle, so DIV costs a subtraction and the unit only
// has work at the falling edges of TIMA's input bit, which it schedules as
// the CPU-clock timer event.
class Timer {
public:
    void register_read_write_handlers(GB* machine);
    void reset();
    void set_boot_rom_values();
    void update();
    u8 read_div() const;
    void write_div(u8 value);
    // The divider reset that a CGB speed switch performs at its start. The
    // divider then counts on through the switch; `head_start` cycles are
    // counted as already elapsed (see CPU::op_stop).
    void reset_divider_for_speed_switch(u32 head_start);
    void write_tac(u8 value);
    void calculate_next_timer_update_cycle();
    // CPU-clock cycle of the next falling edge of `bit` of the divider.
    u64 get_bit_reset_cycle(u16 bit) const;
    u16 counter() const;

    template <class Archive>
    void serialize(Archive& ar) {
        ar(div_base_cycle, tima, tma, tac);
    }
    // Beyond the four fields above a save state holds the overflow sequence
    // in progress; the input bit follows from TAC (see derive_input_bit).
    template <class Archive>
    void serialize_extension(Archive& ar) {
        ar(overflow_countdown);
    }
    // TIMA's input bit as TAC selects it, after a save state has set TAC.
    void derive_input_bit();

    // 0: no overflow; 2: TIMA just wrapped, interrupt and reload at the next
    // event; 1: interrupt requested and TIMA reloaded, second reload next.
    u32 overflow_countdown = 0;
    u16 tima_input_bit = 0;  // divider bit whose falling edge clocks TIMA; 0 = off
    GB* gb = nullptr;
    u64 div_base_cycle = 0;
    u8 tima = 0;
    u8 tma = 0;
    u8 tac = 0;

private:
    u64 now() const;
    void schedule(u64 cycle);
    // The divider bits that a speed switch's reset finds high (see timer.cpp).
    u16 counter_seen_by_speed_switch() const;
    void restart_divider(u16 old_counter, u64 base);
    // Schedules TIMA's next input edge after a divider restart from `old`.
    void schedule_after_restart(u16 old);
};
