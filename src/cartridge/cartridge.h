#pragma once
#include <memory>
#include <string>

#include "cartridge/mbc.h"
#include "core/types.h"

class GB;

// Code/data mark of one ROM or cartridge-RAM byte.
enum AddressAccessType : u8 {
    ACCESS_UNMARKED = 0,
    ACCESS_INSTRUCTION = 1,
    ACCESS_DATA = 2,
    ACCESS_IMAGE = 3,
};

// Cartridge header offsets this unit reads.
inline constexpr int HEADER_ENTRY = 0x0100;
inline constexpr int HEADER_LOGO = 0x0104;
inline constexpr int HEADER_LOGO_SIZE = 48;
inline constexpr int HEADER_CGB_FLAG = 0x0143;
inline constexpr int HEADER_TYPE = 0x0147;
inline constexpr int HEADER_RAM_SIZE = 0x0149;

// The ROM buffer is never smaller than the 32 KiB the CPU can see without
// banking; shorter images are padded with 0xFF (an open bus).
inline constexpr int MIN_ROM_SIZE = 0x8000;
// No cartridge controller addresses more than 8 MiB of ROM.
inline constexpr long long MAX_ROM_FILE_SIZE = 8LL * 1024 * 1024;

// The plug-in cartridge: ROM image, cartridge RAM, code/data marks and the
// bank controller built from the header.
class Cartridge {
public:
    // Loads a ROM file; on failure prints why and ends the process with exit
    // code 1 (the front end has nothing to run then).
    void load_rom(const std::string& path);
    // The same, reporting failure instead: returns false with a message in
    // `error` and leaves no ROM loaded.
    bool try_load_rom(const std::string& path, std::string& error);
    void load_rom_from_memory(const std::string& name, const u8* data, int size);
    void process_rom_header();
    void unload_rom();
    bool has_rom() const { return rom_loaded; }
    void init_mbc();
    int get_rom_bank() const;
    int get_ram_bank() const;
    int get_ram_size() const;
    bool has_battery() const;
    bool has_rtc() const;
    void reset_ram();
    static u32 round_up_power_of_two(u32 n);
    // A 1 MiB MBC1 image whose logo repeats at a 256 KiB step holds four games.
    bool is_mbc1_multicart() const;
    u8 header_byte(int offset) const { return rom && offset < rom_size ? rom[offset] : 0xFF; }

    // Battery RAM and clock files.
    void save_ram() {}
    void save_rtc(u64) {}
    void load_rtc(u64) {}

    // Code/data marks.
    void set_instruction_start_address(u16 address);
    void set_address_access_type_to_data(u16 address);
    void set_address_access_type_to_image(u16 address);
    void reset_address_access_type(u16 address);
    bool instruction_starts_at_address(u16 address) const;

    int screenshot_count = 0;
    GB* gb = nullptr;
    std::unique_ptr<u8[]> rom;
    std::unique_ptr<u8[]> ram;
    std::unique_ptr<u8[]> rom_access_types;
    std::unique_ptr<u8[]> ram_access_types;
    bool rom_loaded = false;
    u64 last_data_read_cycle = 0;
    u16 last_data_read_address = 0xFFFF;
    std::shared_ptr<MemoryBankController> mbc;
    int rom_size = 0;
    int ram_size = 0;
    std::string rom_path;

private:
    void allocate_rom(u32 image_size);
    int mapped_ram_offset(u16 address) const;
};
