#pragma once
#include "core/types.h"

class GB;

inline constexpr u16 REG_DMA = 0xFF46;
inline constexpr u16 REG_HDMA1 = 0xFF51;
inline constexpr u16 REG_HDMA2 = 0xFF52;
inline constexpr u16 REG_HDMA3 = 0xFF53;
inline constexpr u16 REG_HDMA4 = 0xFF54;
inline constexpr u16 REG_HDMA5 = 0xFF55;

// Which bus a running OAM DMA occupies; the bus answers CPU reads by it.
enum OamDmaBusState : i32 {
    OAM_DMA_IDLE = 0,
    OAM_DMA_DMG_EXTERNAL = 1,  // DMG: anything outside video RAM
    OAM_DMA_CGB_EXTERNAL = 2,  // CGB: cartridge ROM or RAM
    OAM_DMA_VRAM = 3,
    OAM_DMA_CGB_WRAM = 4,
    OAM_DMA_CGB_ECHO = 5,
    OAM_DMA_OAM = 6,
    OAM_DMA_HIGH = 7,
};

// The two copy engines: OAM DMA (FF46), one byte per M-cycle while it holds a
// bus, and on CGB the video-RAM DMA (FF51-FF55), general or one 16-byte block
// per HBlank.
class DMA {
public:
    void register_read_write_handlers(GB* machine);
    void reset();
    void write_oam_dma(u8 value);
    void handle_oam_dma_transfer();
    void write_hdma5(u8 value);
    u8 read_hdma5() const;
    void do_hblank_transfer();

    template <class Archive>
    void serialize(Archive& ar) {
        ar(oam_dma_bytes_left, oam_dma_started, oam_dma_source, oam_dma_destination, oam_dma_register, oam_dma_byte,
           oam_dma_bus_state, hdma_source, hdma_destination, hblank_dma_active, hdma_bytes_left);
    }

    GB* gb = nullptr;
    i32 oam_dma_bytes_left = 0;
    bool oam_dma_started = false;
    u16 oam_dma_source = 0;
    u16 oam_dma_destination = 0xFE00;
    u8 oam_dma_register = 0xFF;
    u8 oam_dma_byte = 0xFF;
    i32 oam_dma_bus_state = OAM_DMA_IDLE;
    u16 hdma_source = 0;
    u16 hdma_destination = 0x8000;
    bool hblank_dma_active = false;
    i32 hdma_bytes_left = 0;

private:
    i32 bus_state_for(u16 source) const;
    void read_next_oam_byte();
    void copy_vram_byte(u8 value);
};
