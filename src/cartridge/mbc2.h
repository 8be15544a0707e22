#pragma once
#include "cartridge/mbc.h"

// MBC2: a 4-bit ROM bank register and 512 four-bit RAM cells inside the
// controller. The chip decodes only address bit 8 to tell its two registers
// apart and only the low nine address bits in the RAM window, so the cells
// repeat every 0x200 bytes across A000-BFFF.
class MBC2 : public MemoryBankController {
public:
    void init(u8* rom, int rom_size, u8* ram, int ram_size) override;
    u8 read_byte_rom0(u16 address) override { return rom[address & 0x3FFF]; }
    u8 read_byte_rom1(u16 address) override { return rom_windows[1][address & 0x3FFF]; }
    u8 read_byte_sram(u16 address) override;
    void write_byte(u16 address, u8 value, u64 cycle) override;
    int get_mapped_address_rom(u16 address) override;
    int get_mapped_address_ram(u16 address) override { return address - 0xA000; }
    int get_rom_bank() override { return rom_bank; }
    int get_ram_bank() override { return 0; }
    void update() override { update_pointers(); }
    virtual void update_pointers();

    template <class Archive>
    void serialize(Archive& ar) {
        ar(ram_enabled, rom_bank);
    }

    int ram_enabled = 0;
    int rom_bank = 1;
    int rom_mask = 0;
    u8* rom = nullptr;
    int rom_size = 0;
    u8* ram = nullptr;
    int ram_size = 0;

private:
    // The cell an address of A000-BFFF reaches, or -1 when the buffer is
    // shorter than the 512 cells.
    int cell(u16 address) const;
};
