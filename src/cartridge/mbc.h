#pragma once
#include <array>

#include "core/types.h"

// The cartridge's address decoder: maps the CPU's ROM window 0000-7FFF and RAM
// window A000-BFFF onto the ROM and RAM buffers, and turns writes to the ROM
// area into bank register commands.
//
// Every controller keeps three windows (the start of the bank shown in each
// CPU window) so that a read is one indexed load with the masked address.
// The ROM buffer handed to init is always at least 32 KiB long.
class MemoryBankController {
public:
    virtual ~MemoryBankController() = default;
    virtual void init(u8* rom, int rom_size, u8* ram, int ram_size) = 0;
    virtual u8 read_byte_rom0(u16 address) = 0;
    virtual u8 read_byte_rom1(u16 address) = 0;
    virtual u8 read_byte_sram(u16 address) = 0;
    virtual void write_byte(u16 address, u8 value, u64 cycle) = 0;
    virtual int get_mapped_address_rom(u16 address) = 0;
    virtual int get_mapped_address_ram(u16 address) = 0;
    virtual int get_rom_bank() = 0;
    virtual int get_ram_bank() = 0;
    virtual void update() = 0;

    // The start of the ROM bank each half of 0000-7FFF shows (indexed by the
    // address masked to 0x3FFF), kept up to date by the controller as its
    // banks change, so that the bus can read ROM without a call. Null where
    // every read must go through read_byte_rom0 / read_byte_rom1.
    std::array<const u8*, 2> rom_windows{};
};

namespace mbc_layout {
// Bank numbers that exist for a ROM of this size (a power of two >= 32 KiB).
constexpr int rom_mask(int rom_size) { return rom_size / 0x4000 - 1; }
// Bank numbers that exist for a RAM of this size. RAM smaller than one 8 KiB
// bank has only bank 0.
constexpr int ram_mask(int ram_size) { return ram_size >= 0x2000 ? ram_size / 0x2000 - 1 : 0; }
// Last A000-BFFF address backed by RAM (0x9FFF when there is none).
constexpr u16 ram_end(int ram_size) { return ram_size < 0x2000 ? u16(0xA000 + ram_size - 1) : u16(0xBFFF); }
// A write of xA to 0000-1FFF enables the RAM; anything else disables it.
constexpr bool ram_enable_value(u8 value) { return (value & 0x0F) == 0x0A; }
}  // namespace mbc_layout
