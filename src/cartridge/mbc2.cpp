#include "cartridge/mbc2.h"

namespace {
constexpr int MBC2_CELLS = 0x200;
}

void MBC2::init(u8* rom_, int rom_size_, u8* ram_, int ram_size_) {
    rom = rom_;
    rom_size = rom_size_;
    ram = ram_;
    ram_size = ram_size_;
    rom_mask = mbc_layout::rom_mask(rom_size);
    update();
}

int MBC2::cell(u16 address) const {
    const int offset = address & (MBC2_CELLS - 1);
    return ram && offset < ram_size ? offset : -1;
}

u8 MBC2::read_byte_sram(u16 address) {
    const int c = cell(address);
    if (!ram_enabled || c < 0) return 0xFF;
    // Only the low four data lines are wired; the upper half floats high.
    return ram[c] | 0xF0;
}

void MBC2::write_byte(u16 address, u8 value, u64) {
    if (address < 0x4000) {
        if (address & 0x0100) {
            rom_bank = value & 0x0F;
            if (rom_bank == 0) rom_bank = 1;
            rom_bank &= rom_mask;
            update_pointers();
        } else {
            ram_enabled = mbc_layout::ram_enable_value(value) ? 1 : 0;
        }
        return;
    }
    if (address >= 0xA000 && address <= 0xBFFF && ram_enabled) {
        // Writes reach the repeated cells just as reads do.
        const int c = cell(address);
        if (c >= 0) ram[c] = value & 0x0F;
    }
}

int MBC2::get_mapped_address_rom(u16 address) {
    if (address <= 0x3FFF) return address;
    return (rom_bank - 1) * 0x4000 + address;
}

void MBC2::update_pointers() { rom_windows = {rom, rom + rom_bank * 0x4000}; }
