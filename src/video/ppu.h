#pragma once
#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/save_state.h"
#include "core/types.h"

class GB;

// LCD register addresses owned by the picture unit (FF46 belongs to the DMA).
inline constexpr u16 REG_LCDC = 0xFF40;
inline constexpr u16 REG_STAT = 0xFF41;
inline constexpr u16 REG_SCY = 0xFF42;
inline constexpr u16 REG_SCX = 0xFF43;
inline constexpr u16 REG_LY = 0xFF44;
inline constexpr u16 REG_LYC = 0xFF45;
inline constexpr u16 REG_BGP = 0xFF47;
inline constexpr u16 REG_OBP0 = 0xFF48;
inline constexpr u16 REG_OBP1 = 0xFF49;
inline constexpr u16 REG_WY = 0xFF4A;
inline constexpr u16 REG_WX = 0xFF4B;
inline constexpr u16 REG_BCPS = 0xFF68;
inline constexpr u16 REG_BCPD = 0xFF69;
inline constexpr u16 REG_OCPS = 0xFF6A;
inline constexpr u16 REG_OCPD = 0xFF6B;

// One sprite found by the OAM scan for the current line.
struct OamDataWithId {
    u8 y = 0;
    u8 x = 0;
    u8 tile = 0;
    u8 attributes = 0;
    u8 oam_index = 0;
    u8 fetch_counter = 0;

    template <class Archive>
    void serialize(Archive& ar) {
        ar(y, x, tile, attributes, oam_index, fetch_counter);
    }
};

// Order in which mode 3 sorts the line's sprites: descending x, then
// descending OAM index, so that the last one is the next to be fetched.
bool sort_by_sprite_priority(const OamDataWithId& a, const OamDataWithId& b);
// Orders in which the whole-line renderer draws the line's sprites, highest
// priority first: a CGB running a monochrome cartridge by x, then OAM index;
// CGB mode by OAM index alone.
bool sortBySpritePriority_cgb_in_dmg_mode(const OamDataWithId& a, const OamDataWithId& b);
bool sortBySpritePriority_cgb(const OamDataWithId& a, const OamDataWithId& b);

// Picture processing unit: the LCD registers, the palettes, and the line and
// frame state machine that the CPU's scheduler steps at exact 4 MHz cycles.
// Between two steps nothing in the PPU runs.
class PPU {
public:
    static constexpr int SCREEN_WIDTH = 160;
    static constexpr int SCREEN_HEIGHT = 144;
    static constexpr int LINE_CYCLES = 456;
    static constexpr int LINES_PER_FRAME = 154;
    static constexpr int FRAME_CYCLES = LINE_CYCLES * LINES_PER_FRAME;  // 70224
    static constexpr int OAM_ENTRIES = 40;
    static constexpr int OAM_SCAN_CYCLES = 80;
    static constexpr int MAX_SPRITES_PER_LINE = 10;
    // WX = 166 meets the line's last pixel, which the window trigger sees
    // before that pixel goes out; from 167 on WX meets no pixel of the line.
    static constexpr int LAST_MATCHING_WX = 166;
    // The last pixel at which that match starts the window, DMG family
    // first: the DMG puts its last pixel out before the window's first fetch
    // can begin, so a match there counts the window's line but draws nothing
    // and costs nothing; the CGB fetches the window for it.
    static constexpr std::array<int, 2> LAST_WINDOW_START_X = {SCREEN_WIDTH - 2, SCREEN_WIDTH - 1};
    // Most cycles a sprite at OAM X = 0 waits for the line's fine-scroll
    // discard before its fetch: 6 + 5 = 11 cycles for it whatever SCX is.
    static constexpr int X0_SPRITE_MAX_WAIT = 5;

