// PPU data model: power-on state, the post-boot state, the register table and
// the CGB colour palette ports.
#include "video/ppu.h"

#include "core/gb.h"

namespace {

// The logo sits in tiles 1-24 and the trademark symbol in tile 25.
constexpr u16 LOGO_TILES_START = 0x8010;
constexpr u16 TRADEMARK_TILE = 0x8190;
constexpr u8 TRADEMARK_ROWS[8] = {0x3C, 0x42, 0xB9, 0xA5, 0xB9, 0xA5, 0x42, 0x3C};

void put_colours(std::array<u8, 64>& ram, int palette, const u16 (&colours)[4]) {
    for (int c = 0; c < 4; ++c) {
        ram[palette * 8 + c * 2] = u8(colours[c]);
        ram[palette * 8 + c * 2 + 1] = u8(colours[c] >> 8);
    }
}

}  // namespace

u64 PPU::now() const { return gb->cpu.cycles_4mhz; }

// The 5-bit components are widened to 8 bits by repeating their top bits.
u32 PPU::map_cgb_colour(u16 value) {
    auto widen = [](int c) { return u8((c << 3) | (c >> 2)); };
    return map_rgb(widen(value & 31), widen((value >> 5) & 31), widen((value >> 10) & 31));
}

u8 PPU::stretch_tile_data_nibble(u8 nibble) {
    u8 out = 0;
    for (int i = 0; i < 4; ++i)
        if (nibble & (1 << i)) out |= u8(3 << (2 * i));
    return out;
}

void PPU::decode_bgp() {
    for (int i = 0; i < 4; ++i) dmg_shades[i] = (bgp >> (2 * i)) & 3;
}

void PPU::decode_obp0() {
    for (int i = 1; i < 4; ++i) dmg_shades[4 + i] = (obp0 >> (2 * i)) & 3;
}

void PPU::decode_obp1() {
    for (int i = 1; i < 4; ++i) dmg_shades[8 + i] = (obp1 >> (2 * i)) & 3;
}

void PPU::reset() {
    gb->cpu.calculate_next_ppu_state_change_cycle(NEVER);

    lcd_enabled = false;
    rendering_scy = rendering_scx = rendering_wx = 0;
    lcdc = stat = scy = scx = ly = lyc = wy = wx = 0;
    bgp = 0xFC;
    obp0 = obp1 = 0xFF;
    map_snapshot_lcdc[0] = 0x91;
    current_line = 0;
    mode = 0;
    stat_irq_mode = 0;
    bg_shift_priority = 0;
    fetcher_attributes = 0;
    pixel_class = pixel_class_for_machine();

    // BG/window enable has a different meaning on the two families; the other
    // flag is held so that it never hides anything.
    bg_enabled = gb->is_cgb;
    bg_master_priority = !gb->is_cgb;

    stat_line = false;
    stat_line_before = false;
    stat_line_cycle = NEVER;
    oam_last_busy_cycle = NEVER;
    lcd_off_after_oam_scan = false;
    last_stat_source = STAT_SOURCE_NONE;

    // Pending register effects are dropped unrun.
    delayed_head = 0;
    delayed_count = 0;

    lyc_compare_enabled = false;
    lyc_coincidence = false;
    bcps_index = ocps_index = 0;
    bcps_auto_increment = ocps_auto_increment = false;
    bg_palette_ram.fill(0);
    obj_palette_ram.fill(0);

    // Marks of tiles that nothing uses.
    tile_usage_cgb.fill(16);
    tile_usage_dmg.fill(12);

    static constexpr u8 GREY[4] = {255, 170, 85, 0};
    static constexpr u8 GREEN_TINTED_GREY[4] = {255, 191, 127, 63};
    const u8* levels = gb->grey_shades ? GREY : GREEN_TINTED_GREY;
    for (int s = 0; s < 4; ++s) {
        const u32 colour = map_rgb(levels[s], levels[s], levels[s]);
        mapped_colors[s] = colour;
        mapped_colors[4 + s] = colour;
        mapped_colors[64 + s] = colour;
        mapped_colors[71 - s] = colour;
    }

    decode_bgp();
    decode_obp0();
    decode_obp1();
}

