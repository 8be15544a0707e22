// Inspection tools for a debugging front end: pictures of the tile data, the
// tile maps, the sprites and the LCD with overlays, a text view of the
// background map, PPM screenshots, the picture-memory dump and the log of
// register writes it carries. None of them changes the emulation.
//
// Every input a caller gives is clipped or masked: no call reads outside
// video memory or writes outside its image.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <iostream>

#include "core/gb.h"
#include "video/ppu.h"
#include "video/tile_data.h"

namespace {

constexpr u32 TRANSPARENT = 0;
constexpr u32 GRID_GREY = PPU::map_rgba(160, 160, 160, 128);
constexpr u32 ZOOM_GRID_GREY = PPU::map_rgba(96, 96, 96, 128);
constexpr u32 OPAQUE_BLACK = PPU::map_rgba(0, 0, 0, 255);
constexpr u32 OPAQUE_WHITE = PPU::map_rgba(255, 255, 255, 255);
constexpr u32 OPAQUE_RED = PPU::map_rgba(255, 0, 0, 255);
constexpr u32 OBJECT_RED = PPU::map_rgba(255, 0, 0, 96);
constexpr u32 OBJECT_GREEN = PPU::map_rgba(0, 255, 0, 96);

constexpr int TILES_PER_BANK = 384;
constexpr int TILE_BYTES = 16;
constexpr u16 BANK_MASK = 0x1FFF;
constexpr int ZOOM_CELL = 16;
constexpr int ZOOM_CELLS = PPU::LCD_ZOOM_SIZE / ZOOM_CELL;  // 17, the centre one is 8

// "P6 160 144 255 ": magic, width, height and maximum value, each followed by
// one blank.
constexpr char PPM_HEADER[] = "P6 160 144 255 ";
constexpr u8 DUMP_LOG_END = 0xFF;
// A write after this cycle of its line is dumped with the next line.
constexpr int DUMP_LINE_BUMP_CYCLE = 240;

// Clears an image and draws grid lines every `step` pixels in both
// directions, from `step` on.
void draw_grid(PPU& ppu, u32* image, int width, int height, int step, u32 colour) {
    if (!image) return;
    std::fill_n(image, size_t(width) * size_t(height), TRANSPARENT);
    for (int x = step; x < width; x += step) ppu.draw_vertical_line(x, 0, height - 1, colour, image, width, height);
    for (int y = step; y < height; y += step) ppu.draw_horizontal_line(y, 0, width - 1, colour, image, width, height);
}

// Draws the 8 pixels of a tile row into the `count` image pixels at `out`.
void put_tile_pixels(u32* out, int count, u8 low, u8 high, const std::array<u32, 4>& colours) {
    for_each_tile_pixel(0, count, 0, low, high, [&](int k, int colour) { out[k] = colours[size_t(colour)]; });
}

}  // namespace

PPU::ViewerImages& PPU::viewer_images() {
    if (!viewer) {
        viewer = std::make_unique<ViewerImages>();
        viewer->tile_data.assign(size_t(TILE_DATA_IMAGE_WIDTH) * TILE_DATA_IMAGE_HEIGHT, TRANSPARENT);
        viewer->apa_tile_data.assign(size_t(APA_IMAGE_WIDTH) * APA_IMAGE_HEIGHT, TRANSPARENT);
        viewer->tile_map.assign(size_t(TILE_MAP_IMAGE_SIZE) * TILE_MAP_IMAGE_SIZE, TRANSPARENT);
        viewer->oam.assign(size_t(OAM_IMAGE_WIDTH) * OAM_IMAGE_HEIGHT, TRANSPARENT);
        viewer->lcd_objects.assign(size_t(SCREEN_WIDTH) * SCREEN_HEIGHT, TRANSPARENT);
        viewer->lcd_zoom.assign(size_t(LCD_ZOOM_SIZE) * LCD_ZOOM_SIZE, TRANSPARENT);
    }
    return *viewer;
}

void PPU::set_pixel_format(u32 format) {
    pixel_format = format;
    // Replacing the description releases the previous one.
    pixel_format_description = gb->host ? gb->host->describe_pixel_format(format) : nullptr;
}

// ---------------------------------------------------------------------------
// Lines and grids

