#pragma once
#include "cartridge/mbc.h"

// MBC1: a 5-bit low bank register, a 2-bit high register that selects either
// the upper ROM bits or the RAM bank, and a mode bit that decides whether the
// high register also applies to 0000-3FFF and the RAM.
class MBC1 : public MemoryBankController {
public:
    void init(u8* rom, int rom_size, u8* ram, int ram_size) override;
    u8 read_byte_rom0(u16 address) override { return rom_windows[0][address & 0x3FFF]; }
    u8 read_byte_rom1(u16 address) override { return rom_windows[1][address & 0x3FFF]; }
    u8 read_byte_sram(u16 address) override;
    void write_byte(u16 address, u8 value, u64 cycle) override;
    int get_mapped_address_rom(u16 address) override;
    int get_mapped_address_ram(u16 address) override { return ram_bank * 0x2000 + address - 0xA000; }
    int get_rom_bank() override { return rom_bank; }
    int get_ram_bank() override { return ram_bank; }
    void update() override;
    virtual void update_pointers();

    // Only the registers are stored; banks and windows follow from them when
    // init runs on the restored controller.
    template <class Archive>
    void serialize(Archive& ar) {
        ar(mode, ram_enabled, bank1, bank2);
    }

    int mode = 0;
    bool ram_enabled = false;
    int bank1 = 1;
    int bank2 = 0;
    int rom0_bank = 0;
    int rom_bank = 0;
    int ram_bank = 0;
    int rom_mask = 0;
    int ram_mask = 0;
    int rom_size = 0;
    int ram_size = 0;
    u16 ram_end = 0x9FFF;
    u8* ram_window = nullptr;
    u8* rom = nullptr;
    u8* ram = nullptr;
};
