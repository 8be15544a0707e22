// The line and frame state machine. The CPU's scheduler calls set_state at
// the exact 4 MHz cycle of each step; a step changes the mode, evaluates the
// STAT line, requests VBlank, starts the OAM scan and the pixel pipeline,
// advances the line, and says how many cycles later the next step is due.
// A line is 456 cycles, a frame 154 lines (70224 cycles); the first line
// after the LCD is switched on is 452 cycles and has no OAM scan mode.
#include <algorithm>

#include "core/gb.h"
#include "video/ppu.h"

namespace {

constexpr int MODE_HBLANK = 0;
constexpr int MODE_VBLANK = 1;
constexpr int MODE_OAM = 2;
constexpr int MODE_TRANSFER = 3;

}  // namespace

// Objects are collected while the CPU is stopped only if it stopped during
// mode 3.
bool PPU::scan_skips_entries() const { return gb->cpu.stopped && oam_scan_state >= 0 && oam_scan_state <= 2; }

bool PPU::early_cgb() const { return gb->is_cgb && gb->device < MODEL_CGBD; }

int PPU::last_window_start_x() const { return LAST_WINDOW_START_X[gb->is_cgb ? 1 : 0]; }

bool PPU::single_speed() const { return !gb->double_speed; }

// Lines 0-144 start an OAM scan (line 144's takes nothing from the CPU, and
// the line after LCD-on counts its 80 cycles without one); from the scan's
// end to the next line start the line logic holds it as ended. The vertical
// blank lines after 144, line 153's LY = 0 stretch included, start none.
bool PPU::oam_scan_ended_on_this_line() const {
    return get_scanline_cycle_count() >= OAM_SCAN_CYCLES && (mode != MODE_VBLANK || current_line == SCREEN_HEIGHT);
}

// Around a line start the LY = LYC comparison drops out for a few cycles on
// DMG, and on the early CGB revisions in single speed.
bool PPU::usual_compare_off() const { return gb->is_dmg || (early_cgb() && single_speed()); }

void PPU::set_mode(int m) {
    stat = u8((stat & 0x78) | m);
    mode = m;
    stat_irq_mode = m;
}

void PPU::set_lyc_lines(int line) { lyc_irq_line = lyc_flag_line = line; }

void PPU::wait(int cycles) {
    gb->cpu.calculate_next_ppu_state_change_cycle(u64(std::max(cycles, 0)));
    line_cycles_left -= cycles;
}

void PPU::wait_rest() {
    gb->cpu.calculate_next_ppu_state_change_cycle(u64(std::max(line_cycles_left, 0)));
    line_cycles_left = 0;
}

void PPU::hdma_request() { gb->cpu.hblank_hdma_requested = !gb->cpu.halted; }

int PPU::get_scanline_cycle_count() const { return int(u32(now() - line_start_cycle)); }

u32 PPU::get_frame_cycle_count() const { return u32(now()) - u32(frame_start_cycle); }

void PPU::reset_scanline_cycles() {
    line_cycles_left = LINE_CYCLES;
    line_start_cycle = now();
    fifo_cycle = now() + ((gb->is_cgb && gb->double_speed) ? 4 : 2);
    oam_scan_index = 0;
    line_window_enabled = window_enabled;
    sprite_count = 0;
    late_sprite_pending = false;
    oam_written_by_dma = false;
}

void PPU::reset_frame_cycles() {
    frame_start_cycle = now();
    if (timing_image_enabled) timing_image.fill(0);
}

void PPU::frame_start() {
    reset_frame_cycles();
    reset_scanline_cycles();
    wy_reached = wy == 0;
    current_line = 0;
    window_line = -1;
    set_lyc_lines(0);
}

void PPU::start_mode_3() {
    if (oam_scan_index < OAM_ENTRIES) collect_sprites(true);  // else finished where the length was counted
    init_mode_3();
}

// The window costs 6 cycles when it starts on the line. On CGB WX = 166 still
// starts it, on the last pixel, so it still costs them; on DMG that pixel is
// out first and the window costs nothing, as from 167 on on every model.
// WX = 0 with fine scroll costs one cycle more: the window then starts while
// the fine-scroll pixels are being dropped and one more pixel is dropped.
// Without fine scroll WX = 0 costs what any other WX costs.
int PPU::calculate_mode_3_cycles() const {
    const int fine_x = scx & 7;
    if ((lcdc & 0x20) && rendering_wx - 7 <= last_window_start_x() && wy_reached) {
        if (rendering_wx == 0 && fine_x != 0) return 180 + fine_x;
        return 179 + fine_x;
    }
    return 173 + fine_x;
}

