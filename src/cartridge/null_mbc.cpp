#include "cartridge/null_mbc.h"

void NullMBC::init(u8* rom_, int rom_size_, u8* ram_, int ram_size_) {
    rom = rom_;
    rom_size = rom_size_;
    ram = ram_;
    ram_size = ram_size_;
    ram_window = ram;
    rom_windows = {rom, rom + 0x4000};
    ram_end = mbc_layout::ram_end(ram_size);
}

u8 NullMBC::read_byte_sram(u16 address) {
    if (address > ram_end) return 0xFF;
    return ram_window[address & 0x1FFF];
}

void NullMBC::write_byte(u16 address, u8 value, u64) {
    if (address >= 0xA000 && address <= ram_end) ram_window[address & 0x1FFF] = value;
}

u8 NullMBC::rom_banked_read_byte(int, u16 address) const {
    return address < 0x8000 ? rom[address] : 0xFF;
}
