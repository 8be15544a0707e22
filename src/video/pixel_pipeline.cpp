// The pixel pipeline of mode 3: a background/window tile fetcher with a fixed
// cost per state, a six-step sprite fetcher that stalls pixel output, an
// 8-pixel background shifter and an 8-pixel sprite shifter kept as bit planes,
// the window trigger with its glitches, and the pixel mixer.
//
// One call of handle_mode_3 is one 4 MHz cycle. The pipeline does not run in
// step with the CPU: register writes in mode 3 bring it up to their cycle and
// the end of mode 3 runs it to the end of the line. The length of mode 3 as
// the CPU sees it comes from the state machine's formula, not from here.
//
// Nothing here allocates, and nothing per pixel goes through an indirect call.
#include <algorithm>
#include <cstring>

#include "core/gb.h"
#include "video/ppu.h"
#include "video/tile_data.h"

namespace {

// No sprite owns a sprite-shifter position.
constexpr u8 NO_OWNER = 40;
constexpr u64 ALL_POSITIONS_FREE = 0x2828282828282828ull;

// Colours of the line start's timing picture (the debug viewers).
constexpr u32 TIMING_OAM_SCAN = 0xFFF3C75C;
constexpr u32 TIMING_TRANSFER = 0xFFF17353;
constexpr u32 TIMING_HBLANK = 0xFF5BEF73;

#define ZX_PIPELINE_INLINE [[gnu::always_inline]] inline

// Tile fetcher states that belong to a tile's reads: tile number (with the
// CGB's attribute byte), data low and data high, two cycles each, for the
// background (2-6, 13) and the window (7-11, 14).
constexpr u32 TILE_READ_STEPS = 1u << 2 | 1u << 3 | 1u << 4 | 1u << 5 | 1u << 6 | 1u << 13 | 1u << 7 | 1u << 8 |
                                1u << 9 | 1u << 10 | 1u << 11 | 1u << 14;

// A wedged pipeline must not hang the machine; no line takes this long.
constexpr int MAX_LINE_CYCLES = 4 * PPU::LINE_CYCLES;

}  // namespace

bool sort_by_sprite_priority(const OamDataWithId& a, const OamDataWithId& b) {
    return a.x > b.x || (a.x == b.x && a.oam_index > b.oam_index);
}

PPU::PixelClass PPU::pixel_class_for_machine() const {
    if (gb->is_dmg) return PixelClass::Dmg;
    return gb->key0 == KEY0_DMG_COMPAT ? PixelClass::CgbDmgMode : PixelClass::Cgb;
}

void PPU::paint_timing_row(int line, int from, int to, u32 colour) {
    if (!timing_image_enabled || line < 0 || line >= LINES_PER_FRAME) return;
    from = std::clamp(from, 0, LINE_CYCLES);
    to = std::clamp(to, 0, LINE_CYCLES);
    if (to > from) std::fill_n(timing_image.begin() + line * LINE_CYCLES + from, to - from, colour);
}

// ---------------------------------------------------------------------------
// Mode 3 start and the per-cycle step

void PPU::init_mode_3() {
    paint_timing_row(current_line, 0, get_scanline_cycle_count(), TIMING_OAM_SCAN);
    check_delayed_updates();
    if (late_sprite_pending) {
        ++sprite_count;
        late_sprite_pending = false;
    }
    // The pipeline always takes the last entry: lowest x, then lowest index.
    std::sort(line_sprites.begin(), line_sprites.begin() + sprite_count, sort_by_sprite_priority);

    pixel_class = pixel_class_for_machine();
    fifo_cycle = mode_3_start_cycle = now();
    mode_3_cycle = 0;
    bg_tile_x = 0;
    bg_shift_count = 0;
    pixel_x = output_x = -50;  // below -19: the line's first fetch is still to come
    output_armed = true;
    obj_shift_low = obj_shift_high = 0;
    obj_shift_bytes = {};
    obj_shift_priority = 0;
    obj_shift_owners = ALL_POSITIONS_FREE;

    set_tile_fetcher_state(0);
    first_window_fetch = true;
    window_restart_pixel = false;
    dmg_window_glitch_pending = false;
    window_activation_x = 1000;
    window_triggered = false;
    window_armed = false;
    saved_data_valid = false;
}

template <PPU::PixelClass C, bool Clean>
ZX_PIPELINE_INLINE void PPU::step_mode_3(u32* row) {
    ++mode_3_cycle;
    if constexpr (!Clean) check_delayed_updates();

    // Sprites at this position stall pixel output while they are fetched
    // (a sprite's position is never left of -8).
    if (sprite_count > 0 && line_sprites[sprite_count - 1].x - 8 == pixel_x) [[unlikely]] {
        if (C == PixelClass::Dmg && !obj_fetch_enabled) {
            // DMG with sprites off: dropped unfetched, at no cost.
            while (sprite_count > 0 && line_sprites[sprite_count - 1].x - 8 == pixel_x) --sprite_count;
        } else {
            OamDataWithId& sprite = line_sprites[sprite_count - 1];
            if (tile_fetcher_state >= 13) {
                if (sprite.x == 0 && sprite_x0_wait > 0) {
                    --sprite_x0_wait;
                    return;
                }
                handle_sprite_fetcher(6 - sprite.fetch_counter);
                if (--sprite.fetch_counter == 0) --sprite_count;
            } else if (--tile_fetcher_wait <= 0) {
                // The tile fetcher first finishes its data reads.
                advance_tile_fetcher<Clean>();
            }
            return;
        }
    }

    if (bg_shift_count > 0) output_pixel<C, Clean>(row);

    // Every window trigger branch needs the pixel just before, or at, the
    // window's start.
    if (unsigned(window_x - pixel_x - 7) <= 1 && check_for_window_activation()) return;

    if (--tile_fetcher_wait <= 0) {
        // A new tile reloads the BG shifter, which must have run empty first.
        if ((tile_fetcher_next_state == 2 || tile_fetcher_next_state == 7) && bg_shift_count > 0)
            tile_fetcher_wait = 1;
        else
            advance_tile_fetcher<Clean>();
    }
}

