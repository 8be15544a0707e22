#include "cartridge/mbc1m.h"

void MBC1M::update() {
    ram_bank = 0;
    rom_bank = ((bank1 & 0x0F) + (bank2 << 4)) & rom_mask;
    rom0_bank = mode == 1 ? (bank2 << 4) & rom_mask : 0;
    update_pointers();
}
