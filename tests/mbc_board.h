#pragma once
// A bank controller wired to a ROM whose every 16-bit little-endian word holds
// the number of its 16 KiB bank and a RAM whose every byte holds 0x80 plus
// the number of its 8 KiB bank, so a read tells which bank a window shows.
// The cartridge type byte goes into the header for controllers that read it.
#include <vector>

#include "cartridge/cartridge.h"
#include "core/types.h"

inline constexpr int KiB = 1024;
inline constexpr int MiB = 1024 * KiB;

template <class T>
struct Board {
    Board(int rom_size, int ram_size, u8 type = 0x00) : rom(rom_size), ram(ram_size) {
        for (int i = 0; i < rom_size; ++i) rom[i] = u8((i / 0x4000) >> (i & 1 ? 8 : 0));
        for (int i = 0; i < ram_size; ++i) ram[i] = u8(0x80 + i / 0x2000);
        rom[HEADER_TYPE] = type;
        mbc.init(rom.data(), rom_size, ram_size ? ram.data() : nullptr, ram_size);
    }
    void write(u16 address, u8 value, u64 cycle = 0) { mbc.write_byte(address, value, cycle); }
    u8 read(u16 address) {
        if (address < 0x4000) return mbc.read_byte_rom0(address);
        if (address < 0x8000) return mbc.read_byte_rom1(address);
        return mbc.read_byte_sram(address);
    }
    // The ROM bank shown at an even address of 0000-7FFF.
    int bank_at(u16 address) { return read(address) | read(u16(address + 1)) << 8; }
    std::vector<u8> rom;
    std::vector<u8> ram;
    T mbc;
};