void PPU::handle_mode_3() {
    switch (pixel_class) {
        case PixelClass::Dmg: step_mode_3<PixelClass::Dmg>(frame_row_or_null()); break;
        case PixelClass::Cgb: step_mode_3<PixelClass::Cgb>(frame_row_or_null()); break;
        case PixelClass::CgbDmgMode: step_mode_3<PixelClass::CgbDmgMode>(frame_row_or_null()); break;
    }
}

// Runs the pipeline from fifo_cycle up to (not including) `until`, or to the
// end of the line, whichever comes first.
template <PPU::PixelClass C, bool Clean>
void PPU::run_pipeline(u64 until) {
    if (Clean && unsigned(current_line) < unsigned(SCREEN_HEIGHT) && pixel_x < SCREEN_WIDTH && fifo_cycle < until) {
        // The line is drawn into a copy that nothing else can reach, so the
        // pixel stores do not make the compiler reload the pipeline's state.
        u32* const frame_row = &frame_buffer[size_t(current_line) * SCREEN_WIDTH];
        std::array<u32, SCREEN_WIDTH> line;
        std::copy_n(frame_row, SCREEN_WIDTH, line.begin());
        const int cycles = until - fifo_cycle < u64(MAX_LINE_CYCLES) ? int(until - fifo_cycle) : MAX_LINE_CYCLES;
        for (int guard = 0; pixel_x < SCREEN_WIDTH && guard < cycles;) {
            if (whole_tile_steps && whole_tile_step_possible(cycles - guard)) {
                run_whole_tile_step<C>(line.data());
                guard += 8;
                continue;
            }
            step_mode_3<C, Clean>(line.data());
            ++fifo_cycle;
            ++guard;
        }
        std::copy_n(line.begin(), SCREEN_WIDTH, frame_row);
        return;
    }
    u32* const row = frame_row_or_null();
    for (int guard = 0; fifo_cycle < until && pixel_x < SCREEN_WIDTH && guard < MAX_LINE_CYCLES; ++guard) {
        step_mode_3<C, Clean>(row);
        ++fifo_cycle;
    }
}

// The fetcher's steady rhythm: a background or window tile fetcher that has
// just loaded the BG shifter with a full tile takes eight cycles to the next
// load, one pixel out in each, its data reads in between. When no sprite is
// met at any of those eight pixels, the window trigger cannot fire on them,
// and the line goes on past them, the eight cycles do nothing but that, so
// they can be taken at once. (Only on a clean rest of a line: no register
// effect can fall inside.)
ZX_PIPELINE_INLINE bool PPU::whole_tile_step_possible(int cycles_left) const {
    if (tile_fetcher_wait != 1 || bg_shift_count != 8 || cycles_left < 8) return false;
    const bool background = tile_fetcher_state == 2 && tile_fetcher_next_state == 3;
    const bool window = tile_fetcher_state == 7 && tile_fetcher_next_state == 8 && !first_window_fetch;
    if (!background && !window) return false;
    const int x = pixel_x;
    if (x < 0 || x + 8 >= SCREEN_WIDTH || !output_started || !output_armed || window_restart_pixel) return false;
    // The sprite test looks at the position before each pixel goes out
    // (x .. x+7), the window test after it (x+1 .. x+8), at WX - 8 and WX - 7.
    if (sprite_count > 0 && unsigned(line_sprites[sprite_count - 1].x - 8 - x) < 8u) return false;
    if (unsigned(window_x - 8 - x) < 9u) return false;
    return true;
}

template <PPU::PixelClass C>
ZX_PIPELINE_INLINE void PPU::run_whole_tile_step(u32* row) {
    if ((obj_shift_low | obj_shift_high) == 0) {
        // No sprite pixel in the shifter: the eight pixels are the BG tile's.
        const unsigned pair = SPREAD_BITS[bg_shift_low] | (SPREAD_BITS[bg_shift_high] << 1);
        u32 shades[4];
        for (int bg = 0; bg < 4; ++bg) shades[bg] = bg_colour<C, true>(bg_enabled ? bg : 0);
        for (int k = 0; k < 8; ++k) {
            if (unsigned(output_x + k) < unsigned(SCREEN_WIDTH)) row[output_x + k] = shades[(pair >> (14 - 2 * k)) & 3];
        }
        pixel_x += 8;
        output_x += 8;
        bg_shift_low = bg_shift_high = 0;
        bg_shift_count = 0;
    } else {
        for (int k = 0; k < 8; ++k) output_pixel<C, true>(row);
    }
    mode_3_cycle += 8;
    fifo_cycle += 8;
    const bool window = tile_fetcher_state == 7;
    fetch_tile_data(false, window);
    tile_number_as_data = replace_data = false;
    fetch_tile_data(true, window);
    ++bg_tile_x;
    enter_tile_fetcher_state(window ? 7 : 2);
}

