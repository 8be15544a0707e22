#pragma once
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "cartridge/boot_rom.h"
#include "cartridge/cartridge.h"
#include "cartridge/mbc.h"
#include "core/dma.h"
#include "core/host.h"
#include "core/joypad.h"
#include "core/models.h"
#include "core/serial.h"
#include "core/timer.h"
#include "core/types.h"
#include "cpu/cpu.h"
#include "debug/debugger.h"
#include "debug/disassembler.h"
#include "video/ppu.h"

// Machine-core register addresses (the other units name their own).
inline constexpr u16 REG_KEY0 = 0xFF4C;
inline constexpr u16 REG_KEY1 = 0xFF4D;
inline constexpr u16 REG_VBK = 0xFF4F;
inline constexpr u16 REG_BOOT = 0xFF50;
inline constexpr u16 REG_OPRI = 0xFF6C;
inline constexpr u16 REG_SVBK = 0xFF70;
inline constexpr u16 REG_FF72 = 0xFF72;
inline constexpr u16 REG_FF73 = 0xFF73;
inline constexpr u16 REG_FF74 = 0xFF74;
inline constexpr u16 REG_FF75 = 0xFF75;
inline constexpr u16 REG_IE = 0xFFFF;

// KEY0 value the CGB boot ROM leaves when it runs a DMG cartridge.
inline constexpr u8 KEY0_DMG_COMPAT = 0x04;

// The whole machine: owns every unit, every on-chip memory and the bus.
class GB {
public:
    using ReadHandler = std::function<u8()>;
    using WriteHandler = std::function<void(u8)>;

    // One recorded change of the buttons, kept by value: a long play session
    // or input log is a few million of these.
    struct JoypadState {
        u8 state = 0;
        u64 cycle = 0;
        bool operator==(const JoypadState&) const = default;
    };
    struct SavedState {
        u64 cycle = 0;
        std::string data;
    };

    explicit GB(int id = 1);
    ~GB();
    GB(const GB&) = delete;
    GB& operator=(const GB&) = delete;

    // --- model selection, reset and running ---
    bool set_default_device_by_short_string(const std::string& name);
    void set_device(int index);
    BootROM* get_boot_rom_by_name(const std::string& name);
    void init_boot_roms();
    void load_rom(const std::string& path);
    void reload_rom();
    void reset();
    void run_frame();
    void run_single_instruction();
    void run_turbo_to_cycle(u64 cycle, bool flag);
    // Unloads the cartridge, writing its battery RAM and clock files; false
    // when one of them could not be written where it belongs.
    bool shutdown();

    // --- bus ---
    u8 read_byte(u16 address);
    // read_byte as the CPU uses it, inline: ROM, work RAM and high RAM come
    // straight from memory while nothing but that memory can answer there.
    u8 cpu_read_byte(u16 address);
    // write_byte as the CPU uses it, inline for work RAM and high RAM.
    void cpu_write_byte(u16 address, u8 value);
    void write_byte(u16 address, u8 value);
    u16 read_word(u16 address);
    void write_word(u16 address, u16 value);
    u8 read_byte_unrestricted(u16 address);
    u16 read_word_unrestricted(u16 address);
    u8 read_extra_oam(u16 address) const;
    void write_extra_oam(u16 address, u8 value);
    u8 vram_read_byte(u16 address) const;
    u16 vram_read_word(u16 address) const;
    u8 vram_banked_read_byte(u16 address, int bank) const;
    u16 vram_banked_read_word(u16 address, int bank) const;
    u8 wram_banked_read_byte(int bank, u16 address) const;
    u16 wram_banked_read_word(int bank, u16 address) const;
    void update_vram_pointer();
    void update_wram_pointer();
    int get_current_bank_for_address(u16 address) const;
    u16 get_pc() const { return cpu.pc; }
    int getId() const { return id; }

    // --- I/O register dispatch ---
    void add_io_handlers_for_address(int index, ReadHandler read, WriteHandler write);
    void set_cgb_to_dmg_mode();
    void set_double_speed(bool on);

