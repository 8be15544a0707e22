#include "cartridge/mbc1.h"

void MBC1::init(u8* rom_, int rom_size_, u8* ram_, int ram_size_) {
    rom = rom_;
    rom_size = rom_size_;
    ram = ram_;
    ram_size = ram_size_;
    rom_mask = mbc_layout::rom_mask(rom_size);
    ram_mask = mbc_layout::ram_mask(ram_size);
    ram_end = mbc_layout::ram_end(ram_size);
    update();
}

u8 MBC1::read_byte_sram(u16 address) {
    if (address > ram_end || !ram_enabled) return 0xFF;
    return ram_window[address & 0x1FFF];
}

void MBC1::write_byte(u16 address, u8 value, u64) {
    switch (address >> 13) {
        case 0:  // 0000-1FFF
            ram_enabled = mbc_layout::ram_enable_value(value);
            break;
        case 1:  // 2000-3FFF: zero selects bank 1, judged on all five bits
            bank1 = value & 0x1F;
            if (bank1 == 0) bank1 = 1;
            break;
        case 2:  // 4000-5FFF
            bank2 = value & 0x03;
            break;
        case 3:  // 6000-7FFF
            mode = value & 1;
            break;
        case 5:  // A000-BFFF
            if (address <= ram_end && ram_enabled) ram_window[address & 0x1FFF] = value;
            return;
        default:
            return;
    }
    update();
}

int MBC1::get_mapped_address_rom(u16 address) {
    if (address <= 0x3FFF) return rom0_bank * 0x4000 + address;
    return (rom_bank - 1) * 0x4000 + address;
}

void MBC1::update() {
    rom_bank = (bank1 + (bank2 << 5)) & rom_mask;
    if (mode == 1) {
        rom0_bank = (bank2 << 5) & rom_mask;
        ram_bank = bank2 & ram_mask;
    } else {
        rom0_bank = 0;
        ram_bank = 0;
    }
    update_pointers();
}

void MBC1::update_pointers() {
    rom_windows = {rom + rom0_bank * 0x4000, rom + rom_bank * 0x4000};
    ram_window = ram ? ram + ram_bank * 0x2000 : nullptr;
}
