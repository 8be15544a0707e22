// LCD control (FF40) and the scroll, palette and window registers
// (FF42, FF43, FF47-FF4B).
#include "core/gb.h"
#include "video/ppu.h"

namespace {

constexpr u8 LCDC_ENABLE = 0x80;
constexpr u8 LCDC_WINDOW_MAP = 0x40;
constexpr u8 LCDC_WINDOW_ENABLE = 0x20;
constexpr u8 LCDC_TILE_DATA = 0x10;
constexpr u8 LCDC_BG_MAP = 0x08;
constexpr u8 LCDC_OBJ_SIZE = 0x04;
constexpr u8 LCDC_OBJ_ENABLE = 0x02;
constexpr u8 LCDC_BG_ENABLE = 0x01;

constexpr u16 map_address(bool high) { return high ? 0x9C00 : 0x9800; }

}  // namespace

void PPU::prepare_register_write(u16 address, u8 value) {
    // A sprite-size change in the middle of the OAM scan must only affect the
    // entries scanned after it, so the scan first examines every entry due
    // before this cycle. With the LCD off there is no scan and the line start
    // is stale.
    if (address == REG_LCDC && lcd_enabled && get_scanline_cycle_count() < 81) collect_sprites(false);
    if (register_write_catch_up && mode == 3) catch_up_pixel_pipeline();
    log_write(u8(address), value);
}

void PPU::log_write(u8 register_low, u8 value) {
    // Line 144 empties the log once a frame. With the LCD off it never comes:
    // keep the newer half once a frame's worth of writes has piled up.
    if (register_write_log.size() >= REGISTER_WRITE_LOG_LIMIT)
        register_write_log.erase(register_write_log.begin(),
                                 register_write_log.begin() + REGISTER_WRITE_LOG_LIMIT / 2);
    if (register_write_log.capacity() < REGISTER_WRITE_LOG_LIMIT) register_write_log.reserve(REGISTER_WRITE_LOG_LIMIT);
    const u16 address = u16(0xFF00 | register_low);
    register_write_log.push_back({address, gb->read_byte(address), value, current_line, get_scanline_cycle_count()});
}

// ---------------------------------------------------------------------------
// Delayed effects

void PPU::queue_delayed_update(int delay, DelayedEffect effect) {
    if (!lcd_enabled) {
        apply_delayed_effect(effect);
        return;
    }
    if (delayed_count == DELAYED_UPDATE_CAPACITY) {
        // Only a long run of writes with neither OAM scan nor mode 3 between
        // them gets here. The oldest entry is overdue and would run first at
        // the next advance anyway.
        const DelayedEffect oldest = delayed_updates[delayed_head].effect;
        delayed_head = (delayed_head + 1) % DELAYED_UPDATE_CAPACITY;
        --delayed_count;
        apply_delayed_effect(oldest);
    }
    const int slot = (delayed_head + delayed_count) % DELAYED_UPDATE_CAPACITY;
    delayed_updates[slot] = {now() + u64(delay), effect};
    ++delayed_count;
}

void PPU::run_due_delayed_updates() {
    while (delayed_count != 0 && delayed_updates[delayed_head].cycle <= fifo_cycle) {
        const DelayedEffect effect = delayed_updates[delayed_head].effect;
        delayed_head = (delayed_head + 1) % DELAYED_UPDATE_CAPACITY;
        --delayed_count;
        apply_delayed_effect(effect);
    }
}