    // --- step ids of the line/frame state machine ---
    // Save states hold these numbers, so they never change. 0-6 are the entry
    // steps; 2685, 2827, 2837, 2848 and 2908 are internal twins of 2-6 with the
    // same actions, and the machine schedules both forms.
    static constexpr int STATE_SCREEN_ON_LINE_0_CLOCKS_0 = 0;
    static constexpr int STATE_LINE_0_CLOCKS_0 = 1;
    static constexpr int STATE_LINE_1_143_CLOCKS_0 = 2;
    static constexpr int STATE_LINE_144_CLOCKS_4 = 3;
    static constexpr int STATE_LINE_145_152_CLOCKS_0 = 4;
    static constexpr int STATE_LINE_145_152_CLOCKS_4 = 5;
    static constexpr int STATE_LINE_EARLY_0_MODE_1_LYC_0 = 6;
    // The first line after the LCD is switched on (no OAM scan mode).
    static constexpr int STATE_ON_LINE_0_CLOCKS_80 = 2570;
    static constexpr int STATE_ON_LINE_0_CLOCKS_81 = 2575;
    static constexpr int STATE_ON_LINE_0_MODE_3_END = 2578;
    static constexpr int STATE_ON_LINE_0_HBLANK_STAT = 2585;
    static constexpr int STATE_ON_LINE_0_HBLANK_CGB = 2591;
    static constexpr int STATE_ON_LINE_0_HBLANK_CGB_DOUBLE = 2597;
    // Line 0 of every later frame.
    static constexpr int STATE_LINE_0_CLOCKS_2 = 2629;
    static constexpr int STATE_LINE_0_CLOCKS_4 = 2635;
    static constexpr int STATE_LINE_0_CLOCKS_8 = 2642;
    static constexpr int STATE_LINE_0_CLOCKS_79 = 2646;
    static constexpr int STATE_LINE_0_CLOCKS_81 = 2652;
    static constexpr int STATE_LINE_0_CLOCKS_82 = 2663;
    static constexpr int STATE_LINE_0_MODE_3_END_MINUS_2 = 2670;
    static constexpr int STATE_LINE_0_MODE_3_END_MINUS_1 = 2672;
    static constexpr int STATE_LINE_0_MODE_3_END = 2678;
    static constexpr int STATE_LINE_0_HBLANK_STAT = 2682;
    // Lines 1-143.
    static constexpr int STATE_LINE_1_143_CLOCKS_0_TWIN = 2685;
    static constexpr int STATE_LINE_1_143_CLOCKS_2 = 2715;
    static constexpr int STATE_LINE_1_143_CLOCKS_4 = 2729;
    static constexpr int STATE_LINE_1_143_CLOCKS_80 = 2742;
    static constexpr int STATE_LINE_1_143_CLOCKS_81 = 2748;
    static constexpr int STATE_LINE_1_143_CLOCKS_82 = 2758;
    static constexpr int STATE_LINE_1_143_MODE_3_END_MINUS_2 = 2764;
    static constexpr int STATE_LINE_1_143_MODE_3_END_MINUS_1 = 2770;
    static constexpr int STATE_LINE_1_143_MODE_3_END = 2780;
    static constexpr int STATE_LINE_1_143_HBLANK_STAT = 2789;
    // Line 144 and vertical blank.
    static constexpr int STATE_LINE_144_CLOCKS_0 = 2796;
    static constexpr int STATE_LINE_144_CLOCKS_2 = 2821;
    static constexpr int STATE_LINE_144_CLOCKS_4_TWIN = 2827;
    static constexpr int STATE_LINE_145_152_CLOCKS_0_TWIN = 2837;
    static constexpr int STATE_LINE_145_152_CLOCKS_4_TWIN = 2848;
    static constexpr int STATE_LINE_153_CLOCKS_0 = 2856;
    static constexpr int STATE_LINE_153_CLOCKS_2 = 2869;
    static constexpr int STATE_LINE_153_CLOCKS_4 = 2876;
    static constexpr int STATE_LINE_153_CLOCKS_6 = 2891;
    static constexpr int STATE_LINE_153_CLOCKS_8 = 2898;
    static constexpr int STATE_LINE_EARLY_0_MODE_1_LYC_0_TWIN = 2908;

    // Every step id above; a save state naming any other is refused.
    static constexpr int STEP_IDS[] = {
        STATE_SCREEN_ON_LINE_0_CLOCKS_0, STATE_LINE_0_CLOCKS_0, STATE_LINE_1_143_CLOCKS_0, STATE_LINE_144_CLOCKS_4,
        STATE_LINE_145_152_CLOCKS_0, STATE_LINE_145_152_CLOCKS_4, STATE_LINE_EARLY_0_MODE_1_LYC_0,
        STATE_ON_LINE_0_CLOCKS_80, STATE_ON_LINE_0_CLOCKS_81, STATE_ON_LINE_0_MODE_3_END,
        STATE_ON_LINE_0_HBLANK_STAT, STATE_ON_LINE_0_HBLANK_CGB, STATE_ON_LINE_0_HBLANK_CGB_DOUBLE,
        STATE_LINE_0_CLOCKS_2, STATE_LINE_0_CLOCKS_4, STATE_LINE_0_CLOCKS_8, STATE_LINE_0_CLOCKS_79,
        STATE_LINE_0_CLOCKS_81, STATE_LINE_0_CLOCKS_82, STATE_LINE_0_MODE_3_END_MINUS_2,
        STATE_LINE_0_MODE_3_END_MINUS_1, STATE_LINE_0_MODE_3_END, STATE_LINE_0_HBLANK_STAT,
        STATE_LINE_1_143_CLOCKS_0_TWIN, STATE_LINE_1_143_CLOCKS_2, STATE_LINE_1_143_CLOCKS_4,
        STATE_LINE_1_143_CLOCKS_80, STATE_LINE_1_143_CLOCKS_81, STATE_LINE_1_143_CLOCKS_82,
        STATE_LINE_1_143_MODE_3_END_MINUS_2, STATE_LINE_1_143_MODE_3_END_MINUS_1, STATE_LINE_1_143_MODE_3_END,
        STATE_LINE_1_143_HBLANK_STAT, STATE_LINE_144_CLOCKS_0, STATE_LINE_144_CLOCKS_2, STATE_LINE_144_CLOCKS_4_TWIN,
        STATE_LINE_145_152_CLOCKS_0_TWIN, STATE_LINE_145_152_CLOCKS_4_TWIN, STATE_LINE_153_CLOCKS_0,
        STATE_LINE_153_CLOCKS_2, STATE_LINE_153_CLOCKS_4, STATE_LINE_153_CLOCKS_6, STATE_LINE_153_CLOCKS_8,
        STATE_LINE_EARLY_0_MODE_1_LYC_0_TWIN,
    };
    static constexpr bool is_step_id(int id) {
        for (int step : STEP_IDS)
            if (step == id) return true;
        return false;
    }

