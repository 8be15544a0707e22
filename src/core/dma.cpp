#include "core/dma.h"

#include "core/gb.h"

void DMA::handle_oam_dma_transfer() { gb->cpu.set_next_oam_dma_cycle(NEVER); }