void PPU::set_boot_rom_values() {
    GB& m = *gb;
    auto vram_write = [&m](u16 address, u8 value) { m.vram_bank_ptr[address & 0x1FFF] = value; };

    if (m.device != MODEL_DMG0)
        for (int i = 0; i < 8; ++i) vram_write(u16(TRADEMARK_TILE + 2 * i), TRADEMARK_ROWS[i]);

    // The boot program unpacks the cartridge's logo into tiles, doubling it in
    // both directions: every bit becomes two pixels, every row two rows.
    u16 tile = LOGO_TILES_START;
    for (int i = 0; i < 48; ++i, tile = u16(tile + 8)) {
        const u8 logo = m.read_byte_unrestricted(u16(0x0104 + i));
        const u8 high = stretch_tile_data_nibble(logo >> 4);
        const u8 low = stretch_tile_data_nibble(logo & 0x0F);
        vram_write(tile, high);
        vram_write(u16(tile + 2), high);
        vram_write(u16(tile + 4), low);
        vram_write(u16(tile + 6), low);
    }

    lcdc = 0x91;
    lcd_enabled = true;
    obj_fetch_enabled = false;
    bg_tile_map_address = 0x9800;
    window_tile_map_address = 0x9800;
    window_enabled = false;
    tile_data_select = true;
    sprite_height = 8;
    obj_enabled = false;
    bg_enabled = true;

    const u64 clock = m.cpu.cycles_4mhz;
    if (m.is_dmg) {
        stat = 0x81;
        mode = 1;
        if (m.device == MODEL_DMG0) {
            // Handed over 92 cycles into line 145.
            current_line = 145;
            set_state(STATE_LINE_145_152_CLOCKS_4);
            line_start_cycle = clock - 92;
            m.cpu.calculate_next_ppu_state_change_cycle(LINE_CYCLES - 92);
        } else {
            // Handed over 396 cycles into line 153, where LY already reads 0.
            current_line = 0;
            set_state(STATE_LINE_EARLY_0_MODE_1_LYC_0);
            line_start_cycle = clock - 396;
            m.cpu.calculate_next_ppu_state_change_cycle(LINE_CYCLES - 396);
        }
        bgp = 0xFC;
        // Late in line 153 the LY = LYC comparison is running again (it drops
        // out only around cycle 8), so STAT bit 2 reads 1 right after the
        // hand-off, where LY and LYC are both 0. "dmg0" hands over in line
        // 145, where LY and LYC differ, and starts with it off.
        lyc_compare_enabled = m.device != MODEL_DMG0;
        mode_3_length = 169;
        decode_bgp();
        for (int i = 0; i < 12; ++i) {
            vram_write(u16(0x9904 + i), u8(1 + i));
            vram_write(u16(0x9924 + i), u8(13 + i));
        }
        if (m.device != MODEL_DMG0) vram_write(0x9910, 0x19);
        return;
    }

    bg_master_priority = true;
    stat = 0x81;
    mode = 1;
    current_line = 144;
    set_state(STATE_LINE_144_CLOCKS_4);  // requests the VBlank interrupt
    line_start_cycle = clock - 164;
    frame_start_cycle = clock - (144 * LINE_CYCLES + 164);
    m.cpu.calculate_next_ppu_state_change_cycle(104);
    lyc_compare_enabled = true;
    bgp = 0xFC;
    for (int i = 0; i < 64; i += 2) {
        bg_palette_ram[i] = 0xFF;
        bg_palette_ram[i + 1] = 0x7F;
    }
    obj_palette_ram.fill(0);
    if (m.key0 == KEY0_DMG_COMPAT) {
        put_colours(bg_palette_ram, 0, {0x7FFF, 0x1BEF, 0x6180, 0x0000});
        put_colours(obj_palette_ram, 0, {0x7FFF, 0x421F, 0x1CF2, 0x0000});
        put_colours(obj_palette_ram, 1, {0x7FFF, 0x421F, 0x1CF2, 0x0000});
        bcps_index = 8;
        ocps_index = 16;
        ocps_auto_increment = true;
    }
    bcps_auto_increment = true;
    rebuild_mapped_colors();
}