    static constexpr const char* SCREEN_STATE_STRINGS[7] = {
        "SCREEN_ON_LINE_0_CLOCKS_0", "LINE_0_CLOCKS_0",        "LINE_1_143_CLOCKS_0",      "LINE_144_CLOCKS_4",
        "LINE_145_152_CLOCKS_0",     "LINE_145_152_CLOCKS_4", "LINE_EARLY_0_MODE_1_LYC_0",
    };

    // Sources that can drive the STAT line (last_stat_source).
    static constexpr int STAT_SOURCE_NONE = -1;
    static constexpr int STAT_SOURCE_HBLANK = 0;
    static constexpr int STAT_SOURCE_VBLANK = 1;
    static constexpr int STAT_SOURCE_OAM = 2;
    static constexpr int STAT_SOURCE_LYC = 10;

    struct RegisterWriteLogEntry {
        u16 register_address = 0;
        u8 old_value = 0;
        u8 new_value = 0;
        i32 line = 0;
        i32 cycle = 0;
    };

    // --- lifecycle and registers (ppu.cpp) ---
    void reset();
    void set_boot_rom_values();
    void register_read_write_handlers(GB* machine);
    void rebuild_mapped_colors();
    static constexpr u32 map_rgb(u8 r, u8 g, u8 b) { return 0xFF000000u | u32(r) << 16 | u32(g) << 8 | b; }
    static constexpr u32 map_rgba(u8 r, u8 g, u8 b, u8 a) { return u32(a) << 24 | u32(r) << 16 | u32(g) << 8 | b; }
    // A 15-bit CGB colour, each 5-bit component widened to 8 bits.
    static u32 map_cgb_colour(u16 value);
    static u8 stretch_tile_data_nibble(u8 nibble);
    u8 read_bcps() const { return u8(bcps_index | (bcps_auto_increment << 7) | 0x40); }
    u8 read_ocps() const { return u8(ocps_index | (ocps_auto_increment << 7) | 0x40); }
    void write_bcps(u8 value);
    void write_ocps(u8 value);
    void write_bcpd(u8 value);
    void write_ocpd(u8 value);

    // --- LCD control and the plain register writes (ppu_registers.cpp) ---
    void write_lcdc(u8 value);
    void write_scy(u8 value);
    void write_scx(u8 value);
    void write_bgp(u8 value);
    void write_obp0(u8 value);
    void write_obp1(u8 value);
    void write_wy(u8 value);
    void write_wx(u8 value);
    void render_turned_off();

    // --- STAT, LY and LYC (ppu_stat.cpp) ---
    u8 read_stat();
    // STAT as a read would show it now, latching nothing (the debugger's view).
    u8 peek_stat() const;
    void write_stat(u8 value);
    u8 read_ly() const;
    void write_lyc(u8 value);
    void update_stat_irq(bool lyc_may_raise);
    // True when the last STAT interrupt came from mode 0 or mode 2; the DMG CPU
    // then takes one M-cycle longer to leave HALT for it.
    bool should_delay_lcdc_interrupt() const {
        return last_stat_source == STAT_SOURCE_HBLANK || last_stat_source == STAT_SOURCE_OAM;
    }

    // --- line and frame state machine (ppu_state_machine.cpp) ---
    void set_state(int id);
    void change_to_next_state() { set_state(next_state); }
    int calculate_mode_3_cycles() const;
    int calculate_mode_3_sprite_cycles(int line);
    void reset_scanline_cycles();
    void reset_frame_cycles();
    // 4 MHz cycles since the current line started (low 32 bits).
    int get_scanline_cycle_count() const;
    u32 get_frame_cycle_count() const;

    // --- OAM scan (ppu_state_machine.cpp) ---
    void collect_sprites(bool finish);
    void collect_tentative_sprite();
    // An OAM DMA write of `value` to object memory byte `index` (0-159), with
    // what the OAM scan and the sprite fetcher see of it (they are first
    // brought up to the write's cycle).
    void oam_dma_write(int index, u8 value);

    // --- pixel pipeline, mode 3 (pixel_pipeline.cpp) ---
    void init_mode_3();
    void handle_mode_3();
    void set_tile_fetcher_state(int new_state);
    void handle_sprite_fetcher(int step);
    // The window trigger test; true when it started (or restarted) the window,
    // which ends the pipeline cycle.
    bool check_for_window_activation();
    bool activate_window();
    void finish_rendering_line();

    // --- line completion and frame presentation (rendering.cpp) ---
    void render_line(int line);
    void update_display_now() {}
    // Milliseconds to sleep before releasing a frame whose 16 ms mark is
    // `next_tick` when the wall clock reads `now_ms`: up to 1 ms before the
    // mark, at most 15, and nothing for a frame less than 3 ms early or late.
    static u32 frame_pacing_sleep_ms(u32 next_tick, u32 now_ms);

    // --- whole-line renderers (rendering.cpp) ---
    // The line drawn at once from the registers in force at the end of mode
    // 3, without fetch timing or mid-line effects. Used only when the render
    // path switches below send a line past the pixel pipeline.
    void quick_render_line(int line);
    void quick_render_line_cgb(int line);