void PPU::draw_horizontal_line(int y, int x0, int x1, u32 colour, u32* image, int width, int height) {
    if (!image || y < 0 || y >= height) return;
    x0 = std::max(x0, 0);
    x1 = std::min(x1, width - 1);
    if (x1 < x0) return;
    std::fill_n(image + size_t(y) * size_t(width) + size_t(x0), x1 - x0 + 1, colour);
}

void PPU::draw_vertical_line(int x, int y0, int y1, u32 colour, u32* image, int width, int height) {
    if (!image || x < 0 || x >= width) return;
    y0 = std::max(y0, 0);
    y1 = std::min(y1, height - 1);
    for (int y = y0; y <= y1; ++y) image[size_t(y) * size_t(width) + size_t(x)] = colour;
}

void PPU::render_lcd_overlay(u32* image) { draw_grid(*this, image, LCD_GRID_WIDTH, LCD_GRID_HEIGHT, 4, GRID_GREY); }

void PPU::render_tile_map_grid(u32* image) {
    draw_grid(*this, image, TILE_MAP_GRID_SIZE, TILE_MAP_GRID_SIZE, 16, GRID_GREY);
}

void PPU::render_tile_data_grid(u32* image) {
    draw_grid(*this, image, TILE_DATA_GRID_WIDTH, TILE_DATA_GRID_HEIGHT, 16, GRID_GREY);
}

void PPU::render_tile_data_grid_cgb(u32* image) {
    draw_grid(*this, image, TILE_DATA_GRID_CGB_WIDTH, TILE_DATA_GRID_HEIGHT, 16, GRID_GREY);
}

// ---------------------------------------------------------------------------
// LCD overlays

void PPU::render_lcd_object_overlay_for_index(int index, bool selected) {
    if (index < 0 || index >= OAM_ENTRIES) return;
    const u8* entry = &gb->oam[size_t(4 * index)];
    if (entry[1] == 0) return;
    const int top = entry[0] - 16, left = entry[1] - 8;
    const int y0 = std::max(top, 0), y1 = std::min(top + sprite_height - 1, SCREEN_HEIGHT - 1);
    u32* image = viewer_images().lcd_objects.data();
    for (int y = y0; y <= y1; ++y)
        draw_horizontal_line(y, left, left + 7, selected ? OBJECT_RED : OBJECT_GREEN, image, SCREEN_WIDTH,
                             SCREEN_HEIGHT);
}

// Every other entry in red, the selected one in green on top.
void PPU::render_lcd_object_overlay(bool all, int selected) {
    std::fill(viewer_images().lcd_objects.begin(), viewer_images().lcd_objects.end(), TRANSPARENT);
    if (all)
        for (int i = OAM_ENTRIES - 1; i >= 0; --i)
            if (i != selected) render_lcd_object_overlay_for_index(i, true);
    if (selected >= 0 && selected < OAM_ENTRIES) render_lcd_object_overlay_for_index(selected, false);
}

// The 17 x 17 LCD pixels around (x, y), 16 image pixels each: a grid, black
// where a cell lies off the LCD, and the centre cell outlined.
void PPU::render_lcd_zoom(int x, int y) {
    x = std::clamp(x, 0, SCREEN_WIDTH - 1);
    y = std::clamp(y, 0, SCREEN_HEIGHT - 1);
    u32* image = viewer_images().lcd_zoom.data();
    const int size = LCD_ZOOM_SIZE;
    std::fill_n(image, size_t(size) * size, TRANSPARENT);
    for (int k = ZOOM_CELL; k < size; k += ZOOM_CELL) {
        draw_vertical_line(k, 0, size - 1, ZOOM_GRID_GREY, image, size, size);
        draw_horizontal_line(k, 0, size - 1, ZOOM_GRID_GREY, image, size, size);
    }
    const int centre = ZOOM_CELLS / 2;
    for (int cell = 0; cell < ZOOM_CELLS; ++cell) {
        const int lcd_x = x - centre + cell, lcd_y = y - centre + cell;
        const int from = cell * ZOOM_CELL, to = from + ZOOM_CELL - 1;
        if (lcd_x < 0 || lcd_x >= SCREEN_WIDTH)
            for (int c = from; c <= to; ++c) draw_vertical_line(c, 0, size - 1, OPAQUE_BLACK, image, size, size);
        if (lcd_y < 0 || lcd_y >= SCREEN_HEIGHT)
            for (int r = from; r <= to; ++r) draw_horizontal_line(r, 0, size - 1, OPAQUE_BLACK, image, size, size);
    }
    const int c0 = centre * ZOOM_CELL, c1 = c0 + ZOOM_CELL - 1;
    for (int inset = 0; inset < 2; ++inset) {
        const u32 colour = inset == 0 ? OPAQUE_WHITE : OPAQUE_RED;
        const int a = c0 + inset, b = c1 - inset;
        draw_horizontal_line(a, a, b, colour, image, size, size);
        draw_horizontal_line(b, a, b, colour, image, size, size);
        draw_vertical_line(a, a, b, colour, image, size, size);
        draw_vertical_line(b, a, b, colour, image, size, size);
    }
}

