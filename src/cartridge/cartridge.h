#pragma once
#include <array>
#include <ctime>
#include <functional>
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
// Suffix of the file that takes a session's battery RAM or clock when the
// player's file is left as it is (it could not be read at start, it is
// read-only, it cannot be replaced): "game.sav.new", then "game.sav.new-2",
// ... "game.sav.new-1000", each taken by one session only, so that no
// earlier one is replaced.
inline constexpr const char* UNREAD_FILE_SUFFIX = ".new";
// Suffix of the copy kept of a file that is about to be replaced although
// its content was not all taken in ("game.rtc.bak", then "game.rtc.bak-2",
// ... so that no earlier copy is replaced): a clock file of another length,
// a battery file longer than the RAM, a developer's symbol file.
inline constexpr const char* BACKUP_SUFFIX = ".bak";
// No file this program keeps a copy of is larger than this.
inline constexpr u64 MAX_KEPT_FILE_SIZE = 64ull * 1024 * 1024;
// No cartridge controller addresses more than 8 MiB of ROM.
inline constexpr long long MAX_ROM_FILE_SIZE = 8LL * 1024 * 1024;
// Every cartridge holds at least its header, which ends at 0x014F: a shorter
// file is no ROM image (an empty one would run a blank machine for ever).
inline constexpr int MIN_ROM_FILE_SIZE = 0x0150;

// The plug-in cartridge: ROM image, cartridge RAM, code/data marks and the
// bank controller built from the header.
class Cartridge {
public:
    Cartridge() {
        rom_mark_windows = {unbacked_marks.data(), unbacked_marks.data()};
        ram_mark_window = unbacked_marks.data();
    }
    // The mark windows point into the object itself.
    Cartridge(const Cartridge&) = delete;
    Cartridge& operator=(const Cartridge&) = delete;

    // Loads a ROM file; on failure prints why and ends the process with exit
    // code 1 (the front end has nothing to run then).
    void load_rom(const std::string& path);
    // The same, reporting failure instead: returns false with a message in
    // `error` and leaves no ROM loaded. A file that is missing, unreadable,
    // not a regular file, over 8 MiB or too short to hold a header is refused.
    bool try_load_rom(const std::string& path, std::string& error);
    // An image of any length, shorter ones padded like a short file's buffer
    // (tests and fuzz targets hand over bare code); it has no battery files.
    void load_rom_from_memory(const std::string& name, const u8* data, int size);
    void process_rom_header();
    // Writes the battery files back and frees the cartridge; false when a
    // file could not be written where it belongs.
    bool unload_rom();
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

    // Battery RAM and clock files, beside the ROM. A file is written to a
    // temporary name first and renamed over the old one only once it is
    // complete and on the disk. A file that was there at loading but could
    // not be read is never replaced, nor one this user may not write (a
    // read-only one), and one that cannot be replaced (its link leads
    // nowhere, the folder is another user's) is left as it is: the session
    // goes beside the path derived from the ROM (UNREAD_FILE_SUFFIX). The
    // writers then return false (with a message on standard output), since
    // the game will not find the data there, and so they do when the data
    // could not be kept at all; a cartridge with nothing to keep counts as
    // written. A file that was read but not in full is first kept
    // (BACKUP_SUFFIX), or, when no copy can be made, left alone like an
    // unreadable one.
    bool save_ram();
    bool save_rtc(u64 cycle);
    // Reads the clock file and adds the host time passed since it was
    // written; false when the cartridge has no clock or the file is missing.
    bool load_rtc(u64 cycle);
    // The machine's reset is done and its 4 MHz clock stands at `cycle`:
    // the cartridge clock counts emulated time from there on. Only the first
    // reset after a load moves it, so a launch adds no time that did not pass.
    void start_clock(u64 cycle);
    // Writes the battery RAM and then the clock file at the machine's present
    // clock. Unloading does it; so must every path that ends the process.
    bool write_battery_files();

    // File names derived from the ROM path.
    static std::string remove_extension(const std::string& path);
    std::string get_battery_save_path() const;
    std::string get_rtc_save_path() const;
    std::string get_sym_file_path() const;
    // base.ppm, then base_2.ppm, base_3.ppm, ...
    std::string get_screenshot_path();
    // Whether `path` names the ROM file itself, which no derived file may
    // replace.
    bool is_rom_file(const std::string& path) const;
    // Writes a file through a temporary one renamed over it once complete;
    // never over the ROM, nor over a file this user may not write. False (with a message naming `what`) on failure,
    // the old file being kept then.
    bool write_file_replacing(const std::string& path, const u8* data, size_t size, const char* what) const;