    // --- debug viewers, screenshots and the picture-memory dump (debug_view.cpp) ---
    // Images are 0xAARRGGBB, row-major; the overlays use alpha to lie over
    // another picture. The images the PPU holds are allocated when a viewer
    // first draws into them.
    static constexpr int LCD_GRID_WIDTH = 640, LCD_GRID_HEIGHT = 576;
    static constexpr int TILE_MAP_GRID_SIZE = 512;
    static constexpr int TILE_DATA_GRID_WIDTH = 256, TILE_DATA_GRID_CGB_WIDTH = 512, TILE_DATA_GRID_HEIGHT = 384;
    static constexpr int LCD_ZOOM_SIZE = 272;
    // Tile data: 16 tiles a row, 24 rows a bank; CGB bank 1 to the right of
    // bank 0.
    static constexpr int TILE_DATA_BANK_WIDTH = 128, TILE_DATA_IMAGE_WIDTH = 256, TILE_DATA_IMAGE_HEIGHT = 192;
    // 240 tiles as one bitmap, 20 tiles wide.
    static constexpr int APA_IMAGE_WIDTH = 160, APA_IMAGE_HEIGHT = 96;
    static constexpr int TILE_MAP_IMAGE_SIZE = 256;
    static constexpr int OAM_IMAGE_WIDTH = 8, OAM_IMAGE_HEIGHT = 16 * OAM_ENTRIES;
    // Palette modes of the tile-row family; any other value is the plain
    // ramp. The CGB forms take a CGB palette instead: 0-7 BG, 8-15 OBJ, -1
    // by use, -2 each tile's attribute palette, anything else grey.
    static constexpr int PALETTE_BY_USE = -1, PALETTE_BGP = 0, PALETTE_OBP0 = 1, PALETTE_OBP1 = 2,
                         PALETTE_RAMP = 3, PALETTE_REVERSED_RAMP = 4;
    static constexpr int CGB_PALETTE_FROM_ATTRIBUTES = -2, CGB_PALETTE_GREY = 16;
    // Tile-use marks: the palette a tile was last drawn with.
    static constexpr u32 TILE_USED_BG = 0, TILE_USED_OBP0 = 4, TILE_USED_OBP1 = 8, TILE_UNUSED_DMG = 12,
                         TILE_UNUSED_CGB = 16;

    struct ViewerImages {
        std::vector<u32> tile_data, apa_tile_data, tile_map, oam, lcd_objects, lcd_zoom;
    };
    // The PPU's viewer images, allocated on first use.
    ViewerImages& viewer_images();

    // Keeps the host's description of a pixel format code. The previous one
    // is released.
    void set_pixel_format(u32 format);
    void draw_horizontal_line(int y, int x0, int x1, u32 colour, u32* image, int width, int height);
    void draw_vertical_line(int x, int y0, int y1, u32 colour, u32* image, int width, int height);
    // Grids for images the caller holds, of the sizes above.
    void render_lcd_overlay(u32* image);
    void render_tile_map_grid(u32* image);
    void render_tile_data_grid(u32* image);
    void render_tile_data_grid_cgb(u32* image);
    void render_lcd_object_overlay_for_index(int index, bool selected);
    void render_lcd_object_overlay(bool all, int selected);
    void render_lcd_zoom(int x, int y);
    // On CGB class palette_mode is a CGB palette (see the row family).
    void render_tile_data(int palette_mode);
    void render_apa_tile_data(int palette_mode);
    void render_tile_map(u16 map_base, u16 data_base);
    void debug_render_oam();
    // Row `row` of an image: tile row (row & 7) of width / 8 tiles whose
    // numbers are tile_numbers[0..], read from tile_data (inside video
    // memory; each tile's address wraps within its 8 KiB bank), as unsigned
    // or signed numbers.
    void render_tile_row(int row, int width, const u8* tile_data, const u8* tile_numbers, int signed_numbers,
                         int palette_mode, u32* image, int image_width, int image_height);
    // The CGB forms: tile_attributes (may be null) give each tile's bank,
    // flips and palette.
    void render_tile_row_cgb(int row, int width, const u8* tile_data, const u8* tile_numbers,
                             const u8* tile_attributes, int signed_numbers, int palette, u32* image, int image_width,
                             int image_height);
    void render_tile_row_cgb_tile_data_addr(int row, int width, u16 tile_data_address, int bank,
                                            const u8* tile_numbers, const u8* tile_attributes, int signed_numbers,
                                            int palette, u32* image, int image_width, int image_height);
    u32 get_cgb_pal_color(int palette, int colour) const;
    u32 get_cgb_bg_pal_color(int palette, int colour) const;
    u32 get_cgb_obj_pal_color(int palette, int colour) const;
    void render_ascii();
    std::string get_state_string() const;
    // Writes the frame buffer as a binary PPM file. False (with a message on
    // standard output) when it could not be written; an existing file is
    // then kept as it was.
    bool write_screenshot(const std::string& path);
    // Video memory, OAM, the LCD registers and this frame's register writes.
    std::vector<u8> vram_dump() const;
    // Writes vram_dump() to "ppu.bin"; false as write_screenshot.
    bool dump_vram();
    // Logs a write to FF40, FF42, FF43 or FF47-FF4B with the value the
    // register held before it; the register handlers call it before the
    // write takes effect.
    void log_write(u8 register_low, u8 value);