// The frame-buffer row of the current line; null for the lines below the
// screen (no pixel is stored then).
u32* PPU::frame_row_or_null() {
    return unsigned(current_line) < unsigned(SCREEN_HEIGHT) ? &frame_buffer[size_t(current_line) * SCREEN_WIDTH]
                                                            : nullptr;
}

// Nothing the pipeline tests cycle by cycle can still happen on this line:
// no register effect is queued, and the cycles after the last BGP and LCDC
// writes are behind (a register write would first bring the pipeline up to
// itself, so while the line runs to its end none comes).
bool PPU::clean_rest_of_line() const {
    return delayed_count == 0 && bgp_write_cycle + 1 < fifo_cycle && lcdc_write_cycle < fifo_cycle;
}

void PPU::run_pipeline_until(u64 until) {
    switch (pixel_class) {
        case PixelClass::Dmg: run_pipeline<PixelClass::Dmg>(until); break;
        case PixelClass::Cgb: run_pipeline<PixelClass::Cgb>(until); break;
        case PixelClass::CgbDmgMode: run_pipeline<PixelClass::CgbDmgMode>(until); break;
    }
}

// Register writes in mode 3 bring the pipeline up to their cycle, so that the
// write lands between the right two pixels. Once the line is complete only
// the pipeline's clock moves.
void PPU::catch_up_pixel_pipeline() {
    const u64 t = now();
    run_pipeline_until(t);
    if (pixel_x >= SCREEN_WIDTH && fifo_cycle < t) fifo_cycle = t;
}

template <PPU::PixelClass C, bool Clean>
ZX_PIPELINE_INLINE void PPU::output_pixel(u32* row) {
    if (pixel_x >= 0) {
        const u32 colour = mix_pixel<C, Clean>();
        // Only visible columns: a dropped pixel can leave the output column
        // one behind, at -1.
        if ((C != PixelClass::Dmg || output_started) && unsigned(output_x) < unsigned(SCREEN_WIDTH) && row)
            row[output_x] = colour;
    }
    ++pixel_x;
    if (output_started) {
        ++output_x;
        output_started = output_armed;
    } else {
        output_armed = output_started = true;
    }

    // Outside the sprite pixels the palette, priority and owner planes are
    // empty too (they only ever take opaque positions), so an empty sprite
    // shifter has nothing to move.
    if (obj_shift_low | obj_shift_high) {
        obj_shift_low = u8(obj_shift_low << 1);
        obj_shift_high = u8(obj_shift_high << 1);
        obj_shift_bytes[0] = u8(obj_shift_bytes[0] << 1);
        obj_shift_bytes[1] = u8(obj_shift_bytes[1] << 1);
        obj_shift_bytes[2] = u8(obj_shift_bytes[2] << 1);
        obj_shift_priority = u8(obj_shift_priority << 1);
        obj_shift_owners = (obj_shift_owners << 8) | NO_OWNER;
    }

    if (window_restart_pixel) {
        // The restart pixel showed BG colour 0; the BG shifter holds.
        window_restart_pixel = false;
    } else if (pixel_x < SCREEN_WIDTH) {
        --bg_shift_count;
        bg_shift_low = u8(bg_shift_low << 1);
        bg_shift_high = u8(bg_shift_high << 1);
    }
}

// ---------------------------------------------------------------------------
// Mixing and colours

template <PPU::PixelClass C, bool Clean>
ZX_PIPELINE_INLINE u32 PPU::bg_colour(int bg) {
    if constexpr (C == PixelClass::Dmg) {
        if (!Clean && fifo_cycle == bgp_write_cycle + 1) [[unlikely]] {
            // In the cycle after a BGP write the old and the new palette both
            // drive the shade lines.
            const u8 mixed = previous_bgp | bgp;
            for (int i = 0; i < 4; ++i) conflict_shades[i] = (mixed >> (2 * i)) & 3;
            return mapped_colors[64 + conflict_shades[bg]];
        }
        return mapped_colors[64 + dmg_shades[bg]];
    } else if constexpr (C == PixelClass::Cgb) {
        return mapped_colors[4 * bg_shift_attributes + bg];
    } else {
        return mapped_colors[dmg_shades[bg]];
    }
}

template <PPU::PixelClass C, bool Clean>
ZX_PIPELINE_INLINE u32 PPU::mix_pixel() {
    const int bg = ((bg_shift_high >> 6) & 2) | (bg_shift_low >> 7);
    const int sp = ((obj_shift_high >> 6) & 2) | (obj_shift_low >> 7);
    const bool restart = window_restart_pixel;

    if (sp != 0 && obj_enabled) {
        if (bg_master_priority && bg != 0 && !restart) {
            if (!bg_shift_priority) {
                if ((obj_shift_priority & 0x80) && bg_enabled) return bg_colour<C, Clean>(bg);
            } else {
                return bg_colour<C, Clean>(bg_enabled ? bg : 0);
            }
        }
        const int palette_bit0 = obj_shift_bytes[0] >> 7;
        if constexpr (C == PixelClass::Dmg) {
            return mapped_colors[64 + dmg_shades[4 + 4 * palette_bit0 + sp]];
        } else if constexpr (C == PixelClass::Cgb) {
            const int palette = palette_bit0 | ((obj_shift_bytes[1] >> 6) & 2) | ((obj_shift_bytes[2] >> 5) & 4);
            return mapped_colors[32 + 4 * palette + sp];
        } else {
            return palette_bit0 ? mapped_colors[36 + dmg_shades[8 + sp]] : mapped_colors[32 + dmg_shades[4 + sp]];
        }
    }
    return bg_colour<C, Clean>((restart || !bg_enabled) ? 0 : bg);
}

