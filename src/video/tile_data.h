#pragma once
// How the picture unit reads tiles: the tile data address of a tile row, the
// bits of the CGB background and sprite attribute bytes, and the bit
// reversal that flips a tile row horizontally.
#include <array>

#include "core/types.h"

inline constexpr u8 ATTR_CGB_PALETTE = 0x07;
inline constexpr u8 ATTR_VRAM_BANK = 0x08;
inline constexpr u8 ATTR_DMG_PALETTE = 0x10;
inline constexpr u8 ATTR_X_FLIP = 0x20;
inline constexpr u8 ATTR_Y_FLIP = 0x40;
inline constexpr u8 ATTR_PRIORITY = 0x80;

// Tile data address of a tile's row: 0x8000 + tile * 16 with unsigned tile
// numbers, or 0x9000 + tile * 16 with signed ones.
inline u16 tile_row_address(bool unsigned_tiles, u8 tile, int row) {
    const int base = unsigned_tiles ? 0x8000 + tile * 16 : 0x9000 + i8(tile) * 16;
    return u16(base + row * 2);
}

// The colour number (0-3) of pixel `column` (0 = leftmost) of a tile row.
inline int tile_pixel(u8 low, u8 high, int column) {
    const int bit = 7 - column;
    return ((high >> bit) & 1) << 1 | ((low >> bit) & 1);
}

constexpr std::array<u8, 256> make_reversed_bits() {
    std::array<u8, 256> table{};
    for (int v = 0; v < 256; ++v) {
        u8 r = 0;
        for (int b = 0; b < 8; ++b)
            if (v & (1 << b)) r |= u8(0x80 >> b);
        table[v] = r;
    }
    return table;
}
inline constexpr std::array<u8, 256> REVERSED_BITS = make_reversed_bits();