    // Effects of register writes that reach rendering one or two cycles late.
    enum class DelayedEffect : u8 {
        RenderingScy,     // CGB SCY
        RenderingScx,     // CGB SCX
        BgpShades,        // BGP on DMG and early CGB
        Obp0Shades,       // OBP0 on DMG and early CGB
        Obp1Shades,       // OBP1 on DMG and early CGB
        WindowX,          // WX, all models
        DmgObjFetch,      // DMG LCDC bit 1: sprite fetches
        DmgObjAndBg,      // DMG LCDC bits 1 and 0: mixing
        DmgBgEnableEarly, // DMG-B and older: LCDC bit 0 switching the BG on
        CgbMapsAndWindow, // CGB LCDC bits 6, 5, 3
        CgbObjAndBg,      // CGB LCDC bits 2, 1, 0
    };
    struct DelayedUpdate {
        u64 cycle = 0;
        DelayedEffect effect = DelayedEffect::RenderingScy;
    };
    // Runs every queued effect whose cycle the pipeline or the OAM scan has
    // reached, oldest first.
    void check_delayed_updates() {
        if (delayed_count != 0 && delayed_updates[delayed_head].cycle <= fifo_cycle) run_due_delayed_updates();
    }
    int pending_delayed_updates() const { return delayed_count; }

    // The picture unit's part of a save state: 114 fields, 1079 bytes, in a
    // fixed order that the state format depends on. A few of them are kept
    // here in another form (the sprite shifter's owners as eight bytes of one
    // word) and travel converted; the four spare fields exist only for the
    // format.
    template <class Archive>
    void serialize(Archive& ar) {
        std::array<i32, 8> owners{};
        for (int k = 0; k < 8; ++k) owners[k] = i32((obj_shift_owners >> (8 * k)) & 0xFF);
        bool bg_priority = bg_shift_priority != 0;
        ar(lcdc, stat, scy, scx, ly, lyc, bgp, obp0, obp1, wy, wx, lcd_enabled, window_tile_map_address,
           window_enabled, tile_data_select, bg_tile_map_address, sprite_height, obj_enabled, bg_enabled,
           bg_master_priority, obj_fetch_enabled, mapped_colors, lcd_just_enabled, frame_done, spare_byte,
           stat_line, stat_line_before, stat_write_cycle, stat_line_cycle, last_stat_source, lcdc_write_cycle,
           stat_irq_mode, mode, oam_scan_state, current_line, window_line, lyc_irq_line, lyc_flag_line,
           lyc_compare_enabled, spare_flag, lyc_coincidence, previous_bgp, bgp_write_cycle, dmg_shades,
           conflict_shades, bcps_index, bcps_auto_increment, ocps_index, ocps_auto_increment, bg_palette_ram,
           obj_palette_ram);
        ar(fifo_cycle, mode_3_start_cycle, mode_3_cycle, sprite_tile_penalties, tile_fetcher_state,
           tile_fetcher_next_state, tile_fetcher_wait, sprite_x0_wait, rendering_wx, window_x, bg_tile_x,
           window_tile_x, pixel_x, output_x, bg_shift_low, bg_shift_high, bg_shift_count, bg_shift_attributes,
           bg_priority, obj_shift_low, obj_shift_high, obj_shift_bytes, owners, obj_shift_priority, fetch_scy,
           rendering_scy, rendering_scx, fetcher_address, spare_word, fetcher_tile, fetcher_attributes,
           fetcher_data_low, fetcher_data_high, previous_tile_data_select, read_high_from_low, tile_number_as_data,
           replace_data, sprite_data_fetched, saved_data_valid, saved_data, sprite_tile, sprite_data_low,
           sprite_data_high);
        ar(state, next_state, mode_3_length, line_cycles_left, line_start_cycle, spare_cycle, frame_start_cycle,
           first_window_fetch, window_activation_x, window_triggered, window_armed, window_restart_pixel,
           dmg_window_glitch_pending, line_window_enabled, output_armed, output_started, sprite_count,
           late_sprite_pending, oam_scan_index, line_sprites);
        if constexpr (state::loading<Archive>) {
            bg_shift_priority = bg_priority;
            obj_shift_owners = 0;
            for (int k = 0; k < 8; ++k) {
                if (owners[k] < 0 || owners[k] > OAM_ENTRIES) throw state::Rejected("sprite shifter owner out of range");
                obj_shift_owners |= u64(owners[k]) << (8 * k);
            }
        }
    }
    // Everything else of the running unit that a save state must carry for
    // the machine to go on exactly as it would have: the queued register
    // effects (oldest first), the OAM bus hand-over stamps, the window
    // trigger's latch, the line's fine scroll, and the picture itself, whose
    // lines drawn before the save (or all of it, while the LCD is off) are
    // shown after the load.
    template <class Archive>
    void serialize_extension(Archive& ar) {
        ar(lcd_off_after_oam_scan, wy_reached, oam_last_busy_cycle, oam_written_by_dma, oam_dma_slot_cycle,
           oam_dma_slot_word, line_fine_x, pixel_class, frame_buffer);
        i32 count = delayed_count;
        ar(count);
        if constexpr (state::loading<Archive>) {
            if (count < 0 || count > DELAYED_UPDATE_CAPACITY) throw state::Rejected("delayed register effects");
            delayed_head = 0;
            delayed_count = count;
        }
        for (int i = 0; i < count; ++i) {
            DelayedUpdate& update = delayed_updates[(delayed_head + i) % DELAYED_UPDATE_CAPACITY];
            ar(update.cycle, update.effect);
        }
    }
    // Refuses values no running unit can hold (indices and step numbers).
    void check_loaded_state() const;

