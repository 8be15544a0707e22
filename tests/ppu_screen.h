#pragma once
// Test support for the picture: a machine whose tiles, maps, sprites and
// palettes a test lays out while the LCD is off, which then switches the LCD
// on and runs whole frames, and reads the result back from the frame buffer.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "test_machine.h"

class Screen {
public:
    static constexpr u8 LCDC_ON = 0x80;
    static constexpr u8 WINDOW_MAP_9C00 = 0x40;
    static constexpr u8 WINDOW_ON = 0x20;

    static constexpr u8 OBJ_OBP1 = 0x10;

    // `colour_cartridge` sets the header's CGB flag; a CGB model runs a
    // cartridge without it in DMG-compatibility mode.
    explicit Screen(const std::string& model, bool colour_cartridge = false)
        : m(RomImage().cgb_flag(colour_cartridge ? 0x80 : 0x00), model), gb(*m.gb) {
        write(REG_LCDC, 0x00);  // the machine starts in vertical blank
        gb.vram.fill(0);
        gb.oam.fill(0);
        write(REG_BGP, 0xE4);
        write(REG_OBP0, 0xE4);
        write(REG_OBP1, 0xE4);
    }

    void write(u16 address, u8 value) { gb.write_byte(address, value); }
    u8 read(u16 address) { return gb.read_byte(address); }

    // One tile row per string, one colour digit (0-3) per pixel, left first.
    void tile(int index, const std::array<const char*, 8>& rows) {
        for (int r = 0; r < 8; ++r) {
            u8 low = 0, high = 0;
            for (int c = 0; c < 8; ++c) {
                const int colour = rows[r][c] - '0';
                low = u8(low | ((colour & 1) << (7 - c)));
                high = u8(high | (((colour >> 1) & 1) << (7 - c)));
            }
            gb.vram[size_t(16 * index + 2 * r)] = low;
            gb.vram[size_t(16 * index + 2 * r + 1)] = high;
        }
    }
    void solid_tile(int index, int colour) {
        const std::string row(8, char('0' + colour));
        tile(index, {row.c_str(), row.c_str(), row.c_str(), row.c_str(), row.c_str(), row.c_str(), row.c_str(),
                     row.c_str()});
    }
    void fill_map(u16 base, u8 tile_number) {
        for (int i = 0; i < 1024; ++i) gb.vram[size_t((base & 0x1FFF) + i)] = tile_number;
    }
    // OAM entry: Y is the screen row + 16, X the screen column + 8.
    void sprite(int index, int y, int x, u8 tile_number, u8 attributes_byte = 0) {
        gb.oam[4 * index] = u8(y);
        gb.oam[4 * index + 1] = u8(x);
        gb.oam[4 * index + 2] = tile_number;
        gb.oam[4 * index + 3] = attributes_byte;
    }
    // CGB background palette memory through its ports, a 15-bit BGR colour.
    void bg_colour(int palette, int colour, u16 bgr) { palette_write(REG_BCPS, REG_BCPD, palette, colour, bgr); }
    void obj_colour(int palette, int colour, u16 bgr) { palette_write(REG_OCPS, REG_OCPD, palette, colour, bgr); }

    void run(int cycles) {
        for (int i = 0; i < cycles; ++i) gb.cpu.t_cycle_4mhz();
    }
    int ly() { return read(REG_LY); }
    // Runs until LY turns to `line`; the clock then stands near that line's start.
    void run_to_line(int line) {
        for (int guard = 0; ly() == line; ++guard) {
            ASSERT_LT(guard, 2 * PPU::FRAME_CYCLES);
            run(1);
        }
        for (int guard = 0; ly() != line; ++guard) {
            ASSERT_LT(guard, 2 * PPU::FRAME_CYCLES);
            run(1);
        }
    }
    // Runs until the last visible line of the current frame is complete.
    void finish_frame() {
        gb.ppu.frame_done = false;
        for (int guard = 0; !gb.ppu.frame_done; ++guard) {
            ASSERT_LT(guard, 2 * PPU::FRAME_CYCLES);
            run(1);
        }
    }
    // Switches the LCD on and runs to the end of the second frame: the first
    // frame after switching on is shown blank.
    void show(u8 lcdc) {
        write(REG_LCDC, u8(lcdc | LCDC_ON));
        finish_frame();
        finish_frame();
    }

    u32 pixel(int x, int y) const { return gb.ppu.frame_buffer[size_t(y) * PPU::SCREEN_WIDTH + size_t(x)]; }
    // The shade (0 lightest - 3 darkest) of a background pixel: a DMG grey,
    // or on a CGB in DMG-compatibility mode the colour of that shade in BG
    // palette 0; '?' if it is none.
    char shade(int x, int y) const {
        const int first = gb.is_dmg ? 64 : 0;
        for (int s = 0; s < 4; ++s)
            if (pixel(x, y) == gb.ppu.mapped_colors[first + s]) return char('0' + s);
        return '?';
    }
    std::string shades(int y, int x0 = 0, int count = PPU::SCREEN_WIDTH) const {
        std::string out;
        for (int x = x0; x < x0 + count; ++x) out += shade(x, y);
        return out;
    }

    TestMachine m;
    GB& gb;

private:
    void palette_write(u16 index_port, u16 data_port, int palette, int colour, u16 bgr) {
        write(index_port, u8(palette * 8 + colour * 2));
        write(data_port, u8(bgr));
        write(index_port, u8(palette * 8 + colour * 2 + 1));
        write(data_port, u8(bgr >> 8));
    }
};
