#include "cartridge/cartridge.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cartridge/mbc1.h"
#include "cartridge/mbc1m.h"
#include "cartridge/null_mbc.h"
#include "core/gb.h"

namespace {

enum class ControllerKind { None, MBC1, MBC2, MBC3, MBC5 };

ControllerKind controller_for_type(u8 type) {
    switch (type) {
        case 0x01: case 0x02: case 0x03:
            return ControllerKind::MBC1;
        case 0x05: case 0x06:
            return ControllerKind::MBC2;
        case 0x0F: case 0x10: case 0x11: case 0x12: case 0x13:
            return ControllerKind::MBC3;
        case 0x19: case 0x1A: case 0x1B: case 0x1C: case 0x1D: case 0x1E:
            return ControllerKind::MBC5;
        default:
            return ControllerKind::None;
    }
}

// RAM size by header code 0x0149; code 5 and above mean no RAM.
constexpr int RAM_SIZE_BY_CODE[] = {0, 2048, 8192, 32768, 131072};

}  // namespace

u32 Cartridge::round_up_power_of_two(u32 n) {
    n -= 1;
    n |= n >> 1;
    n |= n >> 2;
    n |= n >> 4;
    n |= n >> 8;
    n |= n >> 16;
    return n + 1;
}

void Cartridge::allocate_rom(u32 image_size) {
    rom_size = int(std::max<u32>(round_up_power_of_two(image_size), MIN_ROM_SIZE));
    rom.reset(new u8[rom_size]);
    std::memset(rom.get(), 0xFF, rom_size);
}

void Cartridge::load_rom(const std::string& path) {
    std::string error;
    if (!try_load_rom(path, error)) {
        std::cout << error << std::flush;
        std::exit(1);
    }
}

bool Cartridge::try_load_rom(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    // The cartridge that was in the slot is written back before anything of
    // the new one is judged.
    if (rom_loaded) unload_rom();
    if (!file) {
        error = "ROM not found: " + path;
        return false;
    }
    std::streamoff length = file.tellg();
    // A directory opens like a file on some systems but has no bytes to give.
    std::error_code ec;
    if (length < 0 || std::filesystem::is_directory(path, ec)) {
        error = "ROM not readable: " + path;
        return false;
    }
    if (length > MAX_ROM_FILE_SIZE) {
        error = "ROM too large (over 8 MiB): " + path;
        return false;
    }
    allocate_rom(u32(length));
    file.seekg(0);
    if (length > 0 && !file.read(reinterpret_cast<char*>(rom.get()), length)) {
        rom.reset();
        rom_size = 0;
        error = "ROM not readable: " + path;
        return false;
    }
    rom_path = path;
    process_rom_header();
    return true;
}

void Cartridge::load_rom_from_memory(const std::string& name, const u8* data, int size) {
    if (rom_loaded) unload_rom();
    size = data ? std::clamp(size, 0, int(MAX_ROM_FILE_SIZE)) : 0;
    rom_path = name;
    allocate_rom(u32(size));
    if (size > 0) std::memcpy(rom.get(), data, size);
    process_rom_header();
}

bool Cartridge::is_mbc1_multicart() const {
    if (rom_size != 0x100000) return false;
    for (int k = 1; k <= 3; ++k) {
        if (std::memcmp(rom.get() + k * 0x40000 + HEADER_LOGO, rom.get() + HEADER_LOGO, HEADER_LOGO_SIZE) == 0)
            return true;
    }
    return false;
}

int Cartridge::get_ram_size() const {
    u8 type = header_byte(HEADER_TYPE);
    if (controller_for_type(type) == ControllerKind::MBC2) return 512;
    u8 code = header_byte(HEADER_RAM_SIZE);
    return code < std::size(RAM_SIZE_BY_CODE) ? RAM_SIZE_BY_CODE[code] : 0;
}

bool Cartridge::has_battery() const {
    switch (header_byte(HEADER_TYPE)) {
        case 0x03: case 0x06: case 0x09: case 0x0D: case 0x0F: case 0x10: case 0x13: case 0x1B: case 0x1E:
            return true;
        default:
            return false;
    }
}

bool Cartridge::has_rtc() const {
    u8 type = header_byte(HEADER_TYPE);
    return type == 0x0F || type == 0x10;
}

