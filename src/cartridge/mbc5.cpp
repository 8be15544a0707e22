#include "cartridge/mbc5.h"

#include "cartridge/cartridge.h"

namespace {
constexpr u8 RUMBLE_MOTOR_BIT = 0x08;
}

void MBC5::init(u8* rom_, int rom_size_, u8* ram_, int ram_size_) {
    rom = rom_;
    rom_size = rom_size_;
    ram = ram_;
    ram_size = ram_size_;
    rom_mask = mbc_layout::rom_mask(rom_size);
    ram_mask = mbc_layout::ram_mask(ram_size);
    ram_end = mbc_layout::ram_end(ram_size);
    const u8 type = read_byte_rom0(HEADER_TYPE);
    has_rumble = type >= 0x1C && type <= 0x1E;
    update();
}

u8 MBC5::read_byte_sram(u16 address) {
    if (address > ram_end || !ram_enabled) return 0xFF;
    return ram_window[address & 0x1FFF];
}

void MBC5::write_byte(u16 address, u8 value, u64) {
    switch (address >> 12) {
        case 0x0: case 0x1:
            // Enabling the RAM moves no window.
            ram_enabled = mbc_layout::ram_enable_value(value) ? 1 : 0;
            return;
        case 0x2:
            rom_bank = ((rom_bank & 0x100) | value) & rom_mask;
            break;
        case 0x3:
            rom_bank = (((value & 1) << 8) | (rom_bank & 0xFF)) & rom_mask;
            break;
        case 0x4: case 0x5:
            if (has_rumble) {
                rumble_motor_on = (value & RUMBLE_MOTOR_BIT) != 0;
                value &= u8(~RUMBLE_MOTOR_BIT);
            }
            ram_bank = value & ram_mask;
            break;
        case 0xA: case 0xB:
            if (address <= ram_end && ram_enabled) ram_window[address & 0x1FFF] = value;
            return;
        default:
            return;
    }
    update();
}

int MBC5::get_mapped_address_rom(u16 address) {
    if (address < 0x4000) return address;
    return (rom_bank - 1) * 0x4000 + address;
}

void MBC5::update() {
    rom_windows = {rom, rom + rom_bank * 0x4000};
    ram_window = ram ? ram + ram_bank * 0x2000 : nullptr;
}
