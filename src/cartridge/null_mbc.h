#pragma once
#include "cartridge/mbc.h"

// Cartridges without a bank controller: 32 KiB of ROM and, optionally, RAM
// that is always enabled.
class NullMBC : public MemoryBankController {
public:
    void init(u8* rom, int rom_size, u8* ram, int ram_size) override;
    u8 read_byte_rom0(u16 address) override { return rom[address & 0x7FFF]; }
    u8 read_byte_rom1(u16 address) override { return rom[address & 0x7FFF]; }
    u8 read_byte_sram(u16 address) override;
    void write_byte(u16 address, u8 value, u64 cycle) override;
    int get_mapped_address_rom(u16 address) override { return address; }
    int get_mapped_address_ram(u16 address) override { return address - 0xA000; }
    int get_rom_bank() override { return 1; }
    int get_ram_bank() override { return 0; }
    void update() override {}
    u8 rom_banked_read_byte(int bank, u16 address) const;

    template <class Archive>
    void serialize(Archive&) {}

    u8* rom = nullptr;
    int rom_size = 0;
    u8* ram = nullptr;
    int ram_size = 0;
    u8* ram_window = nullptr;
    u16 ram_end = 0x9FFF;
};
