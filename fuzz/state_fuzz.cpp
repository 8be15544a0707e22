// Save-state strings. The input is a setup selector (model and cartridge)
// followed by a state string; the seeds are real states of each setup, so
// the fuzzer mostly damages fields of well-formed strings.
//
// Checked: a refused string leaves the machine exactly as it was (its own
// state string is unchanged); an accepted one runs, and saving it, loading
// that and saving again gives the same string.
#include "fuzz_harness.h"

namespace {

struct Setup {
    u8 model;
    u8 type;
    u8 ram_code;
};
// DMG and CGB; no controller, MBC1 with RAM, MBC3 with its clock, MBC5 with
// 32 KiB of RAM.
constexpr Setup SETUPS[] = {
    {MODEL_DMGB, 0x00, 0}, {MODEL_CGBE, 0x03, 2}, {MODEL_DMGC, 0x10, 3}, {MODEL_CGBC, 0x1B, 3},
};

// Sound on, the LCD on with a sprite, an OAM DMA and a speed-switch request
// in a loop: every unit has state worth saving.
const std::vector<u8> BUSY = {
    0x3E, 0x80, 0xE0, 0x26, 0x3E, 0xF0, 0xE0, 0x12, 0x3E, 0x87, 0xE0, 0x14,  // channel 1 on
    0x21, 0x00, 0xC0, 0x3E, 0x40, 0x22, 0x22, 0x22, 0x22,                    // a sprite at (40,40)
    0x3E, 0x93, 0xE0, 0x40,                                                  // LCD, BG, sprites
    0x3E, 0xC0, 0xE0, 0x46,                                                  // loop: OAM DMA
    0x06, 0x28, 0x05, 0x20, 0xFD,                                            // wait
    0x18, 0xF5,
};

void boot(const Setup& s) {
    fuzz::Rom rom;
    rom.place(0x0100, {0x00, 0xC3, 0x50, 0x01}).place(0x0150, BUSY).type(s.type).ram_size_code(s.ram_code);
    rom.cgb_flag(model_is_cgb(s.model) ? 0x80 : 0x00);
    fuzz::boot_from_memory(fuzz::machine(), rom.bytes, s.model);
}

}  // namespace

void zembrix_fuzz_one(const u8* data, size_t size) {
    if (size < 1) return;
    const Setup& setup = SETUPS[data[0] % std::size(SETUPS)];
    const std::string state(reinterpret_cast<const char*>(data + 1), size - 1);
    boot(setup);
    GB& gb = fuzz::machine();
    fuzz::run_steps(gb, 3000);
    const std::string before = gb.save_state();
    if (!gb.load_state(state)) {
        fuzz::check(gb.save_state() == before, "a refused state leaves the machine as it was");
        return;
    }
    const std::string saved = gb.save_state();
    fuzz::check(gb.load_state(saved), "a machine's own state loads");
    fuzz::check(gb.save_state() == saved, "saving, loading and saving again gives the same string");
    fuzz::run_steps(gb, 20000);
}

std::vector<fuzz::Seed> zembrix_fuzz_seeds() {
    std::vector<fuzz::Seed> seeds;
    for (size_t i = 0; i < std::size(SETUPS); ++i) {
        boot(SETUPS[i]);
        for (int steps : {500, 7000}) {
            fuzz::run_steps(fuzz::machine(), steps);
            const std::string state = fuzz::machine().save_state();
            fuzz::Seed seed{"setup" + std::to_string(i) + "_" + std::to_string(steps), {u8(i)}};
            seed.bytes.insert(seed.bytes.end(), state.begin(), state.end());
            seeds.push_back(std::move(seed));
        }
    }
    return seeds;
}