// The window's start column, WX - 7, is the first column of a background
// tile (tile boundaries lie SCX & 7 pixels left of multiples of 8) where
// WX & 7 = 7 - (SCX & 7). Sprites the line fetches before that column, or
// at it, do not change where the pixel comes: the pipeline tests the same
// condition at its WX match.
bool PPU::dmg_window_off_glitch_on_line() const {
    return gb->is_dmg && !window_enabled && window_line >= 0 && rendering_wx <= LAST_MATCHING_WX &&
           ((rendering_wx + (rendering_scx & 7)) & 7) == 7;
}

int PPU::calculate_mode_3_sprite_cycles(int line) {
    if (!(lcdc & 0x02)) return 0;
    sprite_tile_penalties.fill(0);
    const int height = (lcdc & 0x04) ? 16 : 8;
    const int fine_x = scx & 7;
    int cycles = 0;
    int taken = 0;
    bool x0_seen = false;
    for (int i = 0; i < OAM_ENTRIES && taken < MAX_SPRITES_PER_LINE; ++i) {
        const int y = gb->oam[4 * i];
        const int x = gb->oam[4 * i + 1];
        if (y > line + 16 || line + 16 - y >= height) continue;
        ++taken;
        if (x >= 168) continue;  // off screen: counts towards the ten, costs nothing
        cycles += 6;
        // A sprite at X = 0 waits for the fine-scroll discard, at most 5
        // cycles: with its tile column's wait it costs 11 whatever SCX is.
        if (x == 0 && !x0_seen) {
            x0_seen = true;
            cycles += std::min(fine_x, X0_SPRITE_MAX_WAIT);
        }
        const int column = (x + fine_x) >> 3;
        const u8 penalty = u8(8 - ((x + fine_x) & 7));
        sprite_tile_penalties[column] = std::max(sprite_tile_penalties[column], penalty);
    }
    for (u8 penalty : sprite_tile_penalties)
        if (penalty > 3) cycles += penalty - 3;
    return cycles;
}

// The end of mode 3 of lines 0-143, over four steps two cycles before it
// to one cycle after it. A CGB in single speed asks for the HBlank DMA two
// cycles before STAT shows mode 0, in double speed in the cycle mode 3 ends;
// the early revisions offer the HBlank STAT source a cycle before mode 0; in
// double speed the CGB shows mode 0, and frees VRAM and OAM, a cycle late.
void PPU::mode_3_end_minus_2() {
    if (gb->is_cgb && !gb->double_speed) hdma_request();
    wait(1);
}

void PPU::mode_3_end_minus_1() {
    if (early_cgb()) stat_irq_mode = MODE_HBLANK;
    wait(1);
}

void PPU::mode_3_end() {
    oam_last_busy_cycle = now();
    if (gb->is_dmg || !gb->double_speed) set_mode(MODE_HBLANK);
    if (gb->is_cgb && gb->double_speed) hdma_request();
    render_line(current_line);
    wait(1);
}

void PPU::hblank_stat() {
    if (gb->is_cgb && gb->double_speed) set_mode(MODE_HBLANK);
    update_stat_irq(false);
    wait_rest();
}

