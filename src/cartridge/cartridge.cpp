#include "cartridge/cartridge.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include <sys/stat.h>

#include "cartridge/file_io.h"
#include "cartridge/mbc1.h"
#include "cartridge/mbc1m.h"
#include "cartridge/mbc2.h"
#include "cartridge/mbc3.h"
#include "cartridge/mbc5.h"
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
        std::cout << error << '\n' << std::flush;
        std::exit(1);
    }
}

bool Cartridge::try_load_rom(const std::string& path, std::string& error) {
    // Only a regular file is read (a FIFO or device would block or never
    // end), and no more of it than a cartridge can hold.
    const file_io::FileRead file = file_io::read_regular_file(path, u64(MAX_ROM_FILE_SIZE));
    // The cartridge that was in the slot is written back before anything of
    // the new one is judged.
    if (rom_loaded) unload_rom();
    if (file.status == file_io::ReadStatus::Missing) {
        error = "ROM not found: " + path;
        return false;
    }
    if (file.status == file_io::ReadStatus::Failed) {
        error = "ROM not readable: " + path + " (" + file.error + ")";
        return false;
    }
    if (file.size > u64(MAX_ROM_FILE_SIZE)) {
        error = "ROM too large (over 8 MiB): " + path;
        return false;
    }
    if (file.bytes.size() < size_t(MIN_ROM_FILE_SIZE)) {
        error = "ROM too short to hold a cartridge header (" + std::to_string(file.bytes.size()) +
                " bytes; the header takes the first " + std::to_string(MIN_ROM_FILE_SIZE) + "): " + path;
        return false;
    }
    allocate_rom(u32(file.bytes.size()));
    std::copy(file.bytes.begin(), file.bytes.end(), rom.get());
    rom_path = path;
    rom_from_file = true;
    process_rom_header();
    return true;
}

void Cartridge::load_rom_from_memory(const std::string& name, const u8* data, int size) {
    if (rom_loaded) unload_rom();
    size = data ? std::clamp(size, 0, int(MAX_ROM_FILE_SIZE)) : 0;
    rom_path = name;
    // An image handed over in memory has no file beside which its battery
    // RAM or clock could live.
    rom_from_file = false;
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
    battery_file = {};
    rtc_file = {};
    rom_access_types.reset(new u8[rom_size]());
    rom_access_types[HEADER_ENTRY] = ACCESS_INSTRUCTION;

    switch (controller_for_type(header_byte(HEADER_TYPE))) {
        case ControllerKind::MBC1:
            if (is_mbc1_multicart())
                mbc = std::make_shared<MBC1M>();
            else
                mbc = std::make_shared<MBC1>();
            break;
        case ControllerKind::MBC2:
            mbc = std::make_shared<MBC2>();
            break;
        case ControllerKind::MBC3:
            mbc = std::make_shared<MBC3>();
            break;
        case ControllerKind::MBC5:
            mbc = std::make_shared<MBC5>();
            break;
        default:
            mbc = std::make_shared<NullMBC>();
            break;
    }

    ram_size = get_ram_size();
    if (ram_size > 0) {
        ram.reset(new u8[ram_size]);
        ram_access_types.reset(new u8[size_t(padded_ram_marks_size())]());
        std::memset(ram.get(), 0xFF, ram_size);
        if (has_battery() && rom_from_file) load_battery_ram();
    } else {
        ram.reset();
        ram_access_types.reset();
    }

    mbc->init(rom.get(), rom_size, ram.get(), ram_size);
    load_rtc(gb ? gb->cpu.cycles_4mhz : 0);
    clock_start_pending = true;
    if (gb) gb->mbc = mbc;
    rom_loaded = true;
    update_mark_windows();
}

bool Cartridge::unload_rom() {
    if (!rom_loaded) return true;
    const bool written = write_battery_files();
    rom.reset();
    ram.reset();
    rom_access_types.reset();
    ram_access_types.reset();
    rom_loaded = false;
    update_mark_windows();
    screenshot_count = 0;
    return written;
}

void Cartridge::init_mbc() {
    if (mbc) mbc->init(rom.get(), rom_size, ram.get(), ram_size);
    update_mark_windows();
}

int Cartridge::get_rom_bank() const { return mbc ? mbc->get_rom_bank() : 1; }
int Cartridge::get_ram_bank() const { return mbc ? mbc->get_ram_bank() : 0; }

void Cartridge::reset_ram() {
    if (ram_size >= 1) std::memset(ram.get(), 0xFF, ram_size);
}