    // Code/data marks, kept per byte of the ROM and RAM buffers: the same
    // CPU address in another bank is another byte. A later mark replaces an
    // earlier one.
    void set_instruction_start_address(u16 address);
    // A ROM data read by the CPU, at CPU clock `cpu_cycle`: marks the byte
    // and remembers the read for the image rule of tile-data writes.
    void set_address_access_type_to_data(u16 address, u64 cpu_cycle) {
        if (address >= 0x8000) return;
        mark_rom(address, ACCESS_DATA);
        last_data_read_address = address;
        last_data_read_cycle = cpu_cycle;
    }
    void set_address_access_type_to_image(u16 address);
    void reset_address_access_type(u16 address);
    bool instruction_starts_at_address(u16 address) const;
    // The mark of the ROM byte a CPU address in 0000-7FFF shows now: one
    // store through the window of its half, no controller call.
    void mark_rom(u16 address, AddressAccessType kind) {
        rom_mark_windows[(address >> 14) & 1][address & 0x3FFF] = kind;
    }
    // Points the mark windows (and the disassembler's, which follow them) at
    // the banks the controller maps now. The bus calls it after every write
    // to the controller; whoever changes the controller's banks another way
    // (restoring its registers) calls it too.
    void update_mark_windows();

    // Symbol file beside the ROM (base name + ".sym").
    std::string generate_symbol_file() const;
    static std::string format_sym_file_entry(int bank, u16 address, const std::string& kind, int length,
                                             const std::string& suffix);
    // Writes the file through a temporary file renamed into place; false
    // (with a message naming the file) when it could not be written, the old
    // file being kept then. A file there that this program did not write is
    // first kept under a new name (".sym.bak", ".sym.bak-2", ...: no copy is
    // ever replaced); its path is then stored in `backup_path`.
    bool write_symbol_file(std::string* backup_path = nullptr);
    // Whether a symbol-file text starts with the banner this program writes
    // (one line, the ROM's name escaped), or one an earlier version wrote.
    static bool is_own_symbol_file(const std::string& text);

    int screenshot_count = 0;
    GB* gb = nullptr;
    std::unique_ptr<u8[]> rom;
    std::unique_ptr<u8[]> ram;
    std::unique_ptr<u8[]> rom_access_types;
    std::unique_ptr<u8[]> ram_access_types;
    // Start of the marks of the bank shown at 0000-3FFF and at 4000-7FFF,
    // and of the RAM bank shown at A000-BFFF. Bank controllers switch whole
    // banks, so a window's marks are one run of the mark buffer (the RAM
    // marks are padded to whole 8 KiB banks). A window with no ROM or RAM
    // behind it points at `unbacked_marks`, which nothing reads.
    std::array<u8*, 2> rom_mark_windows{};
    u8* ram_mark_window = nullptr;
    bool rom_loaded = false;
    // Loaded from a file: battery RAM and clock files live beside it.
    bool rom_from_file = false;
    u64 last_data_read_cycle = 0;
    u16 last_data_read_address = 0xFFFF;
    std::shared_ptr<MemoryBankController> mbc;
    int rom_size = 0;
    int ram_size = 0;
    std::string rom_path;
    // Host wall-clock seconds since 1970, for the clock file.
    std::function<u64()> host_time = [] { return u64(std::time(nullptr)); };
    // What loading found of the battery RAM file and of the clock file.
    struct SaveFileAtLoad {
        // There but not readable: never replaced.
        bool unreadable = false;
        // Read, but holding more than the cartridge took in.
        bool not_taken_in_full = false;
        // Where this session's data went instead of the file, once written.
        std::string beside;
    };
    SaveFileAtLoad battery_file;
    SaveFileAtLoad rtc_file;
    bool clock_start_pending = false;

private:
    std::array<u8, 0x4000> unbacked_marks{};
    void allocate_rom(u32 image_size);
    int mapped_ram_offset(u16 address) const;
    int padded_ram_marks_size() const;
    void load_battery_ram();
    static void report_unreadable(const std::string& path, const char* what, const std::string& why,
                                  const char* starts_blank);
    bool write_save_file(const std::string& path, SaveFileAtLoad& file, const u8* data, size_t size,
                         const char* what);
    static void report_dangling_link(const std::string& path, const char* what, const char* starts_with);
    static bool write_beside(const std::string& path, SaveFileAtLoad& file, const u8* data, size_t size,
                             const std::string& why_left);
    static bool keep_copy(const std::string& path, const char* what, std::string& why);
};