// ---------------------------------------------------------------------------
// Tile rows

// Where a pointer lies in video memory (bank 1 from 0x2000), or -1 when it
// points elsewhere: tile data outside it is never read.
int PPU::vram_offset(const u8* pointer) const {
    const auto start = reinterpret_cast<std::uintptr_t>(gb->vram.data());
    const auto p = reinterpret_cast<std::uintptr_t>(pointer);
    return pointer && p >= start && p < start + gb->vram.size() ? int(p - start) : -1;
}

u32 PPU::tile_use_mark(int bank, int slot) const {
    slot %= TILES_PER_BANK;
    return gb->is_cgb ? tile_usage_cgb[size_t((bank & 1) * TILES_PER_BANK + slot)] : tile_usage_dmg[size_t(slot)];
}

std::array<u32, 4> PPU::dmg_viewer_colours(int palette_mode, u32 use_mark) const {
    if (palette_mode == PALETTE_BY_USE) {
        palette_mode = use_mark == TILE_USED_BG     ? PALETTE_BGP
                       : use_mark == TILE_USED_OBP0 ? PALETTE_OBP0
                       : use_mark == TILE_USED_OBP1 ? PALETTE_OBP1
                                                    : PALETTE_RAMP;
    }
    std::array<u32, 4> colours{};
    for (int c = 0; c < 4; ++c) {
        int entry = c;
        switch (palette_mode) {
            case PALETTE_BGP: entry = (bgp >> (2 * c)) & 3; break;
            case PALETTE_OBP0: entry = (obp0 >> (2 * c)) & 3; break;
            case PALETTE_OBP1: entry = (obp1 >> (2 * c)) & 3; break;
            case PALETTE_REVERSED_RAMP: entry = 3 - c; break;
            default: break;
        }
        colours[size_t(c)] = mapped_colors[size_t(entry)];
    }
    return colours;
}

std::array<u32, 4> PPU::cgb_viewer_colours(int palette, u8 attributes, u32 use_mark) const {
    if (palette == CGB_PALETTE_FROM_ATTRIBUTES) palette = attributes & ATTR_CGB_PALETTE;
    if (palette == PALETTE_BY_USE) {
        palette = use_mark == TILE_USED_BG     ? 0
                  : use_mark == TILE_USED_OBP0 ? 8
                  : use_mark == TILE_USED_OBP1 ? 9
                                               : CGB_PALETTE_GREY;
    }
    std::array<u32, 4> colours{};
    for (int c = 0; c < 4; ++c) {
        if (palette >= 0 && palette < 8)
            colours[size_t(c)] = get_cgb_bg_pal_color(palette, c);
        else if (palette >= 8 && palette < 16)
            colours[size_t(c)] = get_cgb_obj_pal_color(palette - 8, c);
        else
            colours[size_t(c)] = mapped_colors[size_t(64 + c)];
    }
    return colours;
}

