#include "core/dma.h"

#include "core/gb.h"
#include "cpu/cpu_inline.h"

void DMA::register_read_write_handlers(GB* machine) {
    machine->add_io_handlers_for_address(REG_DMA - 0xFF00, [this] { return oam_dma_register; },
                                         [this](u8 v) { write_oam_dma(v); });
    if (!machine->is_cgb) return;
    auto open_bus = [] { return u8(0xFF); };
    machine->add_io_handlers_for_address(REG_HDMA1 - 0xFF00, open_bus,
                                         [this](u8 v) { hdma_source = u16((hdma_source & 0x00FF) | (v << 8)); });
    machine->add_io_handlers_for_address(REG_HDMA2 - 0xFF00, open_bus,
                                         [this](u8 v) { hdma_source = u16((hdma_source & 0xFF00) | (v & 0xF0)); });
    machine->add_io_handlers_for_address(REG_HDMA3 - 0xFF00, open_bus, [this](u8 v) {
        hdma_destination = u16((hdma_destination & 0x00FF) | ((0x80 | (v & 0x1F)) << 8));
    });
    machine->add_io_handlers_for_address(REG_HDMA4 - 0xFF00, open_bus, [this](u8 v) {
        hdma_destination = u16((hdma_destination & 0xFF00) | (v & 0xF0));
    });
    machine->add_io_handlers_for_address(REG_HDMA5 - 0xFF00, [this] { return read_hdma5(); },
                                         [this](u8 v) { write_hdma5(v); });
}

void DMA::reset() {
    hdma_source = 0x0000;
    hdma_destination = 0x8000;
    hdma_bytes_left = 0;
    hblank_dma_active = false;
    oam_dma_bytes_left = 0;
    oam_dma_register = 0xFF;
    oam_dma_bus_state = OAM_DMA_IDLE;
}

// ---------------------------------------------------------------------------
// OAM DMA

i32 DMA::bus_state_for(u16 source) const {
    if (source >= 0x8000 && source < 0xA000) return OAM_DMA_VRAM;
    if (source >= 0xFF00) return OAM_DMA_HIGH;
    if (source >= 0xFE00) return OAM_DMA_OAM;
    if (gb->is_dmg) return OAM_DMA_DMG_EXTERNAL;
    if (source < 0xC000) return OAM_DMA_CGB_EXTERNAL;
    if (source < 0xE000) return OAM_DMA_CGB_WRAM;
    return OAM_DMA_CGB_ECHO;
}

void DMA::write_oam_dma(u8 value) {
    oam_dma_bytes_left = 160;
    oam_dma_destination = 0xFE00;
    oam_dma_register = value;
    // The DMG cannot reach FE00-FFFF as a source; those pages come from WRAM.
    if (gb->is_dmg && value > 0xFD) value = u8(value - 0x20);
    oam_dma_started = false;
    oam_dma_source = u16(value << 8);
    gb->cpu.set_next_oam_dma_cycle(gb->cpu.cpu_cycles + 8);
}

void DMA::read_next_oam_byte() {
    oam_dma_byte = gb->read_byte_unrestricted(oam_dma_source);
    oam_dma_source = u16(oam_dma_source + 1);
    gb->cpu.set_next_oam_dma_cycle(gb->cpu.cpu_cycles + 4);
}

void DMA::handle_oam_dma_transfer() {
    if (!oam_dma_started) {
        oam_dma_bus_state = bus_state_for(oam_dma_source);
        oam_dma_started = true;
        read_next_oam_byte();
        return;
    }
    gb->ppu.oam_dma_write((oam_dma_destination - 0xFE00) & 0xFF, oam_dma_byte);
    --oam_dma_bytes_left;
    oam_dma_destination = u16(oam_dma_destination + 1);
    if (oam_dma_bytes_left <= 0) {
        oam_dma_bus_state = OAM_DMA_IDLE;
        gb->cpu.set_next_oam_dma_cycle(NEVER);
        return;
    }
    read_next_oam_byte();
}

// ---------------------------------------------------------------------------
// Video-RAM DMA (CGB)

u8 DMA::read_hdma5() const {
    return u8(((hdma_bytes_left >> 4) - 1) | (hblank_dma_active ? 0x00 : 0x80));
}

void DMA::copy_vram_byte(u8 value) {
    gb->write_byte(hdma_destination, value);
    hdma_destination = u16(hdma_destination + 1);
    if (hdma_destination > 0x9FFF) hdma_destination = u16(hdma_destination - 0x2000);
}

void DMA::write_hdma5(u8 value) {
    if (value & 0x80) {
        hblank_dma_active = true;
        hdma_bytes_left = ((value & 0x7F) + 1) * 16;
        if (!gb->ppu.lcd_enabled || gb->ppu.mode == 0) gb->cpu.hblank_hdma_requested = true;
        return;
    }
    if (hblank_dma_active) {
        hblank_dma_active = false;
        hdma_bytes_left = ((value + 1) & 0xFF) * 16;
        return;
    }
    // General DMA: the CPU is stalled until every block is copied.
    CPU& cpu = gb->cpu;
    cpu.tick();
    const int blocks = (value + 1) & 0xFF;
    for (int i = 0; i < blocks * 16; ++i) {
        cpu.t_cycle_4mhz();
        const u8 byte = gb->read_byte(hdma_source);
        hdma_source = u16(hdma_source + 1);
        cpu.t_cycle_4mhz();
        copy_vram_byte(byte);
    }
}

void DMA::do_hblank_transfer() {
    if (!hblank_dma_active) return;
    CPU& cpu = gb->cpu;
    cpu.tick();
    for (int i = 0; i < 16; ++i) {
        cpu.t_cycle_4mhz();
        // Above DFFF the DMA sees the opcode byte the CPU has on its bus.
        const u8 byte = hdma_source > 0xDFFF ? cpu.opcode : gb->read_byte(hdma_source);
        hdma_source = u16(hdma_source + 1);
        cpu.t_cycle_4mhz();
        copy_vram_byte(byte);
        --hdma_bytes_left;
    }
    if (hdma_bytes_left <= 0) hblank_dma_active = false;
}
