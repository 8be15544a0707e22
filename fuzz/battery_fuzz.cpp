// Battery RAM files: a battery cartridge is loaded from a ROM file beside a
// battery file made of the input, runs a little, and is unloaded. The input
// is a cartridge selector, a RAM-size code and the file's bytes.
//
// Checked: the RAM starts as the file's bytes (0xFF past a short file), the
// file written at unloading is exactly the RAM, one byte per RAM byte, and a
// file longer than the RAM is first kept whole as game.sav.bak.
#include "fuzz_harness.h"

#include <cstring>
#include <filesystem>

namespace {

// Battery types: MBC1, MBC2, MBC3 with and without clock, MBC5, and two
// types that have no controller of their own.
constexpr u8 BATTERY_TYPES[] = {0x03, 0x06, 0x09, 0x0D, 0x0F, 0x10, 0x13, 0x1B, 0x1E};

// Enables the RAM, then for RAM banks 0-3 reads A000-A0FF and writes every
// byte back incremented, and spins.
const std::vector<u8> TOUCH_RAM = {
    0x3E, 0x0A, 0xEA, 0x00, 0x00,  // LD A,0A / LD (0000),A
    0x0E, 0x00,                    // LD C,0   bank
    0x79, 0xEA, 0x00, 0x40,        // LD A,C / LD (4000),A
    0x21, 0x00, 0xA0,              // LD HL,A000
    0x34, 0x2C, 0x20, 0xFC,        // INC (HL) / INC L / JR NZ
    0x0C, 0x79, 0xFE, 0x04,        // INC C / LD A,C / CP 4
    0x20, 0xEF,                    // JR NZ to the bank select
    0x18, 0xFE,                    // spin
};

}  // namespace

void zembrix_fuzz_one(const u8* data, size_t size) {
    fuzz::Input in(data, size);
    const u8 type = BATTERY_TYPES[in.byte() % std::size(BATTERY_TYPES)];
    const u8 ram_code = in.byte() % 6;
    const std::vector<u8> file = in.take(in.left());

    const std::string dir = fuzz::scratch_dir();
    const std::string rom_path = dir + "/game.gb", sav_path = dir + "/game.sav";
    fuzz::Rom rom;
    rom.place(0x0100, {0x00, 0xC3, 0x50, 0x01}).place(0x0150, TOUCH_RAM).type(type).ram_size_code(ram_code);
    fuzz::write_file(rom_path, rom.bytes);
    fuzz::write_file(sav_path, file);

    GB& gb = fuzz::machine();
    gb.requested_device = MODEL_DMGB;
    std::string error;
    fuzz::check(gb.cartridge.try_load_rom(rom_path, error), "the ROM file loads");
    gb.reset();

    Cartridge& cart = gb.cartridge;
    const int ram_size = cart.ram_size;
    for (int i = 0; i < ram_size; ++i) {
        const u8 expected = size_t(i) < file.size() ? file[size_t(i)] : 0xFF;
        fuzz::check(cart.ram[size_t(i)] == expected, "the RAM starts as the battery file");
    }
    fuzz::run_steps(gb, 3000);
    const std::vector<u8> ram(cart.ram.get(), cart.ram.get() + ram_size);
    gb.shutdown();
    const std::vector<u8> written = fuzz::read_file(sav_path);
    if (ram_size > 0)
        fuzz::check(written == ram, "the battery file written is the RAM");
    else
        fuzz::check(written == file, "a cartridge without RAM leaves the file alone");
    const std::string backup = sav_path + BACKUP_SUFFIX;
    if (ram_size > 0 && file.size() > size_t(ram_size))
        fuzz::check(fuzz::read_file(backup) == file, "a file longer than the RAM is kept whole");
    else
        fuzz::check(!std::filesystem::exists(backup), "a file taken in full is not copied");
    std::filesystem::remove(backup);
}

std::vector<fuzz::Seed> zembrix_fuzz_seeds() {
    std::vector<fuzz::Seed> seeds;
    auto add = [&](const char* name, u8 type_index, u8 ram_code, std::vector<u8> file) {
        fuzz::Seed s{name, {type_index, ram_code}};
        s.bytes.insert(s.bytes.end(), file.begin(), file.end());
        seeds.push_back(std::move(s));
    };
    std::vector<u8> pattern(8192);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = u8(i * 7 + (i >> 8));
    add("mbc1_8k", 0, 2, pattern);
    add("mbc2_cells", 1, 0, std::vector<u8>(512, 0x0A));
    add("mbc3_short", 6, 3, std::vector<u8>(100, 0x11));
    add("mbc5_32k_long", 7, 3, std::vector<u8>(40000, 0x22));
    add("mbc3_clock_empty", 5, 2, {});
    add("no_ram", 0, 0, {0x01, 0x02, 0x03});
    return seeds;
}
