#pragma once
#include <array>
#include <vector>

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
};

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
    static constexpr int MAX_SPRITES_PER_LINE = 10;

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
    static u32 map_rgb(u8 r, u8 g, u8 b) { return 0xFF000000u | u32(r) << 16 | u32(g) << 8 | b; }
    static u32 map_rgba(u8 r, u8 g, u8 b, u8 a) { return u32(a) << 24 | u32(r) << 16 | u32(g) << 8 | b; }
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

    // --- OAM scan and the entry points of the pixel pipeline ---
    void collect_sprites(bool finish);
    void init_mode_3();
    void render_line(int line);

    GB* gb = nullptr;

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

    // Register values as rendering sees them (they may lag the registers).
    u8 rendering_scy = 0;
    u8 rendering_scx = 0;
    u8 rendering_wx = 0;

    std::vector<RegisterWriteLogEntry> register_write_log;

    std::array<u32, SCREEN_WIDTH * SCREEN_HEIGHT> frame_buffer{};
    // Debug data: per-cycle picture of every line's modes, tile usage marks and
    // the map registers as they stood when line 72 was finished.
    std::array<u32, LINES_PER_FRAME * LINE_CYCLES> timing_image{};
    std::array<u32, 384> tile_usage_dmg{};
    std::array<u32, 768> tile_usage_cgb{};
    std::array<u8, 3> map_snapshot_lcdc{};

    // Render-path switches: register writes in mode 3 advance the pixel
    // pipeline, and lines are completed by the pipeline.
    bool register_write_catch_up = true;
    bool use_pipeline = true;

private:
    // Model conditions the timing depends on.
    bool early_cgb() const;
    bool single_speed() const;
    bool usual_compare_off() const;
    void set_mode(int m);
    void set_lyc_lines(int line);
    void wait(int cycles);
    void wait_rest();
    void hdma_request();
    void frame_start();
    void start_mode_3();
    u64 now() const;
    void decode_bgp();
    void decode_obp0();
    void decode_obp1();
    void write_palette_byte(bool object, u8 value);

    // Seams for the lazily run pixel pipeline, which is not built yet.
    // Before a PPU register write takes effect the OAM scan and the pipeline are
    // brought up to the write's cycle and the write is logged.
    void prepare_register_write(u16 address, u8 value);
    void catch_up_pixel_pipeline() {}
    void log_register_write(u16, u8) {}
    void check_delayed_updates() {}
    void finish_rendering_line() {}
    // An effect the hardware applies `delay` 4 MHz cycles after the write.
    // Until the delayed-update queue exists it takes effect at once.
    template <class Effect>
    void apply_register_effect(int /*delay*/, Effect&& effect) {
        effect();
    }
};
