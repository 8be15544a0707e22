#pragma once
#include <array>
#include <string_view>

// The hardware models the machine emulates. Index 0 is resolved at reset from
// the cartridge header; 1-7 are the DMG family, 8-15 the CGB family.
enum Model : int {
    MODEL_AUTO = 0,
    MODEL_DMG0 = 1,
    MODEL_DMGA = 2,
    MODEL_DMGB = 3,
    MODEL_DMGC = 4,
    MODEL_MGB = 5,
    MODEL_SGB = 6,
    MODEL_SGB2 = 7,
    MODEL_CGB0 = 8,
    MODEL_CGBA = 9,
    MODEL_CGBB = 10,
    MODEL_CGBC = 11,
    MODEL_CGBD = 12,
    MODEL_CGBE = 13,
    MODEL_AGB0 = 14,
    MODEL_POKEMON_STADIUM_2 = 15,
};

inline constexpr int MODEL_COUNT = 16;
inline constexpr int DEFAULT_DMG_DEVICE = MODEL_DMGC;
inline constexpr int DEFAULT_CGB_DEVICE = MODEL_CGBE;

struct ModelInfo {
    std::string_view long_name;
    std::string_view short_name;
    std::string_view boot_slot;  // empty for "auto"
};

inline constexpr std::array<ModelInfo, MODEL_COUNT> MODELS = {{
    {"Auto-detect", "auto", ""},
    {"DMG-CPU 0", "dmg0", "dmg0"},
    {"DMG-CPU A", "dmgA", "dmg"},
    {"DMG-CPU B", "dmgB", "dmg"},
    {"DMG-CPU C", "dmgC", "dmg"},
    {"MGB", "mgb", "mgb"},
    {"SGB", "sgb", "sgb"},
    {"SGB2", "sgb2", "sgb2"},
    {"CPU CGB 0", "cgb0", "cgb0"},
    {"CPU CGB A", "cgbA", "cgb"},
    {"CPU CGB B", "cgbB", "cgb"},
    {"CPU CGB C", "cgbC", "cgb"},
    {"CPU CGB D", "cgbD", "cgb"},
    {"CPU CGB E", "cgbE", "cgb"},
    {"CPU AGB", "agb0", "agb"},
    {"Pokemon Stadium 2 CGB Emulator", "pokemon_stadium_2", "pokemon_stadium_2"},
}};

constexpr bool model_is_cgb(int model) { return model > MODEL_SGB2; }
// The Super Game Boy's boot program talks to the SNES instead of showing the
// logo and playing the chime, so it leaves some units in a different state.
constexpr bool model_is_sgb(int model) { return model == MODEL_SGB || model == MODEL_SGB2; }