void PPU::render_tile_row(int row, int width, const u8* tile_data, const u8* tile_numbers, int signed_numbers,
                          int palette_mode, u32* image, int image_width, int image_height) {
    const int offset = vram_offset(tile_data);
    if (offset < 0 || !image || !tile_numbers || row < 0 || row >= image_height) return;
    const int bank = offset >> 13;
    const int pixels = std::min(width, image_width);
    u32* out = image + size_t(row) * size_t(image_width);
    for (int t = 0; 8 * t < pixels; ++t) {
        const u8 number = tile_numbers[t];
        const int tile = signed_numbers ? int(i8(number)) : int(number);
        const int address = (offset + tile * TILE_BYTES + (row & 7) * 2) & BANK_MASK;
        const u8 low = gb->vram_banked_read_byte(u16(address), bank);
        const u8 high = gb->vram_banked_read_byte(u16(address + 1), bank);
        const auto colours = dmg_viewer_colours(palette_mode, tile_use_mark(bank, address >> 4));
        put_tile_pixels(out + 8 * t, std::min(8, pixels - 8 * t), low, high, colours);
    }
}

void PPU::render_tile_row_cgb(int row, int width, const u8* tile_data, const u8* tile_numbers,
                              const u8* tile_attributes, int signed_numbers, int palette, u32* image,
                              int image_width, int image_height) {
    const int offset = vram_offset(tile_data);
    if (offset < 0) return;
    render_tile_row_cgb_tile_data_addr(row, width, u16(0x8000 + (offset & BANK_MASK)), offset >> 13, tile_numbers,
                                       tile_attributes, signed_numbers, palette, image, image_width, image_height);
}

// Without attributes every tile comes from `bank`; with them each tile's
// attribute byte gives its bank and flips.
void PPU::render_tile_row_cgb_tile_data_addr(int row, int width, u16 tile_data_address, int bank,
                                             const u8* tile_numbers, const u8* tile_attributes, int signed_numbers,
                                             int palette, u32* image, int image_width, int image_height) {
    if (!image || !tile_numbers || row < 0 || row >= image_height) return;
    const int pixels = std::min(width, image_width);
    u32* out = image + size_t(row) * size_t(image_width);
    for (int t = 0; 8 * t < pixels; ++t) {
        const u8 attributes = tile_attributes ? tile_attributes[t] : 0;
        const int tile_bank = tile_attributes ? ((attributes & ATTR_VRAM_BANK) ? 1 : 0) : (bank & 1);
        const int tile = signed_numbers ? int(i8(tile_numbers[t])) : int(tile_numbers[t]);
        const int tile_row = (attributes & ATTR_Y_FLIP) ? 7 - (row & 7) : (row & 7);
        const int address = (tile_data_address + tile * TILE_BYTES + tile_row * 2) & BANK_MASK;
        u8 low = gb->vram_banked_read_byte(u16(address), tile_bank);
        u8 high = gb->vram_banked_read_byte(u16(address + 1), tile_bank);
        if (attributes & ATTR_X_FLIP) {
            low = REVERSED_BITS[low];
            high = REVERSED_BITS[high];
        }
        const auto colours = cgb_viewer_colours(palette, attributes, tile_use_mark(tile_bank, address >> 4));
        put_tile_pixels(out + 8 * t, std::min(8, pixels - 8 * t), low, high, colours);
    }
}

u32 PPU::get_cgb_pal_color(int palette, int colour) const { return get_cgb_bg_pal_color(palette, colour); }

u32 PPU::get_cgb_bg_pal_color(int palette, int colour) const {
    const size_t i = size_t(8 * (palette & 7) + 2 * (colour & 3));
    return map_cgb_colour(u16(bg_palette_ram[i] | bg_palette_ram[i + 1] << 8));
}

u32 PPU::get_cgb_obj_pal_color(int palette, int colour) const {
    const size_t i = size_t(8 * (palette & 7) + 2 * (colour & 3));
    return map_cgb_colour(u16(obj_palette_ram[i] | obj_palette_ram[i + 1] << 8));
}

// ---------------------------------------------------------------------------
// Tile data, tile map and OAM pictures