    // --- save states ---
    // The whole running machine as a byte string, and back. A string only fits
    // a machine running the same cartridge on the same model. Loading either
    // takes the whole string or changes nothing: on failure it returns false,
    // says why in `error`, and the machine goes on exactly as before.
    std::string save_state();
    bool load_state(const std::string& data, std::string* error = nullptr);
    // Visits every item of the state in order, with the bank controller read
    // into or written from `controller` (gb_state.cpp).
    template <class Archive>
    void serialize(Archive& ar, std::shared_ptr<MemoryBankController>& controller);

    // --- recorded input, snapshots and rollback (gb_replay.cpp) ---
    // The recorded joypad state in force at the current 4 MHz cycle; running
    // past the last entry ends the replay and gives 0.
    u8 get_joypad_state_from_replay();
    void set_joypad_replay_mode(bool on) { replay_mode = on; }
    // Drops the recorded changes at or after the present cycle (see the
    // definition for when the list is kept whole).
    void discard_future_joypad_states();
    // Keeps a snapshot every SNAPSHOT_INTERVAL cycles of the 4 MHz clock, at
    // most MAX_SNAPSHOTS of them.
    void check_if_save_state_needed();
    // Restores the newest snapshot taken before `cycle` (or the machine as
    // its last reset left it) and replays the recorded input at full speed up
    // to `cycle`. False, with the machine as it was, when a snapshot does not
    // load.
    bool rollback_to(u64 cycle, std::string* error = nullptr);
    // Reads a joypad input log (pairs of hexadecimal time and buttons) into
    // the record and starts replaying it. A file that cannot be read ends the
    // process with "GBI not found: " and the path, and one larger than
    // MAX_INPUT_LOG_BYTES with "GBI too large: ", once the battery RAM and
    // clock are written; try_load_gbi reports it instead and leaves the
    // record as it was.
    void load_gbi(const std::string& path);
    bool try_load_gbi(const std::string& path, std::string* error = nullptr);
    // A log holds a pair of short words per change of the buttons: 32 MiB is
    // some three million changes, weeks of play at a press a second.
    static constexpr u64 MAX_INPUT_LOG_BYTES = 32ull << 20;

    static constexpr u64 SNAPSHOT_INTERVAL = 0x100000;
    static constexpr std::size_t MAX_SNAPSHOTS = 240;

    // Header byte 0x0143 straight from the cartridge (no bus, no overlay, no DMA).
    u8 cartridge_cgb_flag() const;

    int id = 1;
    Audio audio;
    CPU cpu;
    Cartridge cartridge;
    PPU ppu;
    Serial serial;
    DMA dma;
    Timer timer;
    Joypad joypad;
    std::shared_ptr<MemoryBankController> mbc;

    std::array<u8, 0x4000> vram{};
    std::array<u8, 0x8000> wram{};
    std::array<u8, 0x100> oam{};
    std::array<u8, 0x100> io_page{};
    u8 wram_bank = 1;
    u8 vram_bank = 0;
    u8 key0 = 0;
    u8 opri = 0;
    u8 ff72 = 0, ff73 = 0, ff74 = 0, ff75 = 0;
    u8 spare_byte = 0;
    bool boot_rom_mapped = false;
    // Changed through set_double_speed, which the CPU's clock step follows
    // (reset and a state load set the limits anew themselves).
    bool double_speed = false;
    bool speed_switch_armed = false;
    // Saved with the machine. A return from double speed moves the CPU off its
    // M-cycle grid and leaves the picture unit's timing as it was, so nothing
    // sets it: the speed switch and reset keep it clear.
    bool ppu_phase_shift = false;

    std::array<ReadHandler, 128> io_read_handlers;
    std::array<WriteHandler, 128> io_write_handlers;

    // Bank views: the start of the bank currently shown in each window. An
    // access indexes them with the address masked to the window's size.
    u8* vram_bank_ptr = nullptr;   // 8000-9FFF, mask 0x1FFF
    u8* wram_bank0_ptr = nullptr;  // C000-CFFF, mask 0x0FFF
    u8* wram_bankn_ptr = nullptr;  // D000-DFFF, mask 0x0FFF

