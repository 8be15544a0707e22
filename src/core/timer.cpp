#include "core/timer.h"

#include "core/gb.h"
#include "core/models.h"

namespace {
// Divider bit that clocks TIMA, by TAC bits 1-0 (1024, 16, 64, 256 cycles).
constexpr u16 TAC_INPUT_BIT[4] = {0x200, 0x008, 0x020, 0x080};
constexpr u8 TAC_ENABLE = 0x04;
// Low divider bits that a carry has passed through when a speed switch's
// reset comes, by model (only the CGB family switches speed).
constexpr u16 SPEED_SWITCH_SETTLED_BITS[MODEL_COUNT] = {
    0xFF,                                      // auto, resolved at reset
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // DMG family
    0xFF, 0xFF, 0xFF, 0xFF,                    // CGB-0 to CGB-C
    0x0F, 0x0F,                                // CGB-D, CGB-E
    0x0F, 0x0F,                                // AGB, Pokemon Stadium 2
};
}  // namespace

u64 Timer::now() const { return gb->cpu.cpu_cycles; }
void Timer::schedule(u64 cycle) { gb->cpu.set_next_timer_update_cycle(cycle); }

u16 Timer::counter() const { return u16(now() - div_base_cycle); }

u8 Timer::read_div() const { return u8(counter() >> 8); }

u64 Timer::get_bit_reset_cycle(u16 bit) const {
    const u32 period = 2u * bit;
    return now() + ((period - (counter() & (period - 1))) & 0xFFFF);
}

void Timer::calculate_next_timer_update_cycle() {
    schedule(tima_input_bit == 0 ? NEVER : get_bit_reset_cycle(tima_input_bit));
}

void Timer::register_read_write_handlers(GB* machine) {
    machine->add_io_handlers_for_address(REG_DIV - 0xFF00, [this] { return read_div(); },
                                         [this](u8 v) { write_div(v); });
    machine->add_io_handlers_for_address(REG_TIMA - 0xFF00, [this] { return tima; }, [this](u8 v) { tima = v; });
    machine->add_io_handlers_for_address(REG_TMA - 0xFF00, [this] { return tma; }, [this](u8 v) { tma = v; });
    machine->add_io_handlers_for_address(REG_TAC - 0xFF00, [this] { return u8(tac | 0xF8); },
                                         [this](u8 v) { write_tac(v); });
}

void Timer::reset() {
    // The divider already counts 4 when the CPU clock starts at 0.
    div_base_cycle = u64(0) - 4;
    tima = tma = tac = 0;
    tima_input_bit = 0;
    overflow_countdown = 0;
    schedule(NEVER);
}

void Timer::set_boot_rom_values() {
    tac = 0xF8;
    tima = tma = 0;
    tima_input_bit = 0;
    overflow_countdown = 0;
    schedule(NEVER);
}

void Timer::update() {
    if (overflow_countdown == 0) {
        tima = u8(tima + 1);
        if (tima != 0) {
            calculate_next_timer_update_cycle();
        } else {
            // TIMA reads 0x00 for one M-cycle before the reload.
            overflow_countdown = 2;
            schedule(now() + 4);
        }
        return;
    }
    --overflow_countdown;
    if (overflow_countdown == 1) {
        if (tima == 0) {
            gb->cpu.flag_interrupt(INT_TIMER);
            tima = tma;
            schedule(now() + 4);
        } else {
            // The program wrote TIMA inside the window: no interrupt, no reload.
            overflow_countdown = 0;
            calculate_next_timer_update_cycle();
        }
    } else {
        // The reload latch is still open for one more M-cycle: a TMA or TIMA
        // write in it is overridden by TMA.
        tima = tma;
        calculate_next_timer_update_cycle();
    }
}

void Timer::derive_input_bit() { tima_input_bit = (tac & TAC_ENABLE) ? TAC_INPUT_BIT[tac & 3] : 0; }

void Timer::write_div(u8) { restart_divider(counter(), now()); }

// The divider is a ripple counter: a carry takes time to climb through it.
// The speed switch resets it early in an M-cycle, before a carry made at that
// cycle has climbed past the lowest bits; CGB-C and older have settled the
// low byte by then (DIV, bits 8-15, is the part still on its way), CGB-D and
// later only the low nibble. A bit the carry raises has not yet risen for the
// reset; a bit the carry drops has given its falling edge at this cycle, as
// it does without a reset, and the reset adds none. So the reset drops, as an
// edge of its own, only a bit that is high both before and after the carry.
// A DIV write comes later in its M-cycle and meets the settled counter.
u16 Timer::counter_seen_by_speed_switch() const {
    const u16 count = counter();
    const u16 settled = SPEED_SWITCH_SETTLED_BITS[gb->device];
    // With the settled bits all zero, a carry out of them is on its way: the
    // bit it raises is the lowest set bit of the count, and the bits it drops
    // are clear in the count already.
    return (count & settled) == 0 ? u16(count & (count - 1)) : count;
}

void Timer::reset_divider_for_speed_switch(u32 head_start) {
    const u16 old = counter_seen_by_speed_switch();
    // The reset comes while the sound unit still watches the old speed's
    // divider bit (the caller has already flipped the speed flag): the bit
    // that falls with the reset is that one, bit 12 leaving single speed and
    // bit 13 leaving double speed.
    div_base_cycle = now() - head_start;
    schedule_after_restart(old);
    gb->audio.divider_restarted(old, gb->double_speed ? 0x1000 : 0x2000);
    gb->audio.speed_changed();
}

void Timer::restart_divider(u16 old, u64 base) {
    div_base_cycle = base;
    schedule_after_restart(old);
    gb->audio.divider_restarted(old, gb->double_speed ? 0x2000 : 0x1000);
}

void Timer::schedule_after_restart(u16 old) {
    if (old & tima_input_bit)
        schedule(now() + 1);  // the reset is a falling edge of the input bit
    else if (tac & TAC_ENABLE)
        schedule(get_bit_reset_cycle(tima_input_bit));
    else
        schedule(NEVER);
}

void Timer::write_tac(u8 value) {
    const u16 count = counter();
    if (value & TAC_ENABLE) {
        tima_input_bit = TAC_INPUT_BIT[value & 3];
        if (overflow_countdown == 0) schedule(get_bit_reset_cycle(tima_input_bit));
        tac = value;
        return;
    }
    if ((tac & TAC_ENABLE) && (count & tima_input_bit)) {
        // Switching the timer off while its input is high is a falling edge.
        tima = u8(tima + 1);
        if (tima == 0) {
            overflow_countdown = 1;
            gb->cpu.flag_interrupt(INT_TIMER);
            tima = tma;
            schedule(now() + 4);
            tima_input_bit = 0;
            tac = value;
            return;
        }
    }
    tima_input_bit = 0;
    if (overflow_countdown == 0) schedule(NEVER);
    tac = value;
}