void PPU::register_read_write_handlers(GB* machine) {
    auto slot = [](u16 address) { return int(address - 0xFF00); };
    auto plain = [this, machine](u16 address, u8& field, void (PPU::*write)(u8)) {
        machine->add_io_handlers_for_address(
            address - 0xFF00, [&field]() -> u8 { return field; },
            [this, address, write](u8 v) {
                prepare_register_write(address, v);
                (this->*write)(v);
            });
    };
    plain(REG_LCDC, lcdc, &PPU::write_lcdc);
    machine->add_io_handlers_for_address(
        slot(REG_STAT), [this]() -> u8 { return read_stat(); }, [this](u8 v) { write_stat(v); });
    plain(REG_SCY, scy, &PPU::write_scy);
    plain(REG_SCX, scx, &PPU::write_scx);
    machine->add_io_handlers_for_address(
        slot(REG_LY), [this]() -> u8 { return read_ly(); }, [](u8) {});
    machine->add_io_handlers_for_address(
        slot(REG_LYC), [this]() -> u8 { return lyc; }, [this](u8 v) { write_lyc(v); });
    plain(REG_BGP, bgp, &PPU::write_bgp);
    plain(REG_OBP0, obp0, &PPU::write_obp0);
    plain(REG_OBP1, obp1, &PPU::write_obp1);
    plain(REG_WY, wy, &PPU::write_wy);
    plain(REG_WX, wx, &PPU::write_wx);
    if (!machine->is_cgb) return;
    machine->add_io_handlers_for_address(
        slot(REG_BCPS), [this]() -> u8 { return read_bcps(); }, [this](u8 v) { write_bcps(v); });
    machine->add_io_handlers_for_address(
        slot(REG_BCPD), [this]() -> u8 { return bg_palette_ram[bcps_index]; }, [this](u8 v) { write_bcpd(v); });
    machine->add_io_handlers_for_address(
        slot(REG_OCPS), [this]() -> u8 { return read_ocps(); }, [this](u8 v) { write_ocps(v); });
    machine->add_io_handlers_for_address(
        slot(REG_OCPD), [this]() -> u8 { return obj_palette_ram[ocps_index]; }, [this](u8 v) { write_ocpd(v); });
}

// ---------------------------------------------------------------------------
// CGB palette ports. They are never blocked by the PPU mode.

void PPU::write_bcps(u8 value) {
    bcps_index = value & 63;
    bcps_auto_increment = value & 0x80;
}

void PPU::write_ocps(u8 value) {
    ocps_index = value & 63;
    ocps_auto_increment = value & 0x80;
}

void PPU::write_palette_byte(bool object, u8 value) {
    int& index = object ? ocps_index : bcps_index;
    const bool auto_increment = object ? ocps_auto_increment : bcps_auto_increment;
    std::array<u8, 64>& ram = object ? obj_palette_ram : bg_palette_ram;
    ram[index] = value;
    const int colour = index >> 1;
    mapped_colors[(object ? 32 : 0) + colour] = map_cgb_colour(u16(ram[2 * colour] | ram[2 * colour + 1] << 8));
    if (auto_increment) index = (index + 1) & 63;
}

void PPU::write_bcpd(u8 value) { write_palette_byte(false, value); }

void PPU::write_ocpd(u8 value) { write_palette_byte(true, value); }

void PPU::rebuild_mapped_colors() {
    for (int c = 0; c < 32; ++c) {
        mapped_colors[c] = map_cgb_colour(u16(bg_palette_ram[2 * c] | bg_palette_ram[2 * c + 1] << 8));
        mapped_colors[32 + c] = map_cgb_colour(u16(obj_palette_ram[2 * c] | obj_palette_ram[2 * c + 1] << 8));
    }
}

// ---------------------------------------------------------------------------
// Save states