    Disassembler disassembler;
    Debugger debugger;

    std::vector<JoypadState> joypad_states;
    u32 replay_index = 0;
    bool replay_mode = false;
    std::vector<std::shared_ptr<SavedState>> saved_states;
    // The machine as the last reset left it.
    std::string power_on_state;

    int requested_device = MODEL_AUTO;
    int device = DEFAULT_CGB_DEVICE;
    int default_dmg_device = DEFAULT_DMG_DEVICE;
    int default_cgb_device = DEFAULT_CGB_DEVICE;
    bool is_dmg = false;
    bool is_cgb = true;
    bool running = false;
    bool turbo_run = false;
    bool grey_shades = false;
    bool player_turbo = false;
    std::array<std::string, MODEL_COUNT> device_names;
    std::array<std::string, MODEL_COUNT> device_short_names;
    std::vector<std::unique_ptr<BootROM>> boot_roms;
    BootROM* current_boot_rom = nullptr;
    bool use_boot_roms = true;
    std::string rom_path;

    // True in the first cycles of a line whose OAM scan is starting.
    bool oam_scan_starting() const;
    bool lcd_on_line_takes_oam_writes() const;
    bool drawing_keeps_oam_from_writes() const;
    static constexpr int LCD_ON_LINE_OAM_WRITE_LOCK_CYCLE = 78;

    // Front-end seam; null runs headless.
    Host* host = nullptr;

private:
    bool read_state(const std::string& data, std::string& why);
    // What the state being read holds for its controller beyond the bank
    // registers, until the controller is in place (gb_state.cpp).
    struct ControllerExtras;
    std::shared_ptr<ControllerExtras> loaded_extras;
    // Size of the last state written, to reserve the next one at once.
    size_t last_state_size = 0;
    void check_loaded_state() const;
    void check_loaded_events() const;
    void install_io_handlers();
    void register_core_handlers();
    u8 read_cartridge_area(u16 address);
    u8 read_wram_area(u16 address);
    u8 read_oam_area(u16 address);
    void write_oam_area(u16 address, u8 value);
    bool boot_overlay_covers(u16 address, bool unrestricted) const;
};

// No OAM DMA holds a bus and no boot program overlays the ROM: then a ROM
// read is the controller's window, a work-RAM read the bank mapped there, and
// high RAM is always itself. (0x016F stays on the full path: one model reads
// it differently.)
[[gnu::always_inline]] inline u8 GB::cpu_read_byte(u16 address) {
    if (dma.oam_dma_bus_state == OAM_DMA_IDLE) {
        if (address < 0x8000) {
            if (!boot_rom_mapped && address != 0x016F) {
                if (const u8* window = mbc->rom_windows[address >> 14]) return window[address & 0x3FFF];
            }
        } else if (address >= 0xC000 && address < 0xFE00) {
            return ((address & 0x1000) ? wram_bankn_ptr : wram_bank0_ptr)[address & 0x0FFF];
        }
    }
    if (address >= 0xFF80 && address != REG_IE) return io_page[address & 0xFF];
    return read_byte(address);
}

// Work RAM takes a write while no OAM DMA holds a bus, high RAM always; the
// written byte is no longer a known instruction start (work RAM's echo marks
// the byte it shows).
[[gnu::always_inline]] inline void GB::cpu_write_byte(u16 address, u8 value) {
    if (address >= 0xC000 && address < 0xFE00 && dma.oam_dma_bus_state == OAM_DMA_IDLE) {
        ((address & 0x1000) ? wram_bankn_ptr : wram_bank0_ptr)[address & 0x0FFF] = value;
        disassembler.instruction_marks[address & 0xDFFF] = ACCESS_UNMARKED;
        return;
    }
    if (address >= 0xFF80 && address != REG_IE) {
        io_page[address & 0xFF] = value;
        disassembler.instruction_marks[address] = ACCESS_UNMARKED;
        return;
    }
    write_byte(address, value);
}