// Every effect reads its register when it runs, not when it was queued.
void PPU::apply_delayed_effect(DelayedEffect effect) {
    switch (effect) {
        case DelayedEffect::RenderingScy: rendering_scy = scy; break;
        case DelayedEffect::RenderingScx: rendering_scx = scx; break;
        case DelayedEffect::BgpShades: decode_bgp(); break;
        case DelayedEffect::Obp0Shades: decode_obp0(); break;
        case DelayedEffect::Obp1Shades: decode_obp1(); break;
        case DelayedEffect::WindowX:
            rendering_wx = wx;
            window_x = wx;
            if (!window_armed) check_for_window_activation();
            break;
        case DelayedEffect::DmgObjFetch: obj_fetch_enabled = lcdc & LCDC_OBJ_ENABLE; break;
        case DelayedEffect::DmgObjAndBg:
            obj_enabled = lcdc & LCDC_OBJ_ENABLE;
            bg_enabled = lcdc & LCDC_BG_ENABLE;
            break;
        case DelayedEffect::DmgBgEnableEarly:
            if (lcdc & LCDC_BG_ENABLE) bg_enabled = true;
            break;
        case DelayedEffect::CgbMapsAndWindow:
            window_tile_map_address = map_address(lcdc & LCDC_WINDOW_MAP);
            window_enabled = lcdc & LCDC_WINDOW_ENABLE;
            if (window_enabled && !wy_reached) wy_reached = current_line == wy;
            bg_tile_map_address = map_address(lcdc & LCDC_BG_MAP);
            break;
        case DelayedEffect::CgbObjAndBg:
            apply_cgb_sprite_height((lcdc & LCDC_OBJ_SIZE) ? 16 : 8);
            obj_enabled = obj_fetch_enabled = lcdc & LCDC_OBJ_ENABLE;
            if (gb->key0 == KEY0_DMG_COMPAT)
                bg_enabled = lcdc & LCDC_BG_ENABLE;
            else
                bg_master_priority = lcdc & LCDC_BG_ENABLE;
            break;
    }
}

// On CGB a switch from 8 to 16 pixel sprites during the OAM scan also brings
// in the entry examined just before it, if it reaches the line only with the
// taller size. The scan runs lazily, so "during the scan" is the scan's own
// position (the cycle of the entry it is examining), not the cycle at which
// something made it catch up.
void PPU::apply_cgb_sprite_height(int height) {
    const bool grows = sprite_height == 8 && height == 16;
    sprite_height = height;
    if (grows && !gb->double_speed && i64(fifo_cycle - line_start_cycle) < 81 && oam_scan_index != 0 &&
        sprite_count <= MAX_SPRITES_PER_LINE - 1)
        collect_tentative_sprite();
}

// ---------------------------------------------------------------------------
// LCD control and the other registers

void PPU::render_turned_off() { frame_buffer.fill(0xFFFFFFFF); }