// Marks of RAM bytes go through the RAM window too: an address with no RAM
// byte behind it (past a small RAM, a clock register selected) has none.
int Cartridge::mapped_ram_offset(u16 address) const {
    if (!rom_loaded || ram_size <= 0 || ram_mark_window == unbacked_marks.data()) return -1;
    const int offset = int(ram_mark_window - ram_access_types.get()) + (address & 0x1FFF);
    return offset < ram_size ? offset : -1;
}

int Cartridge::padded_ram_marks_size() const { return std::max(0x2000, (ram_size + 0x1FFF) & ~0x1FFF); }

void Cartridge::update_mark_windows() {
    for (int window = 0; window < 2; ++window) {
        const int offset = rom_loaded && mbc ? mbc->get_mapped_address_rom(u16(window * 0x4000)) : -1;
        const bool backed = offset >= 0 && offset <= rom_size - 0x4000;
        rom_mark_windows[size_t(window)] = backed ? rom_access_types.get() + offset : unbacked_marks.data();
    }
    ram_mark_window = unbacked_marks.data();
    if (rom_loaded && mbc && ram_size > 0) {
        // A selected clock register maps every address to one place: no RAM.
        const int first = mbc->get_mapped_address_ram(0xA000);
        const bool linear = mbc->get_mapped_address_ram(0xA001) == first + 1;
        if (linear && first >= 0 && first < ram_size && first + 0x2000 <= padded_ram_marks_size())
            ram_mark_window = ram_access_types.get() + first;
    }
    if (gb) gb->disassembler.update_mark_windows();
}

void Cartridge::set_instruction_start_address(u16 address) {
    if (address < 0x8000) {
        mark_rom(address, ACCESS_INSTRUCTION);
    } else if (address >= 0xA000 && address < 0xC000) {
        const int offset = mapped_ram_offset(address);
        if (offset >= 0) ram_access_types[offset] = ACCESS_INSTRUCTION;
    }
}

void Cartridge::set_address_access_type_to_image(u16 address) {
    if (address < 0x8000) mark_rom(address, ACCESS_IMAGE);
}

void Cartridge::reset_address_access_type(u16 address) {
    if (address < 0x8000) {
        mark_rom(address, ACCESS_UNMARKED);
    } else if (address >= 0xA000 && address < 0xC000) {
        const int offset = mapped_ram_offset(address);
        if (offset >= 0) ram_access_types[offset] = ACCESS_UNMARKED;
    }
}