void PPU::set_state(int id) {
    state = id;
    const bool dmg = gb->is_dmg;
    const bool cgb = gb->is_cgb;
    const bool double_speed = gb->double_speed;

    switch (id) {
        // --- the first line after the LCD is switched on ---
        case STATE_SCREEN_ON_LINE_0_CLOCKS_0:
            frame_start();
            stat &= 0x78;
            mode = MODE_HBLANK;
            stat_irq_mode = MODE_HBLANK;
            lyc_compare_enabled = true;
            wait(OAM_SCAN_CYCLES);
            next_state = STATE_ON_LINE_0_CLOCKS_80;
            break;
        case STATE_ON_LINE_0_CLOCKS_80:
            collect_sprites(true);
            set_mode(MODE_TRANSFER);
            // Without sprites or window, DMG ends this mode 3 at cycle
            // 251 + (SCX AND 7) and raises the HBlank interrupt one cycle
            // later; CGB machines raise it 2 cycles earlier than DMG.
            mode_3_length = calculate_mode_3_cycles() + calculate_mode_3_sprite_cycles(current_line) - (dmg ? 2 : 4);
            wait(1);
            next_state = STATE_ON_LINE_0_CLOCKS_81;
            break;
        case STATE_ON_LINE_0_CLOCKS_81:
            init_mode_3();
            wait(mode_3_length - 1);
            next_state = STATE_ON_LINE_0_MODE_3_END;
            break;
        case STATE_ON_LINE_0_MODE_3_END:
            render_line(current_line);
            if (dmg) set_mode(MODE_HBLANK);
            wait(1);
            next_state = STATE_ON_LINE_0_HBLANK_STAT;
            break;
        case STATE_ON_LINE_0_HBLANK_STAT:
            stat_irq_mode = MODE_HBLANK;
            update_stat_irq(false);
            hdma_request();
            wait(1);
            next_state = STATE_ON_LINE_0_HBLANK_CGB;
            break;
        case STATE_ON_LINE_0_HBLANK_CGB:
            oam_last_busy_cycle = now();
            if (cgb && !double_speed) set_mode(MODE_HBLANK);
            wait(1);
            next_state = STATE_ON_LINE_0_HBLANK_CGB_DOUBLE;
            break;
        case STATE_ON_LINE_0_HBLANK_CGB_DOUBLE:
            if (cgb && double_speed) set_mode(MODE_HBLANK);
            wait(line_cycles_left - 4);  // this line is 4 cycles short
            next_state = STATE_LINE_1_143_CLOCKS_0;
            break;

        // --- line 0 of every later frame ---
        case STATE_LINE_0_CLOCKS_0:
            frame_start();
            if (dmg || (early_cgb() && !double_speed))
                set_mode(MODE_HBLANK);
            else
                set_mode(MODE_VBLANK);
            lyc_compare_enabled = true;
            wait(2);
            next_state = STATE_LINE_0_CLOCKS_2;
            break;
        case STATE_LINE_0_CLOCKS_2:
            if (cgb) {
                set_mode(MODE_OAM);
                update_stat_irq(false);
            }
            wait(2);
            next_state = STATE_LINE_0_CLOCKS_4;
            break;
        case STATE_LINE_0_CLOCKS_4:
            if (dmg || !double_speed) {
                set_mode(MODE_OAM);
                update_stat_irq(false);
            }
            wait(4);
            next_state = STATE_LINE_0_CLOCKS_8;
            break;
        case STATE_LINE_0_CLOCKS_8:
            wait(71);
            next_state = STATE_LINE_0_CLOCKS_79;
            break;
        case STATE_LINE_0_CLOCKS_79:
            wait(2);
            next_state = STATE_LINE_0_CLOCKS_81;
            break;
        case STATE_LINE_0_CLOCKS_81:
            set_mode(MODE_TRANSFER);
            update_stat_irq(false);
            if (cgb && !double_speed)
                start_mode_3();
            else
                collect_sprites(true);  // the scan is over: the register effects due by now, WX's among them
            mode_3_length = calculate_mode_3_cycles() + calculate_mode_3_sprite_cycles(current_line) - 1;
            wait(1);
            next_state = STATE_LINE_0_CLOCKS_82;
            break;
        case STATE_LINE_0_CLOCKS_82:
            if (dmg || double_speed) start_mode_3();
            wait(mode_3_length - 3);
            next_state = STATE_LINE_0_MODE_3_END_MINUS_2;
            break;
        // Line 0 ends mode 3 as every other visible line does; only the
        // step ids differ (a save state holds them).
        case STATE_LINE_0_MODE_3_END_MINUS_2:
            mode_3_end_minus_2();
            next_state = STATE_LINE_0_MODE_3_END_MINUS_1;
            break;
        case STATE_LINE_0_MODE_3_END_MINUS_1:
            mode_3_end_minus_1();
            next_state = STATE_LINE_0_MODE_3_END;
            break;
        case STATE_LINE_0_MODE_3_END:
            mode_3_end();
            next_state = STATE_LINE_0_HBLANK_STAT;
            break;
        case STATE_LINE_0_HBLANK_STAT:
            hblank_stat();
            next_state = STATE_LINE_1_143_CLOCKS_0_TWIN;
            break;

        // --- lines 1-143 ---
        case STATE_LINE_1_143_CLOCKS_0:
        case STATE_LINE_1_143_CLOCKS_0_TWIN: {
            reset_scanline_cycles();
            ++current_line;
            if (!wy_reached) wy_reached = wy == current_line;
            gb->joypad.check_for_interrupt_trigger();
            stat = u8((stat & 0x78) | MODE_HBLANK);
            mode = MODE_HBLANK;
            stat_irq_mode = MODE_OAM;
            update_stat_irq(false);
            if (usual_compare_off()) lyc_compare_enabled = false;
            wait(2);
            next_state = STATE_LINE_1_143_CLOCKS_2;
            break;
        }
        case STATE_LINE_1_143_CLOCKS_2:
            if (cgb) {
                if (double_speed) set_lyc_lines(current_line);
                if (!early_cgb() && !double_speed) lyc_compare_enabled = false;
                set_mode(MODE_OAM);
            }
            wait(2);
            next_state = STATE_LINE_1_143_CLOCKS_4;
            break;
        case STATE_LINE_1_143_CLOCKS_4:
            set_mode(MODE_OAM);
            set_lyc_lines(current_line);
            update_stat_irq(true);
            // The OAM source is offered only at the very start of the line.
            stat_irq_mode = -1;
            update_stat_irq(false);
            lyc_compare_enabled = true;
            wait(76);
            next_state = STATE_LINE_1_143_CLOCKS_80;
            break;
        case STATE_LINE_1_143_CLOCKS_80:
            wait(1);
            next_state = STATE_LINE_1_143_CLOCKS_81;
            break;
        case STATE_LINE_1_143_CLOCKS_81:
            if (cgb && !double_speed)
                start_mode_3();
            else
                collect_sprites(true);  // the scan is over: the register effects due by now, WX's among them
            set_mode(MODE_TRANSFER);
            update_stat_irq(false);
            mode_3_length = calculate_mode_3_cycles() + calculate_mode_3_sprite_cycles(current_line) - 1;
            wait(1);
            next_state = STATE_LINE_1_143_CLOCKS_82;
            break;
        case STATE_LINE_1_143_CLOCKS_82:
            if (dmg || double_speed) start_mode_3();
            wait(mode_3_length - 3);
            next_state = STATE_LINE_1_143_MODE_3_END_MINUS_2;
            break;
        case STATE_LINE_1_143_MODE_3_END_MINUS_2:
            mode_3_end_minus_2();
            next_state = STATE_LINE_1_143_MODE_3_END_MINUS_1;
            break;
        case STATE_LINE_1_143_MODE_3_END_MINUS_1:
            mode_3_end_minus_1();
            next_state = STATE_LINE_1_143_MODE_3_END;
            break;
        case STATE_LINE_1_143_MODE_3_END:
            mode_3_end();
            next_state = STATE_LINE_1_143_HBLANK_STAT;
            break;
        case STATE_LINE_1_143_HBLANK_STAT:
            hblank_stat();
            next_state = current_line == 143 ? STATE_LINE_144_CLOCKS_0 : STATE_LINE_1_143_CLOCKS_0;
            break;

        // --- line 144 and vertical blank ---
        case STATE_LINE_144_CLOCKS_0: {
            reset_scanline_cycles();
            ++current_line;
            if (timing_image_enabled) std::fill_n(timing_image.begin() + 144 * LINE_CYCLES, LINE_CYCLES, map_rgb(0x53, 0xE3, 0xF1));
            register_write_log.clear();
            gb->joypad.check_for_interrupt_trigger();
            stat = u8((stat & 0x78) | MODE_HBLANK);
            mode = MODE_HBLANK;
            stat_irq_mode = MODE_OAM;
            update_stat_irq(false);
            if (usual_compare_off()) lyc_compare_enabled = false;
            wait(2);
            next_state = STATE_LINE_144_CLOCKS_2;
            break;
        }
        case STATE_LINE_144_CLOCKS_2:
            // In double speed the CGB enters mode 1 here, and its VBlank STAT
            // source drives the STAT line from this cycle too: a mode-1 STAT
            // interrupt comes 2 cycles before the VBlank interrupt.
            if (cgb && double_speed) {
                set_mode(MODE_VBLANK);
                update_stat_irq(false);
            }
            wait(2);
            next_state = STATE_LINE_144_CLOCKS_4_TWIN;
            break;
        case STATE_LINE_144_CLOCKS_4:
        case STATE_LINE_144_CLOCKS_4_TWIN:
            set_mode(MODE_VBLANK);
            set_lyc_lines(current_line);
            gb->cpu.flag_interrupt(INT_VBLANK);
            update_stat_irq(true);
            lyc_compare_enabled = true;
            wait_rest();
            next_state = STATE_LINE_145_152_CLOCKS_0_TWIN;
            break;
        case STATE_LINE_145_152_CLOCKS_0:
        case STATE_LINE_145_152_CLOCKS_0_TWIN:
            reset_scanline_cycles();
            ++current_line;
            if (usual_compare_off()) lyc_compare_enabled = false;
            set_mode(MODE_VBLANK);
            wait(4);
            next_state = STATE_LINE_145_152_CLOCKS_4_TWIN;
            break;
        case STATE_LINE_145_152_CLOCKS_4:
        case STATE_LINE_145_152_CLOCKS_4_TWIN:
            lyc_compare_enabled = true;
            set_lyc_lines(current_line);
            update_stat_irq(true);
            wait_rest();
            next_state = current_line == 152 ? STATE_LINE_153_CLOCKS_0 : STATE_LINE_145_152_CLOCKS_0;
            break;

        // --- line 153: LY turns to 0 a few cycles in ---
        case STATE_LINE_153_CLOCKS_0:
            reset_scanline_cycles();
            ++current_line;
            gb->joypad.check_for_interrupt_trigger();
            set_mode(MODE_VBLANK);
            if (usual_compare_off()) lyc_compare_enabled = false;
            wait(2);
            next_state = STATE_LINE_153_CLOCKS_2;
            break;
        case STATE_LINE_153_CLOCKS_2:
            wait(2);
            next_state = STATE_LINE_153_CLOCKS_4;
            break;
        case STATE_LINE_153_CLOCKS_4:
            if (dmg) {
                current_line = 0;
            } else {
                current_line = 153;
                if (early_cgb() && !double_speed) current_line = 0;
            }
            set_mode(MODE_VBLANK);
            set_lyc_lines(153);
            update_stat_irq(true);
            lyc_compare_enabled = true;
            wait(2);
            next_state = STATE_LINE_153_CLOCKS_6;
            break;
        case STATE_LINE_153_CLOCKS_6:
            if (cgb) current_line = 0;
            wait(2);
            next_state = STATE_LINE_153_CLOCKS_8;
            break;
        case STATE_LINE_153_CLOCKS_8:
            set_mode(MODE_VBLANK);
            if (dmg || (early_cgb() && !double_speed)) lyc_compare_enabled = false;
            wait(4);
            next_state = STATE_LINE_EARLY_0_MODE_1_LYC_0_TWIN;
            break;
        case STATE_LINE_EARLY_0_MODE_1_LYC_0:
        case STATE_LINE_EARLY_0_MODE_1_LYC_0_TWIN:
            lyc_compare_enabled = true;
            set_mode(MODE_VBLANK);
            set_lyc_lines(current_line);
            update_stat_irq(true);
            wait_rest();
            next_state = STATE_LINE_0_CLOCKS_0;
            break;

        default:
            // Only a damaged save state gets here: the PPU stops.
            gb->cpu.calculate_next_ppu_state_change_cycle(NEVER);
            break;
    }
    ly = u8(current_line & 0xFF);
}

