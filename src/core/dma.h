#pragma once
#include "core/types.h"

class GB;

inline constexpr u16 REG_DMA = 0xFF46;

// OAM DMA and CGB HDMA/GDMA. Not wired up yet: no transfer ever runs, so the
// bus always sees the conflict-free map (bus state 0).
class DMA {
public:
    void register_read_write_handlers(GB*) {}
    void reset() {}
    void handle_oam_dma_transfer();
    void do_hblank_transfer() {}

    GB* gb = nullptr;
    // Which bus a running OAM DMA occupies (0 = none); see GB::read_byte.
    int oam_dma_bus_state = 0;
    // The byte the OAM DMA read last, which it drives onto the bus it holds.
    u8 oam_dma_byte = 0xFF;
    // FF46 as written; its high byte is the source page.
    u16 oam_dma_source = 0;
};