    GB* gb = nullptr;
    // Carried by save states only.
    u8 spare_byte = 0;
    bool spare_flag = false;
    u16 spare_word = 0;
    u64 spare_cycle = 0;

    // Register bytes.
    u8 lcdc = 0;
    u8 stat = 0;
    u8 scy = 0;
    u8 scx = 0;
    u8 ly = 0;
    u8 lyc = 0;
    u8 bgp = 0;
    u8 obp0 = 0;
    u8 obp1 = 0;
    u8 wy = 0;
    u8 wx = 0;

    // Copies of LCDC bits as rendering sees them.
    bool lcd_enabled = false;
    u16 bg_tile_map_address = 0x9800;
    bool window_enabled = false;
    bool tile_data_select = false;
    u16 window_tile_map_address = 0x9800;
    int sprite_height = 8;
    bool obj_enabled = false;
    bool bg_enabled = false;
    bool bg_master_priority = false;
    bool obj_fetch_enabled = false;
    bool previous_tile_data_select = false;
    u64 lcdc_write_cycle = 0;
    // The line logic's scan-ended latch as the LCD was last switched off. The
    // latch is set where the OAM scan of lines 0-144 ends (line 144 starts
    // its scan as the others do, without taking OAM from the CPU) and
    // cleared as the next line starts; switching the LCD off freezes it, so
    // the line after the next LCD-on, which runs no scan of its own, sees
    // the value it had then. On DMG it decides how that line's OAM write
    // gate runs (GB::drawing_keeps_oam_from_writes).
    bool lcd_off_after_oam_scan = false;

    // Palettes and colours. mapped_colors: 0-31 CGB BG palettes, 32-63 CGB OBJ
    // palettes, 64-67 the DMG shades lightest first, 68-71 darkest first.
    std::array<u32, 72> mapped_colors{};
    std::array<u8, 64> bg_palette_ram{};
    std::array<u8, 64> obj_palette_ram{};
    int bcps_index = 0;
    int ocps_index = 0;
    bool bcps_auto_increment = false;
    bool ocps_auto_increment = false;
    // Shade numbers decoded from BGP (0-3), OBP0 (5-7) and OBP1 (9-11).
    std::array<int, 13> dmg_shades{};
    std::array<int, 13> conflict_shades{};
    u8 previous_bgp = 0;
    u64 bgp_write_cycle = 0;

    // Line, frame and STAT state.
    int mode = 0;
    int stat_irq_mode = 0;  // mode offered to the STAT sources, -1 none
    int current_line = 0;
    int window_line = -1;
    bool wy_reached = false;
    // LCDC bit 5 as the line started (save states carry it).
    bool line_window_enabled = false;
    int state = 0;
    int next_state = 0;
    int mode_3_length = 0;
    int line_cycles_left = 0;
    u64 line_start_cycle = 0;
    u64 frame_start_cycle = 0;
    int lyc_irq_line = 0;   // line the LY = LYC interrupt source compares
    int lyc_flag_line = 0;  // line the STAT coincidence bit compares
    bool lyc_compare_enabled = false;
    bool lyc_coincidence = false;
    bool stat_line = false;
    bool stat_line_before = false;
    u64 stat_write_cycle = NEVER;
    u64 stat_line_cycle = NEVER;
    // Last 4 MHz cycle in which the ending mode 3 still held OAM (what the
    // CPU sees of it depends on the model, see GB::read_oam_area).
    u64 oam_last_busy_cycle = NEVER;
    int last_stat_source = STAT_SOURCE_NONE;
    bool frame_done = false;
    bool lcd_just_enabled = false;
    std::array<u8, 22> sprite_tile_penalties{};

    // OAM scan.
    std::array<OamDataWithId, OAM_ENTRIES> line_sprites{};
    int sprite_count = 0;
    bool late_sprite_pending = false;
    int oam_scan_index = 0;
    int oam_scan_state = 0;  // mode as the CPU latched it on entering STOP
    u64 fifo_cycle = 0;      // pixel cycle up to which the scan/pipeline ran
    // An OAM DMA wrote object memory while this line's scan or sprite fetches
    // were running: the fetcher then reads tile and attributes from object
    // memory as it is, not as the scan saw them.
    bool oam_written_by_dma = false;
    // The cycle in which the OAM DMA last held object memory, and the even
    // address of the 2-byte word it was writing.
    u64 oam_dma_slot_cycle = NEVER;
    u8 oam_dma_slot_word = 0;

    // Register values as rendering sees them (they may lag the registers).
    u8 rendering_scy = 0;
    u8 rendering_scx = 0;
    u8 rendering_wx = 0;

