#pragma once
#include "core/types.h"

class GB;

// Picture processing unit. Only the fields other units consult exist yet; the
// LCD stays off and no PPU event is ever scheduled.
class PPU {
public:
    // Step id of the first cycle of lines 1-143, during which OAM reads
    // already see the coming OAM scan.
    static constexpr int STATE_LINE_1_143_CLOCKS_0 = 2;

    void register_read_write_handlers(GB*) {}
    void reset();
    void set_boot_rom_values() {}
    void change_to_next_state();
    // CPU cycles since the current line started.
    int get_scanline_cycle_count() const { return 0; }
    // True when the last STAT interrupt came from mode 0 or mode 2.
    bool should_delay_lcdc_interrupt() const { return last_stat_source == 0 || last_stat_source == 2; }

    GB* gb = nullptr;
    int mode = 0;
    int current_line = 0;
    int state = 0;
    u8 lcdc = 0;
    bool lcd_enabled = false;
    int oam_scan_state = 0;  // mode as the CPU latched it on entering STOP
    bool frame_done = false;
    int last_stat_source = -1;
    bool register_write_catch_up = true;
    bool use_pipeline = true;
};
