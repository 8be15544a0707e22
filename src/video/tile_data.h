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

// Calls put(p, colour number) for line entries p = from .. to - 1 of a tile
// row whose leftmost pixel lies at entry `position` (from >= position).
template <class Put>
inline void for_each_tile_pixel(int from, int to, int position, u8 low, u8 high, Put&& put) {
    if (from == position && to == position + 8) {
        // A whole tile: a fixed loop the compiler unrolls.
        for (int k = 0; k < 8; ++k) put(position + k, ((high >> (7 - k)) & 1) << 1 | ((low >> (7 - k)) & 1));
        return;
    }
    unsigned l = unsigned(low) << (from - position), h = unsigned(high) << (from - position);
    for (int p = from; p < to; ++p, l <<= 1, h <<= 1) put(p, int(((h >> 6) & 2) | ((l >> 7) & 1)));
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

// A byte's bits spread to the even bit positions (bit i to bit 2i), to
// interleave the two bit planes of a tile row.
constexpr std::array<u16, 256> make_spread_bits() {
    std::array<u16, 256> table{};
    for (int v = 0; v < 256; ++v) {
        u16 r = 0;
        for (int b = 0; b < 8; ++b)
            if (v & (1 << b)) r |= u16(1 << (2 * b));
        table[v] = r;
    }
    return table;
}
inline constexpr std::array<u16, 256> SPREAD_BITS = make_spread_bits();