void PPU::write_lcdc(u8 value) {
    const bool switch_on = value & LCDC_ENABLE;
    if (!lcd_enabled && switch_on) {
        lcd_just_enabled = true;
        // Line 0 starts at once, seen with the old LCDC copies.
        set_state(STATE_SCREEN_ON_LINE_0_CLOCKS_0);
        stat_irq_mode = -1;
        if (!lyc_coincidence) {
            lyc_coincidence = lyc_flag_line == lyc;
            if (lyc_coincidence && lyc_compare_enabled) update_stat_irq(true);
        }
    } else if (lcd_enabled && !switch_on) {
        lcd_off_after_oam_scan = oam_scan_ended_on_this_line();
        ly = 0;
        stat_line = false;
        mode = 0;
        stat_irq_mode = 0;
        stat &= 0x78;
        gb->cpu.calculate_next_ppu_state_change_cycle(NEVER);
        // The coincidence bit freezes with the value it has now.
        if (lyc_compare_enabled) lyc_coincidence = lyc_flag_line == lyc;
        render_turned_off();
        if (!gb->turbo_run && gb->host) {
            gb->host->update_display(frame_buffer.data());
            gb->host->update_display(frame_buffer.data());
        }
    }

    const u8 old_lcdc = lcdc;
    lcdc = value;
    previous_tile_data_select = tile_data_select;
    lcdc_write_cycle = now();
    lcd_enabled = switch_on;
    tile_data_select = value & LCDC_TILE_DATA;

    if (gb->is_dmg) {
        const bool bg_was_enabled = old_lcdc & LCDC_BG_ENABLE;
        const bool window_was_enabled = window_enabled;
        window_tile_map_address = map_address(value & LCDC_WINDOW_MAP);
        window_enabled = value & LCDC_WINDOW_ENABLE;
        if (window_enabled) {
            if (!wy_reached) wy_reached = current_line == wy;
            if (!window_was_enabled) {
                // Enabling the window in the middle of a line: on the older
                // DMG revisions an enable just before the trigger pixel makes
                // the pipeline produce one pixel without moving the output.
                if (pixel_x + 8 == window_x && gb->device <= MODEL_DMGB) output_armed = false;
                if (!window_armed) {
                    check_for_window_activation();
                    if (window_armed) ++window_x;
                }
                if (pixel_x + 7 == window_x && wy_reached && tile_fetcher_state == 2) window_restart_pixel = true;
            }
        } else if (window_was_enabled) {
            // Disabling it just before the trigger, while the fetcher reads a
            // tile's high byte, leaves a pending window glitch.
            if (tile_fetcher_state == 6 && pixel_x + 11 == window_x) dmg_window_glitch_pending = true;
        }
        bg_tile_map_address = map_address(value & LCDC_BG_MAP);
        sprite_height = (value & LCDC_OBJ_SIZE) ? 16 : 8;
        queue_delayed_update(1, DelayedEffect::DmgObjFetch);
        // On DMG-B and older the BG enable reaches the mixer a cycle sooner
        // when it switches the BG on; switching it off keeps the usual delay.
        if (gb->device <= MODEL_DMGB && !bg_was_enabled && (value & LCDC_BG_ENABLE))
            queue_delayed_update(1, DelayedEffect::DmgBgEnableEarly);
        // +2 once the pipeline has started the line, +1 just before.
        queue_delayed_update(pixel_x != -1 ? 2 : 1, DelayedEffect::DmgObjAndBg);
        return;
    }

    queue_delayed_update(1, DelayedEffect::CgbMapsAndWindow);
    queue_delayed_update(2, DelayedEffect::CgbObjAndBg);
}

void PPU::write_scy(u8 value) {
    scy = value;
    if (gb->is_dmg)
        rendering_scy = value;
    else
        queue_delayed_update(1, DelayedEffect::RenderingScy);
}

void PPU::write_scx(u8 value) {
    scx = value;
    if (gb->is_dmg)
        rendering_scx = value;
    else
        queue_delayed_update(1, DelayedEffect::RenderingScx);
}

void PPU::write_bgp(u8 value) {
    // DMG: a write landing while the pipeline drops a fine-scroll pixel
    // (the pipeline stands at this cycle's pixel, caught up above) has no
    // shown pixel to hold the old palette for: the next pixel already takes
    // the new one, unmixed.
    const bool dmg_dropped_pixel = gb->is_dmg && mode == 3 && pixel_x < 0;
    previous_bgp = dmg_dropped_pixel ? value : bgp;
    bgp = value;
    bgp_write_cycle = now();
    if (gb->is_cgb && !early_cgb())
        decode_bgp();
    else
        queue_delayed_update((gb->is_dmg && !dmg_dropped_pixel) ? 2 : 1, DelayedEffect::BgpShades);
}

void PPU::write_obp0(u8 value) {
    obp0 = value;
    if (gb->is_cgb && !early_cgb())
        decode_obp0();
    else
        queue_delayed_update(1, DelayedEffect::Obp0Shades);
}

void PPU::write_obp1(u8 value) {
    obp1 = value;
    if (gb->is_cgb && !early_cgb())
        decode_obp1();
    else
        queue_delayed_update(1, DelayedEffect::Obp1Shades);
}

void PPU::write_wy(u8 value) {
    wy = value;
    if (!wy_reached) wy_reached = current_line == value;
}

void PPU::write_wx(u8 value) {
    wx = value;
    queue_delayed_update(2, DelayedEffect::WindowX);
}