    // Writes to FF40, FF42, FF43 and FF47-FF4B since line 144 began, with the
    // value each register held before. While the LCD is off no line 144
    // comes, so the log keeps at most one frame's worth of writes.
    static constexpr std::size_t REGISTER_WRITE_LOG_LIMIT = FRAME_CYCLES / 4;
    std::vector<RegisterWriteLogEntry> register_write_log;

    // How pixels get their colours and sprites their priority: DMG class, CGB
    // mode, or a CGB running a monochrome cartridge (KEY0 = 4). Taken from
    // the machine at each mode-3 start.
    enum class PixelClass : u8 { Dmg, Cgb, CgbDmgMode };
    PixelClass pixel_class = PixelClass::Dmg;

    // Pixel pipeline. pixel_x is the line position of the next pixel
    // (negative while fine-scroll pixels are dropped, the line is done at
    // 160); output_x the frame-buffer column it goes to.
    u64 mode_3_start_cycle = 0;
    int mode_3_cycle = 0;
    int pixel_x = SCREEN_WIDTH;
    int output_x = SCREEN_WIDTH;
    bool output_started = false;
    bool output_armed = false;
    int sprite_x0_wait = 0;
    // SCX & 7 as the line's first fetch took it: the fine scroll the pixel
    // counter is offset by for the rest of the line.
    int line_fine_x = 0;
    int tile_fetcher_state = 0;
    int tile_fetcher_next_state = 0;
    int tile_fetcher_wait = 0;
    int bg_tile_x = 0;
    int window_tile_x = 0;
    int window_x = 0;
    bool window_triggered = false;
    bool window_armed = false;
    int window_activation_x = 1000;
    bool window_restart_pixel = false;
    bool dmg_window_glitch_pending = false;
    bool first_window_fetch = false;
    // BG shifter: two bit planes, bit 7 is the next pixel.
    u8 bg_shift_low = 0;
    u8 bg_shift_high = 0;
    int bg_shift_count = 0;
    int bg_shift_attributes = 0;
    u8 bg_shift_priority = 0;
    // Sprite shifter: colour planes, palette planes (bit 0 is the OBP1 select
    // outside CGB mode), priority plane, and the OAM index owning each
    // position (byte k of obj_shift_owners goes with bit k of the planes;
    // 40 = none).
    u8 obj_shift_low = 0;
    u8 obj_shift_high = 0;
    std::array<u8, 3> obj_shift_bytes{};
    u8 obj_shift_priority = 0;
    u64 obj_shift_owners = 0;
    // Tile fetcher.
    u8 fetch_scy = 0;
    u16 fetcher_address = 0;
    u8 fetcher_tile = 0;
    u8 fetcher_attributes = 0;
    u8 fetcher_data_low = 0;
    u8 fetcher_data_high = 0;
    // Sprite fetcher.
    u8 sprite_tile = 0;
    u8 sprite_data_low = 0;
    u8 sprite_data_high = 0;
    bool sprite_data_fetched = false;
    // CGB: an LCDC write switching the tile data area on the very cycle of a
    // data read mixes the two areas.
    bool read_high_from_low = false;
    bool tile_number_as_data = false;
    bool replace_data = false;
    bool saved_data_valid = false;
    u8 saved_data = 0;

    // Frame pacing by the machine itself: with frame_pacing set, a frame is
    // not released before the wall-clock millisecond next_frame_tick (16 ms
    // marks). Off by default: the front end holds the machine to real time
    // (the audio queue, or its own frame pacer when silent). Never applies
    // headless, in turbo or while running to a target cycle.
    u32 next_frame_tick = 0;
    bool frame_pacing = false;

    std::array<u32, SCREEN_WIDTH * SCREEN_HEIGHT> frame_buffer{};
    // Debug data: per-cycle picture of every line's modes, tile usage marks and
    // the map registers as they stood when line 72 was finished.
    std::array<u32, LINES_PER_FRAME * LINE_CYCLES> timing_image{};
    // The timing picture costs a 280 KiB clear every frame; it is kept only
    // while a debug viewer asks for it.
    bool timing_image_enabled = false;
    // Tile-use marks, one per tile slot (CGB: bank 1 from 384 on), set by the
    // whole-line renderers while a viewer asks for them.
    std::array<u32, 384> tile_usage_dmg{};
    std::array<u32, 768> tile_usage_cgb{};
    bool tile_usage_enabled = false;
    std::array<u8, 3> map_snapshot_lcdc{};
    // The tile map viewer's last selection.
    u16 tile_map_viewer_map_base = 0x9800;
    u16 tile_map_viewer_data_base = 0x8000;
    // Pixel format code and the host's description of it (null headless).
    u32 pixel_format = 0;
    std::shared_ptr<const void> pixel_format_description;
    std::unique_ptr<ViewerImages> viewer;

