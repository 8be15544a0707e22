// Line completion and frame presentation: the end of every visible line's
// mode 3 completes the line's pixels, and the end of line 143 hands the frame
// to the host, marks it done for the CPU's frame loop and, on a paced machine,
// holds the emulation to one frame per 16 ms of wall-clock time.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "core/gb.h"
#include "video/ppu.h"
#include "video/tile_data.h"

namespace {

constexpr u32 FRAME_MS = 16;
// Frames released while the machine runs to a target cycle are only drawn in
// the last two frames' worth of cycles before it.
constexpr u64 TARGET_DRAW_WINDOW = 2 * PPU::FRAME_CYCLES;

u32 wall_clock_ms() {
    using namespace std::chrono;
    return u32(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

void PPU::render_line(int line) {
    const bool skip_drawing = gb->turbo_run && gb->cpu.turbo_target_cycle - TARGET_DRAW_WINDOW >= now();
    // With the pipeline switched off a line is drawn whole, unless a register
    // write in its mode 3 has already advanced the pipeline.
    if (!use_pipeline && (!register_write_catch_up || fifo_cycle == mode_3_start_cycle)) {
        // The line takes the register values in force at the end of mode 3.
        fifo_cycle = std::max(fifo_cycle, now());
        check_delayed_updates();
        if (!skip_drawing) {
            if (gb->is_dmg)
                quick_render_line(line);
            else
                quick_render_line_cgb(line);
        } else if (window_on_line()) {
            ++window_line;  // the window still counts the line
        }
        // Nothing is left for the pipeline to do on this line.
        pixel_x = output_x = SCREEN_WIDTH;
        paint_timing_rest_of_line();
    } else {
        finish_rendering_line();
    }
    if (line == SCREEN_HEIGHT - 1) {
        if (timing_image_enabled) std::fill(timing_image.begin() + SCREEN_HEIGHT * LINE_CYCLES, timing_image.end(), map_rgb(0x53, 0xE3, 0xF1));
        // The first frame after the LCD is switched on is shown white, and so is
        // every DMG frame finished while the CPU is stopped.
        if (lcd_just_enabled || (gb->is_dmg && gb->cpu.stopped)) {
            render_turned_off();
            lcd_just_enabled = false;
        }
        if (!skip_drawing && gb->host) gb->host->update_display(frame_buffer.data());
        frame_done = true;
        // Only a machine showing its picture to a player is held to real time
        // here, and only when asked to: not headless, not in turbo, not while
        // running to a target cycle.
        if (frame_pacing && gb->host && !gb->player_turbo && !gb->turbo_run) pace_frame();
    }
    if (line == 72) map_snapshot_lcdc = {lcdc, scx, scy};
}

// ---------------------------------------------------------------------------
// Whole-line renderers. A line buffer with an 8-entry margin on the left
// (entry 8 + x is screen column x, so a sprite's OAM x indexes it directly)
// takes the background, the window and the sprites; every write to it is
// clipped to its 180 entries, and its entries 8-167 become the frame buffer's
// row. The result equals the pixel pipeline's on every line whose registers
// do not change during mode 3.

namespace {

constexpr u8 LCDC_ENABLE = 0x80;

// Background flags of the CGB line buffer: how a sprite pixel meets the
// background there.
constexpr u8 BG_COLOUR_0 = 1;        // the sprite always shows
constexpr u8 BG_PRIORITY_TILE = 2;   // a tile with the priority attribute, colour 1-3
constexpr u8 BG_OPAQUE = 0;          // colour 1-3 without it

}  // namespace

bool sortBySpritePriority_cgb_in_dmg_mode(const OamDataWithId& a, const OamDataWithId& b) {
    return a.x < b.x || (a.x == b.x && a.oam_index < b.oam_index);
}

bool sortBySpritePriority_cgb(const OamDataWithId& a, const OamDataWithId& b) { return a.oam_index < b.oam_index; }

// The window counts the line wherever WX meets one of its pixels, also where
// (DMG, WX = 166) that comes too late to draw any of it.
bool PPU::window_on_line() const { return window_enabled && wy_reached && rendering_wx <= LAST_MATCHING_WX; }

// Screen column of the window's first pixel. WX = 0 starts it further left
// by the fine scroll, as the pipeline's window trigger does.
int PPU::window_start_column() const {
    if (rendering_wx != 0) return rendering_wx - 7;
    const int fine_x = rendering_scx & 7;
    const int trigger_x = (fine_x == 0 || fine_x == 7) ? -fine_x : -fine_x - 1;
    return trigger_x - 7;
}

void PPU::mark_tile_use(u16 tile_address, int bank, u32 mark) {
    const int slot = ((tile_address & 0x1FFF) >> 4) % 384;
    if (gb->is_cgb)
        tile_usage_cgb[size_t(bank * 384 + slot)] = mark;
    else
        tile_usage_dmg[size_t(slot)] = mark;
}

// The state machine never draws a line with the LCD off; a caller that does
// gets a message and a white line, and the machine runs on.
bool PPU::lcd_off_while_rendering(int line) {
    if (lcdc & LCDC_ENABLE) return false;
    std::cout << "rendering while screen is off???" << std::endl;
    if (unsigned(line) < unsigned(SCREEN_HEIGHT))
        std::fill_n(frame_buffer.begin() + line * SCREEN_WIDTH, SCREEN_WIDTH, map_rgb(255, 255, 255));
    return true;
}

// Calls put(from, to, position, low, high, attributes) for every tile of
// the background (from the left up to the window) and of the window (from
// its start to the end): the tile's row planes, already flipped, start at
// line buffer entry `position` and cover entries from `from` to `to` - 1,
// clipped to the buffer. The window counts a line whenever it is on the line.
template <class Put>
void PPU::draw_background_and_window(int line, Put&& put) {
    const bool cgb = gb->is_cgb;
    const bool marks = tile_usage_enabled;
    const bool window = window_on_line();
    const bool window_drawn = window && window_start_column() <= last_window_start_x();
    const int window_position = window_drawn ? LINE_MARGIN + window_start_column() : LINE_BUFFER_SIZE;
    auto draw_tile = [&](u16 map_address, int row, int position, int end) {
        const u8 number = gb->vram_read_byte(map_address);
        const u8 attributes = cgb ? gb->vram_banked_read_byte(map_address, 1) : 0;
        if (attributes & ATTR_Y_FLIP) row = 7 - row;
        const int bank = (attributes & ATTR_VRAM_BANK) ? 1 : 0;
        const u16 address = tile_row_address(tile_data_select, number, row);
        if (marks) mark_tile_use(address, bank, TILE_USED_BG);
        u8 low = gb->vram_banked_read_byte(address, bank);
        u8 high = gb->vram_banked_read_byte(u16(address + 1), bank);
        if (attributes & ATTR_X_FLIP) {
            low = REVERSED_BITS[low];
            high = REVERSED_BITS[high];
        }
        const int from = std::max(position, 0), to = std::min(position + 8, end);
        put(from, to, position, low, high, attributes);
    };

    const int fine_x = rendering_scx & 7;
    const int y = (rendering_scy + line) & 0xFF;
    const u16 bg_row = u16(bg_tile_map_address + ((y >> 3) << 5));
    for (int j = 0; j < 21; ++j) {
        const int position = LINE_MARGIN - fine_x + 8 * j;
        if (position >= window_position) break;
        draw_tile(u16(bg_row + (((rendering_scx >> 3) + j) & 31)), y & 7, position, window_position);
    }
    if (!window) return;
    ++window_line;
    if (!window_drawn) return;
    const u16 window_row = u16(window_tile_map_address + (((window_line >> 3) << 5) & 0x3E0));
    for (int k = 0; window_position + 8 * k < LINE_BUFFER_SIZE; ++k)
        draw_tile(u16(window_row + (k & 31)), window_line & 7, window_position + 8 * k, LINE_BUFFER_SIZE);
}

// The sprites of the line settle among themselves first: `sprites` is in
// order of priority, highest first, and a position keeps the first opaque
// pixel it gets. Only the pixel on top then meets the background.
void PPU::draw_sprite_layer(int line, const OamDataWithId* sprites, int count, bool cgb_banks, SpriteLayer& layer) {
    for (int i = 0; i < count; ++i) {
        const OamDataWithId& sprite = sprites[i];
        if (sprite.x >= SCREEN_WIDTH + LINE_MARGIN) continue;
        const int r = line + 16 - sprite.y;
        const bool flip = sprite.attributes & ATTR_Y_FLIP;
        const u8 tile = sprite_height == 16 ? u8(sprite.tile & 0xFE) : sprite.tile;
        const int row = sprite_height == 16 ? (flip ? 15 - (r & 15) : (r & 15)) : (flip ? 7 - (r & 7) : (r & 7));
        const u16 address = u16(0x8000 + tile * 16 + 2 * row);
        const int bank = (cgb_banks && (sprite.attributes & ATTR_VRAM_BANK)) ? 1 : 0;
        if (tile_usage_enabled) {
            const u32 mark = (sprite.attributes & ATTR_DMG_PALETTE) ? TILE_USED_OBP1 : TILE_USED_OBP0;
            mark_tile_use(u16(0x8000 + tile * 16), bank, mark);
            if (sprite_height == 16) mark_tile_use(u16(0x8000 + (tile | 1) * 16), bank, mark);
        }
        u8 low, high;
        if (cgb_banks) {
            low = gb->vram_banked_read_byte(address, bank);
            high = gb->vram_banked_read_byte(u16(address + 1), bank);
        } else {
            low = gb->vram_read_byte(address);
            high = gb->vram_read_byte(u16(address + 1));
        }
        if (sprite.attributes & ATTR_X_FLIP) {
            low = REVERSED_BITS[low];
            high = REVERSED_BITS[high];
        }
        for_each_tile_pixel(sprite.x, std::min(sprite.x + 8, LINE_BUFFER_SIZE), sprite.x, low, high,
                            [&](int p, int colour) {
                                if (colour != 0 && layer[size_t(p)].colour == 0)
                                    layer[size_t(p)] = {u8(colour), sprite.attributes};
                            });
    }
}

void PPU::quick_render_line(int line) {
    if (lcd_off_while_rendering(line) || unsigned(line) >= unsigned(SCREEN_HEIGHT)) return;
    // Entries are indexes into dmg_shades: 0-3 background and window colours,
    // 4 + 4p + c a sprite's colour c with OBP0 (p = 0) or OBP1 (p = 1).
    std::array<u8, LINE_BUFFER_SIZE> entries{};
    if (bg_enabled) {
        draw_background_and_window(line, [&](int from, int to, int position, u8 low, u8 high, u8) {
            for_each_tile_pixel(from, to, position, low, high, [&](int p, int colour) { entries[size_t(p)] = u8(colour); });
        });
        if (dmg_window_off_glitch_on_line()) {
            // Background colour 0 where the window would start, the
            // background one pixel later from there on (a start left of the
            // screen only shifts it). Sprites stay where they are.
            const int glitch = LINE_MARGIN + rendering_wx - 7;
            std::copy_backward(entries.begin() + glitch, entries.begin() + LINE_MARGIN + SCREEN_WIDTH - 1,
                               entries.begin() + LINE_MARGIN + SCREEN_WIDTH);
            entries[size_t(glitch)] = 0;
        }
    } else if (window_on_line()) {
        ++window_line;  // all colour 0, but the window still counts the line
    }

    if (obj_enabled) {
        // The list is sorted descending x, then descending OAM index; the
        // lowest x, then the lowest index, is on top.
        std::array<OamDataWithId, MAX_SPRITES_PER_LINE> sprites{};
        const int count = std::clamp(sprite_count, 0, MAX_SPRITES_PER_LINE);
        std::reverse_copy(line_sprites.begin(), line_sprites.begin() + count, sprites.begin());
        SpriteLayer layer{};
        draw_sprite_layer(line, sprites.data(), count, false, layer);
        for (int p = LINE_MARGIN; p < LINE_MARGIN + SCREEN_WIDTH; ++p) {
            const SpritePixel s = layer[size_t(p)];
            // With the priority attribute only over background colour 0.
            if (s.colour != 0 && !(bg_master_priority && (s.attributes & ATTR_PRIORITY) && entries[size_t(p)] != 0))
                entries[size_t(p)] = u8(4 + ((s.attributes & ATTR_DMG_PALETTE) ? 4 : 0) + s.colour);
        }
    }

    std::array<u32, 12> colours;
    for (size_t i = 0; i < colours.size(); ++i) colours[i] = mapped_colors[size_t(64 + dmg_shades[i])];
    u32* const row = &frame_buffer[size_t(line) * SCREEN_WIDTH];
    for (int x = 0; x < SCREEN_WIDTH; ++x) row[x] = colours[entries[size_t(LINE_MARGIN + x)]];
}

void PPU::quick_render_line_cgb(int line) {
    if (lcd_off_while_rendering(line) || unsigned(line) >= unsigned(SCREEN_HEIGHT)) return;
    const bool cgb_mode = gb->key0 != KEY0_DMG_COMPAT;
    std::array<u32, LINE_BUFFER_SIZE> colours;
    std::array<u8, LINE_BUFFER_SIZE> flags;
    if (!cgb_mode && !bg_enabled) {
        colours.fill(mapped_colors[size_t(dmg_shades[0])]);
        flags.fill(BG_COLOUR_0);
        if (window_on_line()) ++window_line;
    } else {
        // The background's 21 tiles cover every visible entry.
        draw_background_and_window(line, [&](int from, int to, int position, u8 low, u8 high, u8 attributes) {
            std::array<u32, 4> tile_colours;
            for (size_t c = 0; c < 4; ++c)
                tile_colours[c] = cgb_mode ? mapped_colors[4 * (attributes & ATTR_CGB_PALETTE) + c]
                                           : mapped_colors[size_t(dmg_shades[c])];
            const u8 opaque = (attributes & ATTR_PRIORITY) ? BG_PRIORITY_TILE : BG_OPAQUE;
            for_each_tile_pixel(from, to, position, low, high, [&](int p, int colour) {
                colours[size_t(p)] = tile_colours[size_t(colour)];
                flags[size_t(p)] = colour == 0 ? BG_COLOUR_0 : opaque;
            });
        });
    }

    if (obj_enabled) {
        std::array<OamDataWithId, MAX_SPRITES_PER_LINE> sprites{};
        const int count = std::clamp(sprite_count, 0, MAX_SPRITES_PER_LINE);
        std::copy_n(line_sprites.begin(), count, sprites.begin());
        // At most ten entries: an insertion sort.
        const auto before = cgb_mode ? sortBySpritePriority_cgb : sortBySpritePriority_cgb_in_dmg_mode;
        for (int i = 1; i < count; ++i)
            for (int j = i; j > 0 && before(sprites[size_t(j)], sprites[size_t(j - 1)]); --j)
                std::swap(sprites[size_t(j)], sprites[size_t(j - 1)]);
        SpriteLayer layer{};
        draw_sprite_layer(line, sprites.data(), count, cgb_mode, layer);
        for (int p = LINE_MARGIN; p < LINE_MARGIN + SCREEN_WIDTH; ++p) {
            const SpritePixel s = layer[size_t(p)];
            if (s.colour == 0) continue;
            // With the master priority on, a priority tile and a sprite with
            // the priority attribute both give way to background colours 1-3.
            const u8 flag = flags[size_t(p)];
            if (bg_master_priority && flag != BG_COLOUR_0 &&
                (flag == BG_PRIORITY_TILE || ((s.attributes & ATTR_PRIORITY) && bg_enabled)))
                continue;
            if (cgb_mode)
                colours[size_t(p)] = mapped_colors[size_t(32 + 4 * (s.attributes & ATTR_CGB_PALETTE) + s.colour)];
            else if (s.attributes & ATTR_DMG_PALETTE)
                colours[size_t(p)] = mapped_colors[size_t(36 + dmg_shades[size_t(8 + s.colour)])];
            else
                colours[size_t(p)] = mapped_colors[size_t(32 + dmg_shades[size_t(4 + s.colour)])];
        }
    }

    std::copy_n(colours.begin() + LINE_MARGIN, SCREEN_WIDTH, frame_buffer.begin() + line * SCREEN_WIDTH);
}

u32 PPU::frame_pacing_sleep_ms(u32 next_tick, u32 now_ms) {
    const i32 early = i32(next_tick - now_ms);
    if (early <= 2) return 0;  // late, or too close to the mark to bother
    return std::min<u32>(u32(early), FRAME_MS) - 1;
}

// Lateness is not made up: the next mark counts from this frame's release.
void PPU::pace_frame() {
    const u32 sleep_ms = frame_pacing_sleep_ms(next_frame_tick, wall_clock_ms());
    if (sleep_ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    next_frame_tick = wall_clock_ms() + FRAME_MS;
}
