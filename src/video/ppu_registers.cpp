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
    log_register_write(address, value);
}

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

    lcdc = value;
    previous_tile_data_select = tile_data_select;
    lcdc_write_cycle = now();
    lcd_enabled = switch_on;
    tile_data_select = value & LCDC_TILE_DATA;

    if (gb->is_dmg) {
        window_tile_map_address = map_address(value & LCDC_WINDOW_MAP);
        window_enabled = value & LCDC_WINDOW_ENABLE;
        if (window_enabled && !wy_reached) wy_reached = current_line == wy;
        // A window enabled or disabled in the middle of a line also acts on the
        // pixel pipeline's window trigger; that belongs to the pipeline.
        bg_tile_map_address = map_address(value & LCDC_BG_MAP);
        sprite_height = (value & LCDC_OBJ_SIZE) ? 16 : 8;
        apply_register_effect(1, [this] { obj_fetch_enabled = lcdc & LCDC_OBJ_ENABLE; });
        // +2 once the pipeline has started the line, +1 before.
        apply_register_effect(2, [this] {
            obj_enabled = lcdc & LCDC_OBJ_ENABLE;
            bg_enabled = lcdc & LCDC_BG_ENABLE;
        });
        return;
    }

    apply_register_effect(1, [this] {
        window_tile_map_address = map_address(lcdc & LCDC_WINDOW_MAP);
        window_enabled = lcdc & LCDC_WINDOW_ENABLE;
        if (window_enabled && !wy_reached) wy_reached = current_line == wy;
        bg_tile_map_address = map_address(lcdc & LCDC_BG_MAP);
    });
    apply_register_effect(2, [this] {
        sprite_height = (lcdc & LCDC_OBJ_SIZE) ? 16 : 8;
        obj_enabled = obj_fetch_enabled = lcdc & LCDC_OBJ_ENABLE;
        if (gb->key0 == KEY0_DMG_COMPAT)
            bg_enabled = lcdc & LCDC_BG_ENABLE;
        else
            bg_master_priority = lcdc & LCDC_BG_ENABLE;
    });
}

void PPU::write_scy(u8 value) {
    scy = value;
    if (gb->is_dmg)
        rendering_scy = value;
    else
        apply_register_effect(1, [this] { rendering_scy = scy; });
}

void PPU::write_scx(u8 value) {
    scx = value;
    if (gb->is_dmg)
        rendering_scx = value;
    else
        apply_register_effect(1, [this] { rendering_scx = scx; });
}

void PPU::write_bgp(u8 value) {
    previous_bgp = bgp;
    bgp = value;
    bgp_write_cycle = now();
    if (gb->is_cgb && !early_cgb())
        decode_bgp();
    else
        apply_register_effect(gb->is_dmg ? 2 : 1, [this] { decode_bgp(); });
}

void PPU::write_obp0(u8 value) {
    obp0 = value;
    if (gb->is_cgb && !early_cgb())
        decode_obp0();
    else
        apply_register_effect(1, [this] { decode_obp0(); });
}

void PPU::write_obp1(u8 value) {
    obp1 = value;
    if (gb->is_cgb && !early_cgb())
        decode_obp1();
    else
        apply_register_effect(1, [this] { decode_obp1(); });
}

void PPU::write_wy(u8 value) {
    wy = value;
    if (!wy_reached) wy_reached = current_line == value;
}

void PPU::write_wx(u8 value) {
    wx = value;
    // The pipeline's window trigger is re-checked with the new position here too.
    apply_register_effect(2, [this] { rendering_wx = wx; });
}