// 16 tiles a row, 24 rows: bank 0 on the left, on CGB class bank 1 beside it.
void PPU::render_tile_data(int palette_mode) {
    std::vector<u32>& image = viewer_images().tile_data;
    std::fill(image.begin(), image.end(), TRANSPARENT);
    std::array<u8, 16> numbers{};
    for (int i = 0; i < 16; ++i) numbers[size_t(i)] = u8(i);
    const int banks = gb->is_cgb ? 2 : 1;
    for (int bank = 0; bank < banks; ++bank) {
        u32* bank_image = image.data() + bank * TILE_DATA_BANK_WIDTH;
        for (int row = 0; row < TILE_DATA_IMAGE_HEIGHT; ++row) {
            const int first_tile = (row / 8) * 16;
            if (gb->is_cgb)
                render_tile_row_cgb_tile_data_addr(row, TILE_DATA_BANK_WIDTH, u16(0x8000 + first_tile * TILE_BYTES),
                                                   bank, numbers.data(), nullptr, 0, palette_mode, bank_image,
                                                   TILE_DATA_IMAGE_WIDTH, TILE_DATA_IMAGE_HEIGHT);
            else
                render_tile_row(row, TILE_DATA_BANK_WIDTH, &gb->vram[size_t(first_tile * TILE_BYTES)], numbers.data(),
                                0, palette_mode, bank_image, TILE_DATA_IMAGE_WIDTH, TILE_DATA_IMAGE_HEIGHT);
        }
    }
}

// Tiles 0-239, 20 to a row, as the current tile data area numbers them.
void PPU::render_apa_tile_data(int palette_mode) {
    std::vector<u32>& image = viewer_images().apa_tile_data;
    const u8* base = &gb->vram[tile_data_select ? 0x0000 : 0x1000];
    constexpr int TILES_PER_ROW = APA_IMAGE_WIDTH / 8;
    std::array<u8, TILES_PER_ROW> numbers{};
    for (int row = 0; row < APA_IMAGE_HEIGHT; ++row) {
        for (int i = 0; i < TILES_PER_ROW; ++i) numbers[size_t(i)] = u8((row / 8) * TILES_PER_ROW + i);
        render_tile_row(row, APA_IMAGE_WIDTH, base, numbers.data(), !tile_data_select, palette_mode, image.data(),
                        APA_IMAGE_WIDTH, APA_IMAGE_HEIGHT);
    }
}

// The map base is masked to 0x9800 or 0x9C00; a data base of 0x8000 numbers
// tiles unsigned from there, any other signed around 0x9000.
void PPU::render_tile_map(u16 map_base, u16 data_base) {
    map_base = (map_base & 0x0400) ? 0x9C00 : 0x9800;
    const bool unsigned_tiles = (data_base & 0x1800) == 0;
    data_base = unsigned_tiles ? 0x8000 : 0x9000;
    tile_map_viewer_map_base = map_base;
    tile_map_viewer_data_base = data_base;

    std::vector<u32>& image = viewer_images().tile_map;
    const int size = TILE_MAP_IMAGE_SIZE;
    const bool cgb_mode = gb->is_cgb && gb->key0 != KEY0_DMG_COMPAT;
    for (int row = 0; row < size; ++row) {
        const size_t map_row = size_t((map_base & BANK_MASK) + (row / 8) * 32);
        const u8* numbers = &gb->vram[map_row];
        if (cgb_mode)
            render_tile_row_cgb_tile_data_addr(row, size, data_base, 0, numbers, &gb->vram[0x2000 + map_row],
                                               !unsigned_tiles, CGB_PALETTE_FROM_ATTRIBUTES, image.data(), size, size);
        else
            render_tile_row(row, size, &gb->vram[data_base & BANK_MASK], numbers, !unsigned_tiles, PALETTE_BGP,
                            image.data(), size, size);
    }

    // The visible area, wrapping at the map's edges: the scroll registers as
    // they stood in the middle of the last frame, or as they are with the
    // LCD off.
    const int left = lcd_enabled ? map_snapshot_lcdc[1] : scx;
    const int top = lcd_enabled ? map_snapshot_lcdc[2] : scy;
    const int right = left + SCREEN_WIDTH - 1, bottom = top + SCREEN_HEIGHT - 1;
    for (int y : {top, bottom % size}) {
        draw_horizontal_line(y, left, right, OPAQUE_RED, image.data(), size, size);
        draw_horizontal_line(y, 0, right - size, OPAQUE_RED, image.data(), size, size);
    }
    for (int x : {left, right % size}) {
        draw_vertical_line(x, top, bottom, OPAQUE_RED, image.data(), size, size);
        draw_vertical_line(x, 0, bottom - size, OPAQUE_RED, image.data(), size, size);
    }
}