    // Render-path switches: register writes in mode 3 advance the pixel
    // pipeline, and lines are completed by the pipeline.
    bool register_write_catch_up = true;
    bool use_pipeline = true;
    // Lines on which only the background can act take a shorter loop with
    // the same result (cleared only to compare the two).
    bool plain_line_shortcut = true;
    // Likewise the stretches of a line in which the fetcher only loads and
    // shifts out whole tiles.
    bool whole_tile_steps = true;

private:
    // Model conditions the timing depends on.
    bool early_cgb() const;
    int last_window_start_x() const;
    // DMG: the window has started in this frame and is off now, and this
    // line's WX and SCX meet WX & 7 = 7 - (SCX & 7), which puts one pixel of
    // background colour 0 in at the window's start (whatever the sprites).
    bool dmg_window_off_glitch_on_line() const;
    bool single_speed() const;
    bool usual_compare_off() const;
    bool oam_scan_ended_on_this_line() const;
    void set_mode(int m);
    void set_lyc_lines(int line);
    void wait(int cycles);
    void wait_rest();
    void hdma_request();
    void mode_3_end_minus_2();
    void mode_3_end_minus_1();
    void mode_3_end();
    void hblank_stat();
    void frame_start();
    void start_mode_3();
    u64 now() const;
    void decode_bgp();
    void decode_obp0();
    void decode_obp1();
    void write_palette_byte(bool object, u8 value);

    // Before a PPU register write takes effect the OAM scan and the pixel
    // pipeline are brought up to the write's cycle and the write is logged.
    void prepare_register_write(u16 address, u8 value);
    void catch_up_pixel_pipeline();
    // OAM scan steps; an entry is examined with the Y and X bytes given.
    void scan_oam_until(u64 until, bool finish);
    void scan_entry(const u8* y_and_x, bool skip);
    bool scan_skips_entries() const;
    bool oam_scan_running() const;
    bool sprite_fetches_pending() const;
    void read_sprite_oam_during_dma();

    // Delayed effects: a ring, oldest at delayed_head. An effect is queued
    // only while the LCD is on; with it off the effect applies at once.
    static constexpr int DELAYED_UPDATE_CAPACITY = 64;
    std::array<DelayedUpdate, DELAYED_UPDATE_CAPACITY> delayed_updates{};
    int delayed_head = 0;
    int delayed_count = 0;
    void queue_delayed_update(int delay, DelayedEffect effect);
    void run_due_delayed_updates();
    void apply_delayed_effect(DelayedEffect effect);
    void apply_cgb_sprite_height(int height);

    // Pixel pipeline helpers (pixel_pipeline.cpp).
    // `Clean`: from here to the end of the line no queued register effect,
    // no BGP write's mixing cycle and no LCDC write's cycle can come, so the
    // steps leave out those tests (see clean_rest_of_line).
    template <PixelClass C, bool Clean = false>
    void step_mode_3(u32* row);
    u32* frame_row_or_null();
    template <PixelClass C, bool Clean = false>
    void run_pipeline(u64 until);
    void run_pipeline_until(u64 until);
    bool clean_rest_of_line() const;
    template <PixelClass C, bool Clean = false>
    u32 mix_pixel();
    template <PixelClass C, bool Clean = false>
    u32 bg_colour(int bg);
    template <PixelClass C, bool Clean = false>
    void output_pixel(u32* row);
    template <bool Clean>
    void advance_tile_fetcher();
    bool whole_tile_step_possible(int cycles_left) const;
    template <PixelClass C>
    void run_whole_tile_step(u32* row);
    void set_rare_tile_fetcher_state(int new_state);
    void note_tile_data_switch(int entered_state);
    void enter_tile_fetcher_state(int new_state);
    u32 mix_current_pixel();
    bool is_plain_line() const;
    template <PixelClass C>
    void run_plain_line();
    template <PixelClass C>
    u32 plain_bg_colour(int bg) const;
    void load_bg_shifter();
    void fetch_bg_tile_number();
    void fetch_window_tile_number();
    void fetch_tile_data(bool high, bool window);
    u8 read_tile_data_glitched(bool high, int row, int bank);
    void merge_sprite(const OamDataWithId& sprite);
    u16 sprite_row_address(const OamDataWithId& sprite, u8 tile) const;
    u8 read_sprite_byte(const OamDataWithId& sprite, bool high);
    PixelClass pixel_class_for_machine() const;
    void paint_timing_row(int line, int from, int to, u32 colour);
    void paint_timing_rest_of_line();
    // Whole-line renderer helpers (rendering.cpp).
    struct SpritePixel {
        u8 colour = 0;  // 0: no sprite
        u8 attributes = 0;
    };
    static constexpr int LINE_MARGIN = 8;
    static constexpr int LINE_BUFFER_SIZE = 180;
    using SpriteLayer = std::array<SpritePixel, LINE_BUFFER_SIZE>;
    bool window_on_line() const;
    int window_start_column() const;
    void mark_tile_use(u16 tile_address, int bank, u32 mark);
    template <class Put>
    void draw_background_and_window(int line, Put&& put);
    void draw_sprite_layer(int line, const OamDataWithId* sprites, int count, bool cgb_banks, SpriteLayer& layer);
    bool lcd_off_while_rendering(int line);
    // Viewer helpers (debug_view.cpp).
    std::array<u32, 4> dmg_viewer_colours(int palette_mode, u32 use_mark) const;
    std::array<u32, 4> cgb_viewer_colours(int palette, u8 attributes, u32 use_mark) const;
    u32 tile_use_mark(int bank, int slot) const;
    int vram_offset(const u8* pointer) const;
    void pace_frame();
};
