#pragma once
// Shared set-up for the machine-core tests: a ROM whose every byte is known
// and differs from its neighbours, boot ROM images that differ from that ROM
// at every address, and a machine built on them.
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

#include "test_machine.h"

// Byte of the patterned ROM at an address. Never equal to its boot-image
// counterpart (which XORs a non-zero seed into it).
constexpr u8 rom_pattern(int address) { return u8(address ^ (address >> 8) ^ 0x5A); }

// A 32 KiB cartridge without a bank controller, filled with rom_pattern, with
// the given CGB flag and cartridge-RAM size code (0: none, 2: 8 KiB).
inline RomImage patterned_rom(u8 cgb_flag = 0x00, u8 ram_code = 0x00) {
    RomImage rom;
    for (size_t i = 0; i < rom.bytes.size(); ++i) rom.bytes[i] = rom_pattern(int(i));
    rom.cgb_flag(cgb_flag).type(0x00).ram_size_code(ram_code);
    return rom;
}

// Each slot's image gets its own seed, so a read shows which slot answered.
inline u8 boot_seed(const std::string& slot) {
    static const char* const names[] = {"dmg0", "dmg", "mgb", "sgb", "sgb2", "cgb0", "cgb", "agb", "pokemon_stadium_2"};
    for (int i = 0; i < 9; ++i)
        if (slot == names[i]) return u8(0x11 * (i + 1));
    throw std::runtime_error("no boot ROM slot " + slot);
}

inline u8 boot_image_byte(const std::string& slot, int address) { return u8(rom_pattern(address) ^ boot_seed(slot)); }

// Puts an image into a boot ROM slot as a successful load would.
inline void install_boot_image(GB& gb, const std::string& slot) {
    BootROM* rom = gb.get_boot_rom_by_name(slot);
    if (!rom) throw std::runtime_error("no boot ROM slot " + slot);
    rom->data.reset(new u8[rom->size]);
    for (int i = 0; i < rom->size; ++i) rom->data[i] = boot_image_byte(slot, i);
    rom->loaded = true;
}

// A machine on `model` with the cartridge loaded from memory and the listed
// boot ROM slots filled before its reset.
inline std::unique_ptr<GB> build_machine(const RomImage& rom, const std::string& model,
                                         std::initializer_list<const char*> boot_slots = {}) {
    auto gb = std::make_unique<GB>(1);
    gb->cartridge.load_rom_from_memory("test.gb", rom.bytes.data(), int(rom.bytes.size()));
    if (!gb->set_default_device_by_short_string(model)) throw std::runtime_error("unknown model " + model);
    for (const char* slot : boot_slots) install_boot_image(*gb, slot);
    gb->reset();
    return gb;
}

inline constexpr const char* DMG_CLASS_MODELS[] = {"dmg0", "dmgA", "dmgB", "dmgC", "mgb", "sgb", "sgb2"};
inline constexpr const char* CGB_CLASS_MODELS[] = {"cgb0", "cgbA", "cgbB", "cgbC",
                                                   "cgbD", "cgbE", "agb0", "pokemon_stadium_2"};

// Boot ROM slot each model starts from.
inline const char* boot_slot_of(const std::string& model) {
    if (model == "dmg0") return "dmg0";
    if (model == "dmgA" || model == "dmgB" || model == "dmgC") return "dmg";
    if (model == "mgb") return "mgb";
    if (model == "sgb") return "sgb";
    if (model == "sgb2") return "sgb2";
    if (model == "cgb0") return "cgb0";
    if (model == "agb0") return "agb";
    if (model == "pokemon_stadium_2") return "pokemon_stadium_2";
    return "cgb";
}

// Puts the picture unit at a point of its line without running it: the bus
// rules only look at the mode, the line, the step and the cycle within the
// line. Both clocks are equal in single speed, as after every boot. Without
// a step given, the unit stands in a step of a line's horizontal blank.
inline void place_ppu(GB& gb, int mode, int line, int line_cycle, int state = PPU::STATE_LINE_1_143_HBLANK_STAT) {
    gb.ppu.mode = mode;
    gb.ppu.current_line = line;
    gb.ppu.state = state;
    gb.ppu.line_start_cycle = gb.cpu.cycles_4mhz - u64(line_cycle);
}

// A point where the picture unit leaves both of its memories to the CPU.
inline void ppu_idle(GB& gb) { place_ppu(gb, 0, 10, 300); }
