#pragma once
#include "cartridge/mbc.h"

// MBC5: a 9-bit ROM bank register split over 2000-2FFF (low byte) and
// 3000-3FFF (bit 8) that may select bank 0, and a 4-bit RAM bank register.
// On rumble cartridges (types 0x1C-0x1E) bit 3 of the RAM bank register
// drives the motor instead of a RAM address line.
class MBC5 : public MemoryBankController {
public:
    void init(u8* rom, int rom_size, u8* ram, int ram_size) override;
    u8 read_byte_rom0(u16 address) override { return rom[address & 0x3FFF]; }
    u8 read_byte_rom1(u16 address) override { return rom_windows[1][address & 0x3FFF]; }
    u8 read_byte_sram(u16 address) override;
    void write_byte(u16 address, u8 value, u64 cycle) override;
    int get_mapped_address_rom(u16 address) override;
    int get_mapped_address_ram(u16 address) override { return ram_bank * 0x2000 + address - 0xA000; }
    int get_rom_bank() override { return rom_bank; }
    int get_ram_bank() override { return ram_bank; }
    void update() override;

    template <class Archive>
    void serialize(Archive& ar) {
        ar(ram_enabled, rom_bank, ram_bank);
    }

    u8* rom = nullptr;
    int rom_size = 0;
    int ram_enabled = 0;
    int rom_bank = 1;
    int ram_bank = 0;
    u8* ram_window = nullptr;
    int rom_mask = 0;
    int ram_mask = 0;
    u8* ram = nullptr;
    int ram_size = 0;
    u16 ram_end = 0x9FFF;
    bool has_rumble = false;
    bool rumble_motor_on = false;
};