bool Cartridge::instruction_starts_at_address(u16 address) const {
    if (!rom_loaded) return false;
    if (address < 0x8000) {
        const u8* window = rom_mark_windows[address >> 14];
        return window != unbacked_marks.data() && window[address & 0x3FFF] == ACCESS_INSTRUCTION;
    }
    if (address >= 0xA000 && address < 0xC000) {
        const int offset = mapped_ram_offset(address);
        return offset >= 0 && ram_access_types[offset] == ACCESS_INSTRUCTION;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Battery RAM, clock file and derived paths

std::string Cartridge::remove_extension(const std::string& path) {
    const size_t dot = path.rfind('.');
    const size_t separator = path.find_last_of("/\\");
    const size_t name_start = separator == std::string::npos ? 0 : separator + 1;
    // A dot inside a directory name, or leading a hidden file's name, starts
    // no extension.
    if (dot == std::string::npos || dot <= name_start) return path;
    return path.substr(0, dot);
}

std::string Cartridge::get_battery_save_path() const { return remove_extension(rom_path) + ".sav"; }
std::string Cartridge::get_rtc_save_path() const { return remove_extension(rom_path) + ".rtc"; }
std::string Cartridge::get_sym_file_path() const { return remove_extension(rom_path) + ".sym"; }

std::string Cartridge::get_screenshot_path() {
    const int n = screenshot_count++;
    const std::string base = remove_extension(rom_path);
    return n == 0 ? base + ".ppm" : base + "_" + std::to_string(n + 1) + ".ppm";
}

bool Cartridge::is_rom_file(const std::string& path) const {
    namespace fs = std::filesystem;
    if (rom_path.empty()) return false;
    std::error_code same_ec, a_ec, b_ec;
    if (fs::equivalent(path, rom_path, same_ec) && !same_ec) return true;
    const fs::path a = fs::absolute(path, a_ec).lexically_normal();
    const fs::path b = fs::absolute(rom_path, b_ec).lexically_normal();
    return !a_ec && !b_ec && a == b;
}

void Cartridge::load_battery_ram() {
    const std::string path = get_battery_save_path();
    // A ROM named like its own battery file is not a battery file.
    if (is_rom_file(path)) return;
    // A short file fills only its own length; the rest stays 0xFF.
    const file_io::FileRead file = file_io::read_regular_file(path, u64(ram_size));
    if (file.status == file_io::ReadStatus::Ok) std::copy(file.bytes.begin(), file.bytes.end(), ram.get());
    if (file.status == file_io::ReadStatus::Missing) report_dangling_link(path, "battery RAM", "a blank RAM");
    if (file.status == file_io::ReadStatus::Failed) {
        battery_file.unreadable = true;
        report_unreadable(path, "battery RAM", file.error, "RAM");
    }
    // Another program's file may carry more after the RAM (its clock, say).
    if (file.status == file_io::ReadStatus::Ok && file.size > u64(ram_size)) {
        battery_file.not_taken_in_full = true;
        std::cout << "The battery RAM file " << path << " is " << file.size << " bytes, more than the " << ram_size
                  << " bytes of the cartridge's RAM: the game starts with the first " << ram_size
                  << ", and the whole file will be kept beside it when the game is saved." << std::endl;
    }
}

void Cartridge::report_unreadable(const std::string& path, const char* what, const std::string& why,
                                  const char* starts_blank) {
    std::cout << "The " << what << " file " << path << " exists but could not be read (" << why << "). The game "
              << "starts with a blank " << starts_blank << ", and " << path << " will be left as it is: this "
              << "session's " << starts_blank << " will be saved beside it." << std::endl;
}

void Cartridge::report_dangling_link(const std::string& path, const char* what, const char* starts_with) {
    const std::string target = file_io::dangling_link_target(path);
    if (target.empty()) return;
    std::cout << "The " << what << " file " << path << " is a link that leads nowhere (to " << target
              << "). The game starts with " << starts_with << "; at exit this session is saved where the link "
              << "points if that can be written then, else beside " << path << "." << std::endl;
}

bool Cartridge::write_beside(const std::string& path, SaveFileAtLoad& file, const u8* data, size_t size,
                             const std::string& why_left) {
    // A second save of the same session goes to the file of its first.
    std::string error;
    const bool written = file.beside.empty()
                             ? file_io::create_numbered_file(path, UNREAD_FILE_SUFFIX, data, size, file.beside, error)
                             : file_io::replace_file(file.beside, data, size, error) == file_io::ReplaceStatus::Replaced;
    std::cout << why_left;
    if (written)
        std::cout << "this session's data was written to " << file.beside << " instead." << std::endl;
    else
        std::cout << "this session's data could not be kept: " << error << "." << std::endl;
    return false;
}

bool Cartridge::keep_copy(const std::string& path, const char* what, std::string& why) {
    std::string kept;
    switch (file_io::copy_to_numbered_file(path, BACKUP_SUFFIX, MAX_KEPT_FILE_SIZE, kept, why)) {
        case file_io::ReadStatus::Missing: return true;  // gone meanwhile: nothing left to lose
        case file_io::ReadStatus::Failed: return false;
        case file_io::ReadStatus::Ok: break;
    }
    std::cout << "The " << what << " file " << path << " was kept as " << kept
              << " before this session's data was written over it." << std::endl;
    return true;
}

bool Cartridge::write_save_file(const std::string& path, SaveFileAtLoad& file, const u8* data, size_t size,
                                const char* what) {
    // Why the player's file is left as it is, in the words that open the
    // message; the session then goes to a file of its own beside it.
    auto left = [&](const std::string& why) {
        return "The " + std::string(what) + " file " + path + " " + why + ", so it was left as it was; ";
    };
    if (file.unreadable) return write_beside(path, file, data, size, left("could not be read at start"));
    if (file.not_taken_in_full) {
        std::string why;
        bool kept = false;
        try {
            kept = keep_copy(path, what, why);
        } catch (const std::exception& e) {  // memory ran out, say: the session still goes beside it
            why = e.what();
        }
        if (!kept)
            return write_beside(path, file, data, size, left("could not be kept as a backup (" + why + ")"));
        // Kept: what is there from now on is this session's own.
        file.not_taken_in_full = false;
    }
    std::string error = "that is the ROM itself";
    struct stat before {};
    const bool existed = ::stat(path.c_str(), &before) == 0;
    const file_io::ReplaceStatus status =
        is_rom_file(path) ? file_io::ReplaceStatus::Failed : file_io::replace_file(path, data, size, error);
    if (status == file_io::ReplaceStatus::Replaced) return true;
    if (status == file_io::ReplaceStatus::ReadOnly) return write_beside(path, file, data, size, left("is read-only"));
    const std::string nowhere = file_io::dangling_link_target(path);
    if (!nowhere.empty())
        return write_beside(path, file, data, size, left("is a link that leads nowhere (to " + nowhere + ")"));
    return write_beside(path, file, data, size,
                        "Could not write the " + std::string(what) + " file " + path + ": " + error +
                            (existed ? "; the previous file is kept, and " : "; "));
}

bool Cartridge::write_file_replacing(const std::string& path, const u8* data, size_t size, const char* what) const {
    auto fail = [&](const std::string& why) {
        std::cout << "Could not write the " << what << " file " << path << ": " << why
                  << "; the previous file is kept" << std::endl;
        return false;
    };
    if (is_rom_file(path)) return fail("that is the ROM itself");
    std::string error;
    if (file_io::replace_file(path, data, size, error) != file_io::ReplaceStatus::Replaced) return fail(error);
    return true;
}

bool Cartridge::save_ram() {
    if (!rom_loaded || !rom_from_file || !has_battery() || ram_size <= 0 || !ram) return true;
    return write_save_file(get_battery_save_path(), battery_file, ram.get(), size_t(ram_size), "battery RAM");
}

bool Cartridge::save_rtc(u64 cycle) {
    auto* mbc3 = dynamic_cast<MBC3*>(mbc.get());
    if (!rom_loaded || !rom_from_file || !has_rtc() || !mbc3) return true;
    const RtcFileImage image = mbc3->save_rtc(cycle, host_time());
    return write_save_file(get_rtc_save_path(), rtc_file, image.data(), image.size(), "clock");
}

bool Cartridge::load_rtc(u64 cycle) {
    auto* mbc3 = dynamic_cast<MBC3*>(mbc.get());
    if (!has_rtc() || !mbc3 || !rom_from_file) return false;
    const std::string path = get_rtc_save_path();
    if (is_rom_file(path)) return false;
    const file_io::FileRead file = file_io::read_regular_file(path, RTC_FILE_SIZE);
    if (file.status == file_io::ReadStatus::Failed) {
        rtc_file.unreadable = true;
        report_unreadable(path, "clock", file.error, "clock");
        return false;
    }
    if (file.status == file_io::ReadStatus::Missing) report_dangling_link(path, "clock", "a clock from zero");
    if (file.status != file_io::ReadStatus::Ok) return false;
    if (file.size == RTC_FILE_SIZE && file.bytes.size() == RTC_FILE_SIZE) {
        RtcFileImage image{};
        std::copy(file.bytes.begin(), file.bytes.end(), image.begin());
        mbc3->load_rtc(image, cycle, host_time());
    } else if (file.size > 0) {
        // A file of any other length was not written by a clock like this
        // one (other programs write 44 bytes, say): it is not read, and it is
        // kept before this session's clock replaces it. An empty file holds
        // nothing to keep.
        rtc_file.not_taken_in_full = true;
        std::cout << "The clock file " << path << " is " << file.size << " bytes, not the " << RTC_FILE_SIZE
                  << " of a clock file: the clock starts from zero, and the file will be kept beside it when "
                  << "the game is saved." << std::endl;
    }
    return true;
}

void Cartridge::start_clock(u64 cycle) {
    if (!clock_start_pending) return;
    clock_start_pending = false;
    if (auto* mbc3 = dynamic_cast<MBC3*>(mbc.get())) mbc3->rtc_last_sync_cycle = cycle;
}

bool Cartridge::write_battery_files() {
    if (!rom_loaded) return true;
    const u64 now = gb ? gb->cpu.cycles_4mhz : 0;
    // Whatever goes wrong with one file (memory running out, say) does not
    // keep the other from being written.
    auto guarded = [](const char* what, const std::function<bool()>& write) {
        try {
            return write();
        } catch (const std::exception& e) {
            std::cout << "Could not write the " << what << " file: " << e.what() << std::endl;
            return false;
        }
    };
    const bool ram_written = guarded("battery RAM", [&] { return save_ram(); });
    const bool clock_written = guarded("clock", [&] { return save_rtc(now); });
    return ram_written && clock_written;
}