// ---------------------------------------------------------------------------
// OAM scan: one entry every 2 cycles through mode 2, run lazily up to the
// current cycle (or to the end with `finish`).

// Examines the entry at the scan position, with `y_and_x` pointing at the Y
// and X bytes read for it, and moves on to the next entry.
inline void PPU::scan_entry(const u8* y_and_x, bool skip) {
    check_delayed_updates();
    if (!skip && sprite_count < MAX_SPRITES_PER_LINE) {
        const int y = y_and_x[0];
        if (y <= current_line + 16 && current_line + 16 < y + sprite_height) {
            const u8* entry = &gb->oam[4 * oam_scan_index];
            line_sprites[sprite_count] = {y_and_x[0], y_and_x[1], entry[2], entry[3], u8(oam_scan_index), 6};
            ++sprite_count;
            late_sprite_pending = false;
        }
    }
    ++oam_scan_index;
    fifo_cycle += 2;
}

void PPU::scan_oam_until(u64 until, bool finish) {
    const bool skip = scan_skips_entries();
    if (finish && !skip && delayed_count == 0) {
        // The rest of the scan at once: nothing is queued to change the
        // sprite height on the way (scan_entry's steps, without the tests).
        const u8* oam = gb->oam.data();
        const int line = current_line + 16, height = sprite_height;
        int count = sprite_count;
        const int first = oam_scan_index;
        for (int index = first; index < OAM_ENTRIES; ++index) {
            const u8* entry = &oam[4 * index];
            const int y = entry[0];
            // y <= line < y + height, in one unsigned compare.
            if (unsigned(line - y) < unsigned(height) && count < MAX_SPRITES_PER_LINE) {
                line_sprites[size_t(count++)] = {entry[0], entry[1], entry[2], entry[3], u8(index), 6};
                late_sprite_pending = false;
            }
        }
        sprite_count = count;
        fifo_cycle += u64(2 * (OAM_ENTRIES - first));
        oam_scan_index = OAM_ENTRIES;
        return;
    }
    while (oam_scan_index < OAM_ENTRIES && (finish || fifo_cycle < until))
        scan_entry(&gb->oam[4 * oam_scan_index], skip);
}