// Each OAM entry's tile pair as an 8 x 16 block, the 40 blocks one below the
// other, in the colours the entry is shown with.
void PPU::debug_render_oam() {
    std::vector<u32>& image = viewer_images().oam;
    const bool cgb_mode = gb->is_cgb && gb->key0 != KEY0_DMG_COMPAT;
    for (int i = 0; i < OAM_ENTRIES; ++i) {
        const u8 first = sprite_height == 16 ? u8(gb->oam[size_t(4 * i + 2)] & 0xFE) : gb->oam[size_t(4 * i + 2)];
        const u8 attributes = gb->oam[size_t(4 * i + 3)];
        for (int r = 0; r < 16; ++r) {
            const u8 tile = u8(first + r / 8);
            const int row = 16 * i + r;
            if (cgb_mode)
                render_tile_row_cgb_tile_data_addr(row, OAM_IMAGE_WIDTH, 0x8000, (attributes & ATTR_VRAM_BANK) ? 1 : 0,
                                                   &tile, nullptr, 0, 8 + (attributes & ATTR_CGB_PALETTE),
                                                   image.data(), OAM_IMAGE_WIDTH, OAM_IMAGE_HEIGHT);
            else
                render_tile_row(row, OAM_IMAGE_WIDTH, gb->vram.data(), &tile, 0,
                                (attributes & ATTR_DMG_PALETTE) ? PALETTE_OBP1 : PALETTE_OBP0, image.data(),
                                OAM_IMAGE_WIDTH, OAM_IMAGE_HEIGHT);
        }
    }
}

// ---------------------------------------------------------------------------
// Text views

void PPU::render_ascii() {
    const size_t map = (lcdc & 0x08) ? 0x1C00 : 0x1800;
    for (int row = 0; row < 18; ++row) {
        std::string text(20, ' ');
        for (int column = 0; column < 20; ++column) {
            const u8 tile = gb->vram[map + size_t((((scy >> 3) + row) & 31) * 32 + (((scx >> 3) + column) & 31))];
            if (tile >= 0x20 && tile <= 0x7F) text[size_t(column)] = char(tile);
        }
        std::cout << text << std::endl;
    }
}

