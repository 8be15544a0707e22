// Random code with random I/O writes. The input is
//   model selector, cartridge selector, button byte, write count N,
//   N records (steps to run first, register FF00+reg, value),
//   then the code, placed at 0x0150 of a 32 KiB ROM entered by JP 0150.
// The writes land on the bus between instructions, as the CPU's own would;
// the code itself reaches every register too.
#include "fuzz_harness.h"

namespace {

// Cartridge types the code runs on: no controller, MBC1 with RAM, MBC2,
// MBC3 with clock and RAM, MBC3 with RAM, MBC5 with RAM.
constexpr u8 CARTRIDGES[][2] = {{0x00, 0}, {0x03, 2}, {0x06, 0}, {0x10, 3}, {0x13, 2}, {0x1B, 4}};
constexpr int MAX_WRITES = 64;
constexpr int STEP_BUDGET = 24000;  // about one and a half frames

}  // namespace

void zembrix_fuzz_one(const u8* data, size_t size) {
    fuzz::Input in(data, size);
    const int model = fuzz::model_for(in.byte());
    const auto& cart = CARTRIDGES[in.byte() % std::size(CARTRIDGES)];
    const u8 buttons = in.byte();
    struct Write {
        int steps;
        u8 reg, value;
    };
    std::vector<Write> writes(in.byte() % (MAX_WRITES + 1));
    for (Write& w : writes) w = {in.byte() * 4, in.byte(), in.byte()};

    fuzz::Rom rom;
    rom.place(0x0100, {0x00, 0xC3, 0x50, 0x01}).type(cart[0]).ram_size_code(cart[1]);
    rom.cgb_flag(model_is_cgb(model) ? 0x80 : 0x00);
    const size_t code = std::min(in.left(), rom.bytes.size() - 0x150);
    rom.place(0x0150, std::vector<u8>(in.rest(), in.rest() + code));

    GB& gb = fuzz::machine();
    fuzz::boot_from_memory(gb, rom.bytes, model);
    fuzz::host().buttons = buttons;
    int budget = STEP_BUDGET;
    for (const Write& w : writes) {
        const int steps = std::min(w.steps, budget);
        fuzz::run_steps(gb, steps);
        budget -= steps;
        // FF00-FF7F and the interrupt enable; high RAM is plain memory.
        gb.write_byte(w.reg < 0x80 ? u16(0xFF00 | w.reg) : u16(0xFFFF), w.value);
    }
    fuzz::run_steps(gb, budget);
}

std::vector<fuzz::Seed> zembrix_fuzz_seeds() {
    auto seed = [](const char* name, u8 model, u8 cart, std::vector<std::vector<u8>> writes, std::vector<u8> code) {
        fuzz::Seed s{name, {model, cart, 0x00, u8(writes.size())}};
        for (const auto& w : writes) s.bytes.insert(s.bytes.end(), w.begin(), w.end());
        s.bytes.insert(s.bytes.end(), code.begin(), code.end());
        return s;
    };
    const std::vector<u8> spin = {0x18, 0xFE};
    // Counts in B and C, stores through HL into WRAM, calls and returns.
    const std::vector<u8> loop = {0x21, 0x00, 0xC0, 0x06, 0x10, 0x78, 0x22, 0x05, 0x20, 0xFB, 0xCD, 0x60, 0x01,
                                  0x18, 0xF1, 0x00, 0x3C, 0xC9};
    // Reads every I/O register, then runs each CB-prefixed operation on B:
    // a long seed, so that libFuzzer grows inputs of that length too.
    std::vector<u8> sweep;
    for (int reg = 0; reg < 0x80; ++reg) sweep.insert(sweep.end(), {0xF0, u8(reg)});
    for (int op = 0; op < 0x100; op += 8) sweep.insert(sweep.end(), {0xCB, u8(op)});
    sweep.insert(sweep.end(), {0x18, 0xFE});
    return {
        seed("register_sweep", 8, 3, {{0, 0x40, 0x91}, {200, 0x26, 0x80}}, sweep),
        seed("lcd_writes", 2, 0, {{0, 0x40, 0x91}, {40, 0x42, 0x13}, {40, 0x43, 0x07}, {40, 0x4A, 0x20}, {10, 0x4B, 0x07}},
             spin),
        seed("stat_lyc", 12, 0, {{0, 0x45, 0x10}, {0, 0x41, 0x40}, {0, 0xFF, 0x02}, {0, 0x40, 0x93}}, {0xFB, 0x76, 0x18, 0xFD}),
        seed("timer", 3, 1, {{0, 0x06, 0xF0}, {0, 0x07, 0x05}, {30, 0x04, 0x00}, {30, 0x07, 0x06}}, loop),
        seed("sound", 13, 5, {{0, 0x26, 0x80}, {0, 0x25, 0xFF}, {0, 0x1A, 0x80}, {0, 0x1E, 0x87}, {80, 0x22, 0x33},
                              {0, 0x23, 0x80}}, loop),
        seed("cgb_dma", 11, 5, {{0, 0x40, 0x91}, {0, 0x51, 0xC0}, {0, 0x53, 0x80}, {0, 0x55, 0x83}, {100, 0x4F, 0x01},
                                {0, 0x70, 0x03}, {0, 0x68, 0x80}, {0, 0x69, 0x1F}}, loop),
        seed("oam_dma", 4, 2, {{0, 0x40, 0x91}, {20, 0x46, 0xC0}, {2, 0x46, 0xFE}}, loop),
        seed("serial_joypad", 6, 3, {{0, 0x00, 0x10}, {0, 0xFF, 0x1F}, {0, 0x02, 0x81}}, {0xFB, 0x76, 0x18, 0xFD}),
        seed("speed_switch", 9, 4, {{0, 0x4D, 0x01}}, {0x10, 0x00, 0x18, 0xFE}),
    };
}