u32 PPU::mix_current_pixel() {
    switch (pixel_class) {
        case PixelClass::Dmg: return mix_pixel<PixelClass::Dmg>();
        case PixelClass::Cgb: return mix_pixel<PixelClass::Cgb>();
        case PixelClass::CgbDmgMode: return mix_pixel<PixelClass::CgbDmgMode>();
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Window trigger

bool PPU::check_for_window_activation() {
    const int x = pixel_x;
    // Every branch needs the pixel just before, or at, the window's start.
    // Once the last pixel is out the line is over: WX = 167 and above never
    // start the window (and never count a window line).
    if ((x + 8 != window_x && x + 7 != window_x) || x >= SCREEN_WIDTH) return false;

    if (dmg_window_glitch_pending && x + 7 == window_x) {
        window_restart_pixel = true;
        dmg_window_glitch_pending = false;
        return false;
    }
    if (gb->is_cgb || window_enabled || window_line < 0) {
        if (window_armed && x + 7 == window_x) return activate_window();
        if (x + 8 == window_x && wy_reached && window_enabled) {
            window_armed = true;
            dmg_window_glitch_pending = false;
        }
        return false;
    }
    // DMG, the window switched off after it started in this frame: its WX
    // match still comes, on this line and every later one. Where WX & 7 =
    // 7 - (SCX & 7), with the fine scroll the line started with, it restarts
    // the background as a window start would, whatever sprites the line has
    // fetched before: the pixel at the window's start shows background
    // colour 0 and the background shifter holds for it, so the rest of the
    // background comes one pixel later (the pixel counter, the sprites and
    // the line's end do not move). Elsewhere the match leaves the line alone.
    if (x + 8 == window_x) dmg_window_glitch_pending = ((window_x + line_fine_x) & 7) == 7;
    if (window_armed && x + 7 == window_x) return activate_window();
    return false;
}

// True when the window's fetch starts, which takes the rest of the cycle.
bool PPU::activate_window() {
    window_armed = false;
    const int x = pixel_x;
    if (!window_triggered) {
        ++window_line;
        window_triggered = true;
        window_activation_x = x;
        // Too late on the line to fetch anything: the line is counted, the
        // background goes on to its end.
        if (x > last_window_start_x()) return false;
        bg_shift_low = bg_shift_high = 0;
        bg_shift_count = 0;
        window_tile_x = 0;
        set_tile_fetcher_state(7);
        return true;
    }
    // A second trigger while the window runs: one pixel of BG colour 0.
    if (tile_fetcher_next_state == 7 && bg_shift_count <= 0 && tile_fetcher_wait == 1 && x >= 1 &&
        x != window_activation_x) {
        window_restart_pixel = true;
        window_activation_x = x;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Tile fetcher

// An LCDC write that switches the tile data area off the unsigned one in the
// cycle a step of a tile's reads begins makes the CGB keep the high data byte
// read last, in place of a sprite's, for a later read the switch disturbs.
// The two cycles after a tile's reads (and the line start, and the short end
// of the first window tile) read nothing: a switch landing there leaves the
// fetcher's bytes as they are, a sprite's among them.
ZX_PIPELINE_INLINE void PPU::note_tile_data_switch(int entered_state) {
    if (pixel_class != PixelClass::Dmg && lcdc_write_cycle == fifo_cycle && previous_tile_data_select &&
        !tile_data_select && unsigned(entered_state) < 32 && (TILE_READ_STEPS >> entered_state & 1)) {
        saved_data = fetcher_data_high;
        saved_data_valid = true;
        sprite_data_fetched = false;
    }
}

// The background fetcher's steps, taken on every tile, inline; the others
// out of line.
ZX_PIPELINE_INLINE void PPU::enter_tile_fetcher_state(int new_state) {
    tile_fetcher_state = new_state;
    int next;
    switch (new_state) {
        case 2:
            fetch_bg_tile_number();
            next = 3;
            break;
        case 3: next = 4; break;
        case 4:
            fetch_tile_data(false, false);
            next = 5;
            break;
        case 5:
            tile_number_as_data = replace_data = false;
            next = 6;
            break;
        case 6:
            fetch_tile_data(true, false);
            next = 13;
            break;
        case 13: next = 15; break;
        case 15:
            ++bg_tile_x;
            tile_fetcher_wait = 2;
            tile_fetcher_next_state = 2;
            return;
        default:
            set_rare_tile_fetcher_state(new_state);
            return;
    }
    tile_fetcher_wait = 1;
    tile_fetcher_next_state = next;
}

void PPU::set_tile_fetcher_state(int new_state) {
    note_tile_data_switch(new_state);
    enter_tile_fetcher_state(new_state);
}

template <bool Clean>
ZX_PIPELINE_INLINE void PPU::advance_tile_fetcher() {
    if constexpr (!Clean) note_tile_data_switch(tile_fetcher_next_state);
    enter_tile_fetcher_state(tile_fetcher_next_state);
}

// Line start, window and the states only recorded.
void PPU::set_rare_tile_fetcher_state(int new_state) {
    int wait = 1;
    int next = tile_fetcher_next_state;
    switch (new_state) {
        case 0:  // line start
            wait = 5;
            next = 1;
            break;
        case 1: {
            const int fine_x = rendering_scx & 7;
            if (rendering_wx == 0 && wy_reached && window_enabled) {
                // WX = 0 starts the window before the first pixel.
                window_x = (fine_x == 0 || fine_x == 7) ? -fine_x : -fine_x - 1;
                pixel_x = output_x = fine_x == 0 ? -8 : -9 - fine_x;
            } else {
                window_x = rendering_wx;
            }
            next = 2;
            break;
        }
        case 7:
            if (!window_enabled) {
                window_triggered = false;
                set_tile_fetcher_state(2);
                return;
            }
            fetch_window_tile_number();
            next = 8;
            break;
        case 8: next = 9; break;
        case 9:
            fetch_tile_data(false, true);
            next = 10;
            break;
        case 10:
            tile_number_as_data = replace_data = false;
            next = 11;
            break;
        case 11:
            fetch_tile_data(true, true);
            next = first_window_fetch ? 12 : 14;
            first_window_fetch = false;
            break;
        case 12:
            // The first window tile of a line is two cycles shorter.
            if (window_enabled) {
                next = 7;
            } else {
                window_triggered = false;
                next = 2;
            }
            break;
        case 14: next = 16; break;
        case 16:
            ++bg_tile_x;
            wait = 2;
            next = 7;
            break;
        default:
            return;  // only recorded
    }
    tile_fetcher_wait = wait;
    tile_fetcher_next_state = next;
}

void PPU::load_bg_shifter() {
    const bool flip = fetcher_attributes & ATTR_X_FLIP;
    bg_shift_low = flip ? REVERSED_BITS[fetcher_data_low] : fetcher_data_low;
    bg_shift_high = flip ? REVERSED_BITS[fetcher_data_high] : fetcher_data_high;
    bg_shift_count = 8;
    bg_shift_attributes = fetcher_attributes & ATTR_CGB_PALETTE;
    bg_shift_priority = fetcher_attributes >> 7;
}

void PPU::fetch_bg_tile_number() {
    if (pixel_x < -19) {
        // The line's first fetch: SCX & 7 more pixels are dropped. A sprite at
        // X = 0 waits for them, at most 5 cycles.
        line_fine_x = rendering_scx & 7;
        sprite_x0_wait = std::min(line_fine_x, X0_SPRITE_MAX_WAIT);
        pixel_x = output_x = -8 - (rendering_scx & 7);
        // The window comparator sees this start value of the counter too.
        // Without fine scroll it is the position just before WX = 0 starts
        // the window, so a WX = 0 that arrived after the WX = 0 test of the
        // line start (state 1) still arms the window here.
        if (window_x == 0 && !window_armed) check_for_window_activation();
    }
    load_bg_shifter();
    fetch_scy = rendering_scy;
    // The map column is SCX added to the position of the tile being fetched
    // (8 * j less the line's fine scroll), so it stays SCX / 8 + j while
    // SCX & 7 keeps the line's starting value. Lower fine bits written in
    // the middle of the line borrow from the column: the fetches after the
    // write read one column further left. DMG adds one pixel more, so there
    // the new bits must be two below the starting value. (No hardware result
    // shows the carry that larger fine bits would then give on DMG, so none
    // is modelled.)
    const int fine_borrow = ((rendering_scx & 7) - line_fine_x + (pixel_class == PixelClass::Dmg ? 1 : 0)) < 0 ? 1 : 0;
    fetcher_address = u16(bg_tile_map_address + (((rendering_scx >> 3) + bg_tile_x - fine_borrow) & 31) +
                          ((((fetch_scy + current_line) >> 3) << 5) & 0x3E0));
    fetcher_tile = gb->vram_read_byte(fetcher_address);
    if (gb->is_cgb) fetcher_attributes = gb->vram_banked_read_byte(fetcher_address, 1);
}

void PPU::fetch_window_tile_number() {
    if (window_tile_x > 0) load_bg_shifter();
    fetcher_address = u16(window_tile_map_address + (window_tile_x & 31) + (((window_line >> 3) << 5) & 0x3E0));
    ++window_tile_x;
    fetcher_tile = gb->vram_read_byte(fetcher_address);
    if (gb->is_cgb) fetcher_attributes = gb->vram_banked_read_byte(fetcher_address, 1);
}

void PPU::fetch_tile_data(bool high, bool window) {
    // DMG and the CGB revisions before D read SCY again for each data byte.
    if (!window && (gb->is_dmg || early_cgb())) fetch_scy = rendering_scy;
    int row = window ? (window_line & 7) : ((fetch_scy + current_line) & 7);
    if (fetcher_attributes & ATTR_Y_FLIP) row = 7 - row;
    const int bank = (fetcher_attributes & ATTR_VRAM_BANK) ? 1 : 0;
    u8 value;
    if (pixel_class != PixelClass::Dmg && lcdc_write_cycle == fifo_cycle &&
        previous_tile_data_select != tile_data_select)
        value = read_tile_data_glitched(high, row, bank);
    else
        value = gb->vram_banked_read_byte(u16(tile_row_address(tile_data_select, fetcher_tile, row) + high), bank);
    (high ? fetcher_data_high : fetcher_data_low) = value;
}

// CGB: an LCDC write that switches the tile data area lands on the cycle of
// this data read. The byte comes from a mix of the two areas, the tile number
// or bytes fetched earlier.
u8 PPU::read_tile_data_glitched(bool high, int row, int bank) {
    auto read = [&](bool unsigned_tiles, int offset) {
        return gb->vram_banked_read_byte(u16(tile_row_address(unsigned_tiles, fetcher_tile, row) + offset), bank);
    };
    if (!previous_tile_data_select && tile_data_select) {
        replace_data = true;
        u8 value = read(true, high);
        if (sprite_data_fetched) {
            value = sprite_data_high;
            sprite_data_fetched = false;
        } else if (saved_data_valid) {
            value = saved_data;
        }
        return value;
    }
    const bool cgb_d = gb->device == MODEL_CGBD;
    u8 value;
    if (!high) {
        if (cgb_d) {
            value = read(false, 0);
        } else {
            tile_number_as_data = true;
            value = fetcher_tile >= 0x80 ? read(false, 0) : fetcher_tile;
        }
    } else if (cgb_d) {
        read_high_from_low = true;
        value = read(false, 0);
    } else {
        value = read(false, 1);
        if (fetcher_tile < 0x80) value = fetcher_tile;
    }
    saved_data = read(true, high);
    return value;
}

// ---------------------------------------------------------------------------
// Sprite fetcher

u16 PPU::sprite_row_address(const OamDataWithId& sprite, u8 tile) const {
    const int r = current_line + 16 - sprite.y;
    const bool flip = sprite.attributes & ATTR_Y_FLIP;
    if (sprite_height == 16) {
        const int row = r & 15;
        return u16(0x8000 + (tile & 0xFE) * 16 + 2 * (flip ? 15 - row : row));
    }
    const int row = r & 7;
    return u16(0x8000 + tile * 16 + 2 * (flip ? 7 - row : row));
}

u8 PPU::read_sprite_byte(const OamDataWithId& sprite, bool high) {
    const u16 address = u16(sprite_row_address(sprite, sprite_tile) + high);
    const u8 value = pixel_class == PixelClass::Cgb
                         ? gb->vram_banked_read_byte(address, (sprite.attributes & ATTR_VRAM_BANK) ? 1 : 0)
                         : gb->vram_read_byte(address);
    return (sprite.attributes & ATTR_X_FLIP) ? REVERSED_BITS[value] : value;
}

// The fetcher reads the sprite's tile number and attributes from object
// memory as a 2-byte word in its second or third cycle, whichever falls on
// the 2-cycle beat of the picture unit's object-memory reads (the beat of the
// OAM scan). Object memory only changes between the scan and the fetch
// through an OAM DMA, so otherwise the bytes the scan saw are used. When the
// read falls in the cycle in which the DMA holds object memory, it gets the
// DMA's word instead of the sprite's own.
void PPU::read_sprite_oam_during_dma() {
    if ((fifo_cycle - line_start_cycle) & 1) return;
    OamDataWithId& sprite = line_sprites[sprite_count - 1];
    const u8* bytes =
        fifo_cycle == oam_dma_slot_cycle ? &gb->oam[oam_dma_slot_word] : &gb->oam[4 * sprite.oam_index + 2];
    sprite_tile = sprite.tile = bytes[0];
    sprite.attributes = bytes[1];
}

void PPU::handle_sprite_fetcher(int step) {
    if ((step == 1 || step == 2) && oam_written_by_dma) [[unlikely]]
        read_sprite_oam_during_dma();
    const OamDataWithId& sprite = line_sprites[sprite_count - 1];
    switch (step) {
        case 0: sprite_tile = sprite.tile; break;
        case 2: sprite_data_low = read_sprite_byte(sprite, false); break;
        case 4:
            sprite_data_high = read_sprite_byte(sprite, true);
            sprite_data_fetched = true;
            break;
        case 5: merge_sprite(sprite); break;
        default: break;
    }
}

// Places a fetched sprite row into the sprite shifter. A position can only be
// taken by an opaque pixel, and only where the shifter is transparent or, in
// CGB mode, where a sprite of higher OAM index sits: outside CGB mode the
// first sprite fetched keeps its pixels (lower x, then lower OAM index); in
// CGB mode the lowest OAM index wins wherever it is opaque.
void PPU::merge_sprite(const OamDataWithId& sprite) {
    u8 free = u8(~(obj_shift_low | obj_shift_high));
    const bool cgb = pixel_class == PixelClass::Cgb;
    if (cgb) {
        for (int k = 0; k < 8; ++k)
            if (u8(obj_shift_owners >> (8 * k)) > sprite.oam_index) free |= u8(1 << k);
    }
    const u8 taken = free & (sprite_data_low | sprite_data_high);
    if (taken == 0) return;
    const u8 kept = u8(~taken);
    obj_shift_low = u8((obj_shift_low & kept) | (sprite_data_low & taken));
    obj_shift_high = u8((obj_shift_high & kept) | (sprite_data_high & taken));
    if (cgb) {
        for (int i = 0; i < 3; ++i)
            obj_shift_bytes[i] = u8((obj_shift_bytes[i] & kept) | (((sprite.attributes >> i) & 1) ? taken : 0));
        obj_shift_priority &= kept;
        for (int k = 0; k < 8; ++k) {
            if (!(taken & (1 << k))) continue;
            obj_shift_owners = (obj_shift_owners & ~(u64(0xFF) << (8 * k))) | (u64(sprite.oam_index) << (8 * k));
        }
    } else if (sprite.attributes & ATTR_DMG_PALETTE) {
        obj_shift_bytes[0] |= taken;
    }
    if (sprite.attributes & ATTR_PRIORITY) obj_shift_priority |= taken;
}

// ---------------------------------------------------------------------------
// End of the line

// A line on which nothing but the background can happen: no sprites, no
// window trigger, no register effect pending, no register write since mode 3
// started (a write would have advanced the pipeline) and no BGP or LCDC write
// close enough to mix into its pixels.
bool PPU::is_plain_line() const {
    if (fifo_cycle != mode_3_start_cycle || mode_3_cycle != 0 || pixel_x != -50) return false;
    if (delayed_count != 0 || sprite_count != 0) return false;
    if (!output_started || !output_armed || window_restart_pixel || dmg_window_glitch_pending) return false;
    if (bgp_write_cycle + 1 >= mode_3_start_cycle || lcdc_write_cycle >= mode_3_start_cycle) return false;
    if (unsigned(current_line) >= unsigned(SCREEN_HEIGHT)) return false;
    // The window could arm (WX reachable, WY met), or DMG could meet the
    // trigger of a window switched off after it started.
    if (window_enabled && wy_reached && rendering_wx <= SCREEN_WIDTH + 8) return false;
    if (dmg_window_off_glitch_on_line()) return false;
    return true;
}

// A plain line drawn tile by tile. Nothing can change VRAM or a register
// while it is completed, so when the fetcher reads does not matter for the
// picture; the pipeline's state at the end of the line follows from the
// fetcher's fixed rhythm and is set to what cycle-by-cycle running leaves:
//  - cycles 1-5 are fetcher state 0, cycle 6 state 1; state 2 is entered at
//    cycle 6 + 8j, loading tile j - 1 into the BG shifter and fetching tile
//    number j (the first load is the previous line's leftover, discarded);
//  - pixels come out one a cycle from cycle 7, 8 + (SCX & 7) of them
//    discarded, so the line ends after cycle 174 + (SCX & 7);
//  - the last pixel leaves the BG shifter unshifted.
template <PPU::PixelClass C>
void PPU::run_plain_line() {
    const int fine_x = rendering_scx & 7;
    const int first_column = rendering_scx >> 3;
    fetch_scy = rendering_scy;
    const int map_y = fetch_scy + current_line;
    const u16 map_row = u16(bg_tile_map_address + (((map_y >> 3) << 5) & 0x3E0));

    struct Tile {
        u16 address;
        u8 number, attributes, low, high;
    };
    // The reads of GB::vram_read_byte and GB::vram_banked_read_byte, with
    // what stays the same for the whole line taken once.
    const u8* const vram = gb->vram.data();
    const bool map_blocked = gb->cpu.stopped && (oam_scan_state == 0 || oam_scan_state == 1);
    auto fetch = [&](int j) {
        Tile t;
        t.address = u16(map_row + ((first_column + j) & 31));
        t.number = map_blocked ? 0xFF : vram[t.address & 0x1FFF];
        t.attributes = C == PixelClass::Dmg ? 0 : vram[0x2000 + (t.address & 0x1FFF)];
        int row = map_y & 7;
        if (t.attributes & ATTR_Y_FLIP) row = 7 - row;
        const u8* const bank = vram + ((t.attributes & ATTR_VRAM_BANK) ? 0x2000 : 0);
        const u16 data = tile_row_address(tile_data_select, t.number, row);
        t.low = bank[data & 0x1FFF];
        t.high = bank[(data + 1) & 0x1FFF];
        return t;
    };
    auto plane = [](const Tile& t, u8 byte) { return (t.attributes & ATTR_X_FLIP) ? REVERSED_BITS[byte] : byte; };

    // The four colours of each palette the line can use: in CGB mode the
    // palette memory's own colours, otherwise (or with the background off,
    // when every pixel shows colour 0) taken once for the line.
    std::array<u32, 32> colours;
    const u32* palettes = colours.data();
    if (C == PixelClass::Cgb && bg_enabled) {
        palettes = mapped_colors.data();
    } else {
        for (int palette = 0; palette < (C == PixelClass::Cgb ? 8 : 1); ++palette) {
            for (int bg = 0; bg < 4; ++bg) {
                const int shown = bg_enabled ? bg : 0;
                u32 colour;
                if constexpr (C == PixelClass::Dmg)
                    colour = mapped_colors[64 + dmg_shades[shown]];
                else if constexpr (C == PixelClass::Cgb)
                    colour = mapped_colors[4 * palette + shown];
                else
                    colour = mapped_colors[dmg_shades[shown]];
                colours[size_t(4 * palette + bg)] = colour;
            }
        }
    }
    // Two neighbouring pixels at a time: the colours of each pair of colour
    // numbers, per palette, made when the line first uses the palette.
    struct PixelPair {
        u32 left, right;
    };
    std::array<PixelPair, 16 * 8> pixel_pairs;
    unsigned pairs_made = 0;
    auto pairs_of = [&](int palette) {
        PixelPair* const pairs = &pixel_pairs[size_t(16 * palette)];
        if (!(pairs_made & (1u << palette))) {
            pairs_made |= 1u << palette;
            const u32* const shades = palettes + 4 * palette;
            for (int i = 0; i < 16; ++i) pairs[i] = {shades[i >> 2], shades[i & 3]};
        }
        return pairs;
    };
    u32* const row = &frame_buffer[size_t(current_line) * SCREEN_WIDTH];
    Tile t{};
    for (int j = 0, x = -fine_x; j <= 20; ++j, x += 8) {
        t = fetch(j);
        const u8 low = plane(t, t.low), high = plane(t, t.high);
        const int palette_number = C == PixelClass::Cgb ? t.attributes & ATTR_CGB_PALETTE : 0;
        if (x >= 0 && x + 8 <= SCREEN_WIDTH) {
            // Both planes interleaved: pixel k's colour number is bits
            // 15 - 2k and 14 - 2k, pixels 2k and 2k + 1 the four bits from
            // 15 - 4k down.
            const unsigned pair = SPREAD_BITS[low] | (SPREAD_BITS[high] << 1);
            const PixelPair* const pairs = pairs_of(palette_number);
            for (int k = 0; k < 4; ++k) std::memcpy(&row[x + 2 * k], &pairs[(pair >> (12 - 4 * k)) & 15], sizeof(PixelPair));
            continue;
        }
        const u32* const palette = palettes + 4 * palette_number;
        // The first and the last tile, cut by the fine scroll.
        const int from = std::max(x, 0), to = std::min(x + 8, int(SCREEN_WIDTH));
        if (from < to) for_each_tile_pixel(from, to, x, low, high, [&](int px, int bg) { row[px] = palette[bg]; });
    }

    // The tile left in the BG shifter and the tile the fetcher read last.
    const Tile shifted = fine_x == 0 ? fetch(19) : t;
    const Tile fetched = fine_x == 0 ? t : fetch(21);
    const int shifts = fine_x == 0 ? 7 : fine_x - 1;
    bg_shift_low = u8(plane(shifted, shifted.low) << shifts);
    bg_shift_high = u8(plane(shifted, shifted.high) << shifts);
    bg_shift_count = 8 - shifts;
    bg_shift_attributes = shifted.attributes & ATTR_CGB_PALETTE;
    bg_shift_priority = shifted.attributes >> 7;
    fetcher_address = fetched.address;
    fetcher_tile = fetched.number;
    fetcher_attributes = fetched.attributes;
    // With fine scroll the last tile's data bytes come in at its states 4 and 6.
    fetcher_data_low = (fine_x == 0 || fine_x >= 2) ? fetched.low : t.low;
    fetcher_data_high = (fine_x == 0 || fine_x >= 4) ? fetched.high : t.high;

    static constexpr int END_STATE[8] = {15, 3, 4, 5, 6, 13, 15, 15};
    static constexpr int END_NEXT[8] = {2, 4, 5, 6, 13, 15, 2, 2};
    static constexpr int END_WAIT[8] = {1, 1, 1, 1, 1, 1, 2, 1};
    tile_fetcher_state = END_STATE[fine_x];
    tile_fetcher_next_state = END_NEXT[fine_x];
    tile_fetcher_wait = END_WAIT[fine_x];
    bg_tile_x = fine_x >= 6 ? 22 : 21;
    tile_number_as_data = replace_data = false;

    const int cycles = 174 + fine_x;
    mode_3_cycle = cycles;
    fifo_cycle = mode_3_start_cycle + u64(cycles);
    pixel_x = output_x = SCREEN_WIDTH;
    line_fine_x = fine_x;
    sprite_x0_wait = std::min(fine_x, X0_SPRITE_MAX_WAIT);
    window_x = rendering_wx;
}

template <PPU::PixelClass C>
ZX_PIPELINE_INLINE u32 PPU::plain_bg_colour(int bg) const {
    if constexpr (C == PixelClass::Dmg)
        return mapped_colors[64 + dmg_shades[bg]];
    else if constexpr (C == PixelClass::Cgb)
        return mapped_colors[4 * bg_shift_attributes + bg];
    else
        return mapped_colors[dmg_shades[bg]];
}

void PPU::finish_rendering_line() {
    if (plain_line_shortcut && is_plain_line()) {
        switch (pixel_class) {
            case PixelClass::Dmg: run_plain_line<PixelClass::Dmg>(); break;
            case PixelClass::Cgb: run_plain_line<PixelClass::Cgb>(); break;
            case PixelClass::CgbDmgMode: run_plain_line<PixelClass::CgbDmgMode>(); break;
        }
    }
    if (clean_rest_of_line()) {
        switch (pixel_class) {
            case PixelClass::Dmg: run_pipeline<PixelClass::Dmg, true>(NEVER); break;
            case PixelClass::Cgb: run_pipeline<PixelClass::Cgb, true>(NEVER); break;
            case PixelClass::CgbDmgMode: run_pipeline<PixelClass::CgbDmgMode, true>(NEVER); break;
        }
    } else {
        run_pipeline_until(NEVER);
    }
    // Columns the output fell behind by get the pixel now at the shifters'
    // outputs.
    if (output_x < pixel_x) {
        const u32 colour = mix_current_pixel();
        for (; output_x < pixel_x; ++output_x) {
            if ((pixel_class != PixelClass::Dmg || output_started) && unsigned(output_x) < unsigned(SCREEN_WIDTH) &&
                unsigned(current_line) < unsigned(SCREEN_HEIGHT))
                frame_buffer[current_line * SCREEN_WIDTH + output_x] = colour;
        }
    }
    paint_timing_rest_of_line();
}

// Mode 3 from its start to now, the end of the line from now on.
void PPU::paint_timing_rest_of_line() {
    if (!timing_image_enabled) return;
    const int mode_3_start = int(mode_3_start_cycle - line_start_cycle);
    const int line_cycle = get_scanline_cycle_count();
    paint_timing_row(current_line, mode_3_start, line_cycle, TIMING_TRANSFER);
    paint_timing_row(current_line, line_cycle, LINE_CYCLES, TIMING_HBLANK);
}