std::string PPU::get_state_string() const {
    struct Name {
        int id;
        const char* name;
    };
    // The entry steps and their twins; the other steps by their place in the line.
    static constexpr Name NAMES[] = {
        {STATE_LINE_1_143_CLOCKS_0_TWIN, "LINE_1_143_CLOCKS_0"},
        {STATE_LINE_144_CLOCKS_4_TWIN, "LINE_144_CLOCKS_4"},
        {STATE_LINE_145_152_CLOCKS_0_TWIN, "LINE_145_152_CLOCKS_0"},
        {STATE_LINE_145_152_CLOCKS_4_TWIN, "LINE_145_152_CLOCKS_4"},
        {STATE_LINE_EARLY_0_MODE_1_LYC_0_TWIN, "LINE_EARLY_0_MODE_1_LYC_0"},
        {STATE_ON_LINE_0_CLOCKS_80, "ON_LINE_0_CLOCKS_80"},
        {STATE_ON_LINE_0_CLOCKS_81, "ON_LINE_0_CLOCKS_81"},
        {STATE_ON_LINE_0_MODE_3_END, "ON_LINE_0_MODE_3_END"},
        {STATE_ON_LINE_0_HBLANK_STAT, "ON_LINE_0_HBLANK_STAT"},
        {STATE_ON_LINE_0_HBLANK_CGB, "ON_LINE_0_HBLANK_CGB"},
        {STATE_ON_LINE_0_HBLANK_CGB_DOUBLE, "ON_LINE_0_HBLANK_CGB_DOUBLE"},
        {STATE_LINE_0_CLOCKS_2, "LINE_0_CLOCKS_2"},
        {STATE_LINE_0_CLOCKS_4, "LINE_0_CLOCKS_4"},
        {STATE_LINE_0_CLOCKS_8, "LINE_0_CLOCKS_8"},
        {STATE_LINE_0_CLOCKS_79, "LINE_0_CLOCKS_79"},
        {STATE_LINE_0_CLOCKS_81, "LINE_0_CLOCKS_81"},
        {STATE_LINE_0_CLOCKS_82, "LINE_0_CLOCKS_82"},
        {STATE_LINE_0_MODE_3_END_MINUS_2, "LINE_0_MODE_3_END_MINUS_2"},
        {STATE_LINE_0_MODE_3_END_MINUS_1, "LINE_0_MODE_3_END_MINUS_1"},
        {STATE_LINE_0_MODE_3_END, "LINE_0_MODE_3_END"},
        {STATE_LINE_0_HBLANK_STAT, "LINE_0_HBLANK_STAT"},
        {STATE_LINE_1_143_CLOCKS_2, "LINE_1_143_CLOCKS_2"},
        {STATE_LINE_1_143_CLOCKS_4, "LINE_1_143_CLOCKS_4"},
        {STATE_LINE_1_143_CLOCKS_80, "LINE_1_143_CLOCKS_80"},
        {STATE_LINE_1_143_CLOCKS_81, "LINE_1_143_CLOCKS_81"},
        {STATE_LINE_1_143_CLOCKS_82, "LINE_1_143_CLOCKS_82"},
        {STATE_LINE_1_143_MODE_3_END_MINUS_2, "LINE_1_143_MODE_3_END_MINUS_2"},
        {STATE_LINE_1_143_MODE_3_END_MINUS_1, "LINE_1_143_MODE_3_END_MINUS_1"},
        {STATE_LINE_1_143_MODE_3_END, "LINE_1_143_MODE_3_END"},
        {STATE_LINE_1_143_HBLANK_STAT, "LINE_1_143_HBLANK_STAT"},
        {STATE_LINE_144_CLOCKS_0, "LINE_144_CLOCKS_0"},
        {STATE_LINE_144_CLOCKS_2, "LINE_144_CLOCKS_2"},
        {STATE_LINE_153_CLOCKS_0, "LINE_153_CLOCKS_0"},
        {STATE_LINE_153_CLOCKS_2, "LINE_153_CLOCKS_2"},
        {STATE_LINE_153_CLOCKS_4, "LINE_153_CLOCKS_4"},
        {STATE_LINE_153_CLOCKS_6, "LINE_153_CLOCKS_6"},
        {STATE_LINE_153_CLOCKS_8, "LINE_153_CLOCKS_8"},
    };
    if (state >= 0 && state < 7) return SCREEN_STATE_STRINGS[state];
    for (const Name& n : NAMES)
        if (n.id == state) return n.name;
    return "STATE_" + std::to_string(state);
}

// ---------------------------------------------------------------------------
// Files

bool PPU::write_screenshot(const std::string& path) {
    std::vector<u8> bytes(PPM_HEADER, PPM_HEADER + sizeof PPM_HEADER - 1);
    bytes.reserve(bytes.size() + frame_buffer.size() * 3);
    for (const u32 pixel : frame_buffer) {
        bytes.push_back(u8(pixel >> 16));
        bytes.push_back(u8(pixel >> 8));
        bytes.push_back(u8(pixel));
    }
    return gb->cartridge.write_file_replacing(path, bytes.data(), bytes.size(), "screenshot");
}

std::vector<u8> PPU::vram_dump() const {
    const size_t vram_size = gb->is_cgb ? 0x4000 : 0x2000;
    std::vector<u8> bytes(gb->vram.begin(), gb->vram.begin() + std::ptrdiff_t(vram_size));
    bytes.insert(bytes.end(), gb->oam.begin(), gb->oam.begin() + 160);
    for (const u8 value : {lcdc, scy, scx, bgp, obp0, obp1, wy, wx}) bytes.push_back(value);
    for (const RegisterWriteLogEntry& entry : register_write_log) {
        bytes.push_back(u8(entry.line + (entry.cycle > DUMP_LINE_BUMP_CYCLE ? 1 : 0)));
        bytes.push_back(u8(entry.register_address));
        bytes.push_back(entry.new_value);
    }
    bytes.push_back(DUMP_LOG_END);
    return bytes;
}

bool PPU::dump_vram() {
    const std::vector<u8> bytes = vram_dump();
    return gb->cartridge.write_file_replacing("ppu.bin", bytes.data(), bytes.size(), "picture-memory dump");
}
