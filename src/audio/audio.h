#pragma once
#include "core/types.h"

class GB;

// Audio processing unit. Not wired up yet: no register, no sample output.
class Audio {
public:
    void init() {}
    void set_gb(GB* machine) { gb = machine; }
    void register_read_write_handlers(GB*) {}
    void reset();
    void set_boot_rom_values() {}
    void tick_frame_sequencer();
    void update_next_frame_seq_update_cycle() {}
    void tick_frequency();
    void sample_tick();
    void open_wav_file_for_writing() {}
    void close_wav_file_for_writing() {}

    GB* gb = nullptr;
    bool wav_capture_enabled = false;
    bool wav_file_open = false;
};
