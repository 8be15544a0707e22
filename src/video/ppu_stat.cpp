// STAT, LY and LYC, and the STAT interrupt line.
//
// Four sources (HBlank, VBlank, OAM scan, LY = LYC) are ORed into one internal
// STAT line; the interrupt is requested only on its rising edge. All
// evaluations within one 4 MHz cycle compare against the line as it stood
// before that cycle.
#include "core/gb.h"
#include "video/ppu.h"

namespace {

constexpr u8 STAT_HBLANK_ENABLE = 0x08;
constexpr u8 STAT_VBLANK_ENABLE = 0x10;
constexpr u8 STAT_OAM_ENABLE = 0x20;
constexpr u8 STAT_LYC_ENABLE = 0x40;

// LY while its bits settle from value towards value + 1: low bits that must
// rise are still low, from the table T = 0, 0, 2, 0, 4, 4, 6, 0, 8; a carry
// into the high nibble shows the high nibble's settling value over a zero low
// nibble.
u8 settling_ly(u8 value) {
    static constexpr u8 SETTLING[9] = {0, 0, 2, 0, 4, 4, 6, 0, 8};
    if ((value & 15) != 15) return u8((value & ~7) | SETTLING[value & 7]);
    return u8(SETTLING[value >> 4] << 4);
}

}  // namespace

void PPU::update_stat_irq(bool lyc_may_raise) {
    const u64 t = now();
    if (t != stat_line_cycle) {
        stat_line_before = stat_line;
        stat_line_cycle = t;
    }
    stat_line = false;

    auto raise = [this] { gb->cpu.flag_interrupt(INT_STAT); };

    if (gb->is_dmg && stat_write_cycle == t) {
        // A STAT write on DMG briefly enables every source.
        if (stat_irq_mode >= 0 && stat_irq_mode <= 2) {
            stat_line = true;
            last_stat_source = stat_irq_mode;
            if (!stat_line_before) raise();
        } else if (lyc == lyc_irq_line) {
            stat_line = true;
            last_stat_source = STAT_SOURCE_LYC;
            if (lyc_may_raise && !stat_line_before) raise();
        }
        return;
    }

    if ((stat & STAT_HBLANK_ENABLE) && stat_irq_mode == 0)
        last_stat_source = STAT_SOURCE_HBLANK;
    else if ((stat & STAT_VBLANK_ENABLE) && stat_irq_mode == 1)
        last_stat_source = STAT_SOURCE_VBLANK;
    else if ((stat & STAT_OAM_ENABLE) && stat_irq_mode == 2)
        last_stat_source = STAT_SOURCE_OAM;
    else {
        if ((stat & STAT_LYC_ENABLE) && lyc == lyc_irq_line) {
            stat_line = true;
            last_stat_source = STAT_SOURCE_LYC;
            if (lyc_may_raise && !stat_line_before) raise();
        }
        return;
    }
    stat_line = true;
    if (!stat_line_before) raise();
}

u8 PPU::read_stat() {
    if (lcdc & 0x80) lyc_coincidence = lyc_flag_line == lyc;
    return peek_stat();
}

u8 PPU::peek_stat() const {
    const bool coincidence = (lcdc & 0x80) ? lyc_flag_line == lyc : lyc_coincidence;
    if (coincidence && lyc_compare_enabled) return stat | 0x84;
    return u8((stat & ~0x04) | 0x80);
}

void PPU::write_stat(u8 value) {
    stat_write_cycle = now();
    if (!lcd_enabled) {
        stat = u8((value & 0xF8) | mode);
        return;
    }
    if (gb->is_cgb && gb->device != MODEL_CGBD) {
        lyc_irq_line = current_line;
        update_stat_irq(true);  // still with the old enable bits
    }
    stat = u8((value & 0xF8) | mode);
    if (gb->is_cgb) lyc_irq_line = current_line;
    update_stat_irq(true);
}

u8 PPU::read_ly() const {
    if (!gb->is_cgb) return ly;
    // Each return from double speed moves the CGB CPU off its old M-cycle
    // grid, so its reads can land on line cycles that are otherwise never
    // sampled. In cycle 455 the counter is switching to the next line and a
    // read sees its bits half changed; on CGB-C and earlier in single speed
    // this shows from cycle 454. On line 153 the counter has dropped to 0 by
    // cycle 5 (cycle 4 still reads 153, except on CGB-C and earlier in single
    // speed, where the state machine clears it at 4).
    const int cycle = get_scanline_cycle_count();
    if (current_line <= 152 && (cycle == 455 || (cycle == 454 && early_cgb() && single_speed())))
        return settling_ly(ly);
    if (current_line == 153 && cycle == 5) return 0;
    return ly;
}

void PPU::write_lyc(u8 value) {
    if (!lcd_enabled || gb->is_dmg) {
        lyc = value;
        if (lyc_compare_enabled) update_stat_irq(true);
        return;
    }
    const bool inside = u32(get_scanline_cycle_count()) - 5u <= 446u;  // line cycles 5-451
    if (current_line != 0) {
        lyc_irq_line = current_line;
        update_stat_irq(true);
        lyc = value;
        if (inside) update_stat_irq(lyc_compare_enabled);
    } else if (inside) {
        lyc_irq_line = 0;
        update_stat_irq(true);
        lyc = value;
        update_stat_irq(lyc_compare_enabled);
    } else {
        lyc = value;
    }
}
