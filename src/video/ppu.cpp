#include "video/ppu.h"

#include "core/gb.h"

void PPU::reset() {
    mode = 0;
    current_line = 0;
    state = 0;
    lcdc = 0;
    lcd_enabled = false;
    oam_scan_state = 0;
    frame_done = false;
    last_stat_source = -1;
    gb->cpu.calculate_next_ppu_state_change_cycle(NEVER);
}

void PPU::change_to_next_state() { gb->cpu.calculate_next_ppu_state_change_cycle(NEVER); }
