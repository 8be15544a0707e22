#pragma once
// A machine started from the post-boot state whose picture unit is driven one
// 4 MHz cycle at a time and observed through its registers.
#include <gtest/gtest.h>

#include <string>

#include "test_machine.h"

struct Lcd {
    explicit Lcd(const std::string& model, const RomImage& rom = RomImage()) : m(rom, model), gb(*m.gb) {}
    TestMachine m;
    GB& gb;

    u8 read(u16 address) { return gb.read_byte(address); }
    void write(u16 address, u8 value) { gb.write_byte(address, value); }
    void run(int cycles) {
        for (int i = 0; i < cycles; ++i) gb.cpu.t_cycle_4mhz();
    }
    int ly() { return read(REG_LY); }
    int mode() { return read(REG_STAT) & 3; }
    bool coincidence() { return read(REG_STAT) & 0x04; }
    bool stat_requested() { return read(REG_IF) & INT_STAT; }
    void clear_requests() { write(REG_IF, 0x00); }
    // Runs until LY turns to `line` (1-153): the clock then stands on the
    // first cycle of that line. It follows the line counter itself, since an
    // FF44 read in a line's last cycle can show the counter's bits half
    // changed (line 145 then reads 144).
    void run_to_line(int line) {
        for (int guard = 0; gb.ppu.ly == line; ++guard) {
            ASSERT_LT(guard, 2 * PPU::FRAME_CYCLES);
            run(1);
        }
        for (int guard = 0; gb.ppu.ly != line; ++guard) {
            ASSERT_LT(guard, 2 * PPU::FRAME_CYCLES);
            run(1);
        }
    }
    // Line 0 does not show as an LY change; it starts 456 cycles after 153.
    void run_to_line_0() {
        run_to_line(153);
        run(PPU::LINE_CYCLES);
    }
    void run_to(int line, int cycle) {
        if (line == 0)
            run_to_line_0();
        else
            run_to_line(line);
        run(cycle);
    }
    // Cycles until `done` holds, checked after every cycle; -1 if never.
    template <class Pred>
    int cycles_until(Pred done, int limit = 3 * PPU::FRAME_CYCLES) {
        for (int n = 1; n <= limit; ++n) {
            run(1);
            if (done()) return n;
        }
        return -1;
    }
};