void Cartridge::process_rom_header() {
    rom_access_types.reset(new u8[rom_size]());
    rom_access_types[HEADER_ENTRY] = ACCESS_INSTRUCTION;

    switch (controller_for_type(header_byte(HEADER_TYPE))) {
        case ControllerKind::MBC1:
            if (is_mbc1_multicart())
                mbc = std::make_shared<MBC1M>();
            else
                mbc = std::make_shared<MBC1>();
            break;
        // The other controllers are not built yet; their cartridges run
        // unbanked until they are.
        default:
            mbc = std::make_shared<NullMBC>();
            break;
    }

    ram_size = get_ram_size();
    if (ram_size > 0) {
        ram.reset(new u8[ram_size]);
        ram_access_types.reset(new u8[ram_size]());
        std::memset(ram.get(), 0xFF, ram_size);
    } else {
        ram.reset();
        ram_access_types.reset();
    }

    mbc->init(rom.get(), rom_size, ram.get(), ram_size);
    load_rtc(gb ? gb->cpu.cycles_4mhz : 0);
    if (gb) gb->mbc = mbc;
    rom_loaded = true;
}

void Cartridge::unload_rom() {
    if (!rom_loaded) return;
    u64 now = gb ? gb->cpu.cycles_4mhz : 0;
    save_ram();
    save_rtc(now);
    rom.reset();
    ram.reset();
    rom_access_types.reset();
    ram_access_types.reset();
    rom_loaded = false;
    screenshot_count = 0;
}

void Cartridge::init_mbc() {
    if (mbc) mbc->init(rom.get(), rom_size, ram.get(), ram_size);
}

int Cartridge::get_rom_bank() const { return mbc ? mbc->get_rom_bank() : 1; }
int Cartridge::get_ram_bank() const { return mbc ? mbc->get_ram_bank() : 0; }

void Cartridge::reset_ram() {
    if (ram_size >= 1) std::memset(ram.get(), 0xFF, ram_size);
}

int Cartridge::mapped_ram_offset(u16 address) const {
    if (ram_size <= 0) return -1;
    int offset = mbc->get_mapped_address_ram(address);
    return offset >= 0 && offset < ram_size ? offset : -1;
}

namespace {
inline bool valid_rom_offset(int offset, int rom_size) { return offset >= 0 && offset < rom_size; }
}  // namespace

void Cartridge::set_instruction_start_address(u16 address) {
    if (!rom_loaded) return;
    if (address < 0x8000) {
        int offset = mbc->get_mapped_address_rom(address);
        if (valid_rom_offset(offset, rom_size)) rom_access_types[offset] = ACCESS_INSTRUCTION;
    } else if (address >= 0xA000 && address < 0xC000) {
        int offset = mapped_ram_offset(address);
        if (offset >= 0) ram_access_types[offset] = ACCESS_INSTRUCTION;
    }
}

void Cartridge::set_address_access_type_to_data(u16 address) {
    if (!rom_loaded || address >= 0x8000) return;
    int offset = mbc->get_mapped_address_rom(address);
    if (valid_rom_offset(offset, rom_size)) rom_access_types[offset] = ACCESS_DATA;
    last_data_read_address = address;
    last_data_read_cycle = gb ? gb->cpu.cpu_cycles : 0;
}

void Cartridge::set_address_access_type_to_image(u16 address) {
    if (!rom_loaded || address >= 0x8000) return;
    int offset = mbc->get_mapped_address_rom(address);
    if (valid_rom_offset(offset, rom_size)) rom_access_types[offset] = ACCESS_IMAGE;
}

void Cartridge::reset_address_access_type(u16 address) {
    if (!rom_loaded) return;
    if (address < 0x8000) {
        int offset = mbc->get_mapped_address_rom(address);
        if (valid_rom_offset(offset, rom_size)) rom_access_types[offset] = ACCESS_UNMARKED;
    } else if (address >= 0xA000 && address < 0xC000) {
        int offset = mapped_ram_offset(address);
        if (offset >= 0) ram_access_types[offset] = ACCESS_UNMARKED;
    }
}

bool Cartridge::instruction_starts_at_address(u16 address) const {
    if (!rom_loaded) return false;
    if (address < 0x8000) {
        int offset = mbc->get_mapped_address_rom(address);
        return valid_rom_offset(offset, rom_size) && rom_access_types[offset] == ACCESS_INSTRUCTION;
    }
    if (address >= 0xA000 && address < 0xC000) {
        int offset = mapped_ram_offset(address);
        return offset >= 0 && ram_access_types[offset] == ACCESS_INSTRUCTION;
    }
    return false;
}