void PPU::check_loaded_state() const {
    auto require = [](bool ok, const char* what) {
        if (!ok) throw state::Rejected(std::string("picture unit: ") + what);
    };
    auto in = [](int v, int low, int high) { return v >= low && v <= high; };
    require(current_line >= 0 && current_line < LINES_PER_FRAME, "line out of range");
    // The step under way and the one the next PPU event runs: any other
    // number would leave the picture without a next step for good.
    require(is_step_id(state) && is_step_id(next_state), "step id unknown");
    require(last_stat_source == STAT_SOURCE_NONE || last_stat_source == STAT_SOURCE_HBLANK ||
                last_stat_source == STAT_SOURCE_VBLANK || last_stat_source == STAT_SOURCE_OAM ||
                last_stat_source == STAT_SOURCE_LYC,
            "STAT source unknown");
    require(in(stat_irq_mode, -1, 3), "STAT mode out of range");
    require(in(lyc_irq_line, 0, LINES_PER_FRAME - 1) && in(lyc_flag_line, 0, LINES_PER_FRAME - 1),
            "LY compare line out of range");
    // The window's line counter counts at most two per visible line (a
    // second trigger on the line counts again).
    require(in(window_line, -1, 2 * SCREEN_HEIGHT - 1), "window line out of range");
    for (u16 map : {bg_tile_map_address, window_tile_map_address})
        require(map == 0x9800 || map == 0x9C00, "tile map address");
    // Mode 3 and the line: lengths within a line, pipeline positions from the
    // not-yet-started mark (-50) to the end of the line.
    require(in(mode_3_length, 0, LINE_CYCLES) && in(mode_3_cycle, 0, LINE_CYCLES) &&
                in(line_cycles_left, 0, LINE_CYCLES),
            "line timing out of range");
    require(in(pixel_x, -50, SCREEN_WIDTH) && in(output_x, -50, SCREEN_WIDTH), "pixel position out of range");
    require(in(tile_fetcher_wait, 0, 8) && in(sprite_x0_wait, 0, X0_SPRITE_MAX_WAIT), "fetcher wait out of range");
    // The OAM DMA's word: an even byte index of object memory.
    require(oam_dma_slot_word < 4 * OAM_ENTRIES && oam_dma_slot_word % 2 == 0, "OAM DMA word out of range");
    require(mode >= 0 && mode <= 3 && oam_scan_state >= 0 && oam_scan_state <= 3, "mode out of range");
    require(bcps_index >= 0 && bcps_index < 64 && ocps_index >= 0 && ocps_index < 64, "palette index out of range");
    for (int shade : dmg_shades) require(shade >= 0 && shade <= 3, "shade out of range");
    for (int shade : conflict_shades) require(shade >= 0 && shade <= 3, "shade out of range");
    require(bg_shift_attributes >= 0 && bg_shift_attributes <= 7, "background palette out of range");
    require(sprite_height == 8 || sprite_height == 16, "sprite height");
    require(sprite_count >= 0 && sprite_count + int(late_sprite_pending) <= OAM_ENTRIES, "sprite count out of range");
    require(oam_scan_index >= 0 && oam_scan_index <= OAM_ENTRIES, "OAM scan position out of range");
    for (const OamDataWithId& sprite : line_sprites)
        require(sprite.oam_index < OAM_ENTRIES && sprite.fetch_counter <= 6, "sprite list entry out of range");
    require(line_fine_x >= 0 && line_fine_x <= 7, "fine scroll out of range");
    require(tile_fetcher_state >= 0 && tile_fetcher_state <= 16 && tile_fetcher_next_state >= 0 &&
                tile_fetcher_next_state <= 16,
            "tile fetcher state out of range");
    require(bg_shift_count >= 0 && bg_shift_count <= 8, "background shifter count out of range");
    require(pixel_class <= PixelClass::CgbDmgMode, "pixel class");
    for (int i = 0; i < delayed_count; ++i)
        require(delayed_updates[(delayed_head + i) % DELAYED_UPDATE_CAPACITY].effect <= DelayedEffect::CgbObjAndBg,
                "delayed register effect");
}