void PPU::collect_sprites(bool finish) { scan_oam_until(now(), finish); }

// The scan of a visible line has started and not finished. On line 153, whose
// line counter turns to 0 early, the mode stays VBlank.
bool PPU::oam_scan_running() const {
    return lcd_enabled && oam_scan_index < OAM_ENTRIES && unsigned(current_line) < unsigned(SCREEN_HEIGHT) &&
           mode != MODE_VBLANK;
}

// Mode 3 of this line has started and sprites are still to be fetched.
bool PPU::sprite_fetches_pending() const {
    return lcd_enabled && sprite_count > 0 && mode_3_start_cycle >= line_start_cycle && pixel_x < SCREEN_WIDTH &&
           unsigned(current_line) < unsigned(SCREEN_HEIGHT);
}

// The OAM scan and the sprite fetcher see object memory as it is at each of
// their reads, so they are first brought up to the write. In single speed the
// OAM DMA also holds object memory for one cycle of each of its M-cycles, the
// cycle before its write lands: a read of the scan or the fetcher in that
// cycle is answered from the DMA's address, not its own, and gets the 2-byte
// word the DMA is writing, with the byte being written already new. Of the
// scan's two entries per M-cycle, the one read in that cycle is lost that
// way. In double speed the DMA's M-cycle is only two cycles long; what it
// leaves to the picture unit then is not known, so no read is redirected.
// Like register writes, the DMA only advances the pipeline while the
// catch-up switch is on.
void PPU::oam_dma_write(int index, u8 value) {
    const u64 slot = now() - 1;
    const bool scanning = oam_scan_running();
    const bool fetching = !scanning && register_write_catch_up && sprite_fetches_pending();
    if (scanning)
        scan_oam_until(slot, false);
    else if (fetching)
        run_pipeline_until(slot);
    gb->oam[index] = value;
    if (!scanning && !fetching) return;
    oam_written_by_dma = true;
    if (gb->double_speed) {
        oam_dma_slot_cycle = NEVER;
        return;
    }
    oam_dma_slot_cycle = slot;
    oam_dma_slot_word = u8(index & ~1);
    // The pipeline meets the slot when it next runs; the scan entry due in
    // it is examined here.
    if (scanning && oam_scan_index < OAM_ENTRIES && fifo_cycle == slot)
        scan_entry(&gb->oam[oam_dma_slot_word], scan_skips_entries());
}

// Re-examines the entry scanned last with the current sprite height; if it
// covers the line it waits in the next free slot and counts once mode 3
// starts. Neither the scan position nor the count moves.
void PPU::collect_tentative_sprite() {
    if (oam_scan_index == 0 || sprite_count >= MAX_SPRITES_PER_LINE) return;
    const int index = oam_scan_index - 1;
    const u8* entry = &gb->oam[4 * index];
    const int y = entry[0];
    if (y <= current_line + 16 && current_line + 16 < y + sprite_height) {
        line_sprites[sprite_count] = {entry[0], entry[1], entry[2], entry[3], u8(index), 6};
        late_sprite_pending = true;
    }
}
