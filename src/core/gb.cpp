#include "core/gb.h"

#include <algorithm>

#include "cartridge/null_mbc.h"

namespace {

struct BootSlot {
    const char* name;
    int size;
};
constexpr BootSlot BOOT_SLOTS[] = {
    {"dmg0", 256}, {"dmg", 256},  {"mgb", 256},  {"sgb", 256},  {"sgb2", 256},
    {"cgb0", 2304}, {"cgb", 2304}, {"agb", 2304}, {"pokemon_stadium_2", 1008},
};

u8 default_read() { return 0xFF; }
void default_write(u8) {}

// CGB-only registers FF4C-FF7F that survive the switch into DMG-compatibility
// mode: VBK, the palette index registers, FF72/FF73/FF75 and the audio PCM
// registers. Everything else in that range goes back to open bus.
constexpr bool survives_dmg_mode(int address) {
    switch (address) {
        case 0xFF4F: case 0xFF68: case 0xFF6A: case 0xFF72: case 0xFF73: case 0xFF75: case 0xFF76: case 0xFF77:
            return true;
        default:
            return false;
    }
}

}  // namespace

GB::GB(int id_) : id(id_) {
    for (int i = 0; i < MODEL_COUNT; ++i) {
        device_names[i] = std::string(MODELS[i].long_name);
        device_short_names[i] = std::string(MODELS[i].short_name);
    }
    cartridge.gb = this;
    cpu.gb = this;
    ppu.gb = this;
    serial.gb = this;
    dma.gb = this;
    timer.gb = this;
    joypad.gb = this;
    audio.init();
    audio.set_gb(this);
    disassembler.gb = this;
    debugger.gb = this;
    if (audio.wav_capture_enabled) audio.open_wav_file_for_writing();
    init_boot_roms();
    // The bank views always point into their arrays, even before a reset.
    vram_bank_ptr = vram.data();
    wram_bank0_ptr = wram.data();
    wram_bankn_ptr = wram.data() + 0x1000;
}

GB::~GB() = default;

void GB::init_boot_roms() {
    boot_roms.clear();
    for (const BootSlot& slot : BOOT_SLOTS) boot_roms.push_back(std::make_unique<BootROM>(slot.name, slot.size));
}

bool GB::set_default_device_by_short_string(const std::string& name) {
    for (int i = 0; i < MODEL_COUNT; ++i) {
        if (device_short_names[i] == name) {
            requested_device = i;
            return true;
        }
    }
    return false;
}

void GB::set_device(int index) {
    device = index;
    is_dmg = !model_is_cgb(index);
    is_cgb = model_is_cgb(index);
}

BootROM* GB::get_boot_rom_by_name(const std::string& name) {
    for (auto& slot : boot_roms)
        if (slot->name == name) return slot.get();
    return nullptr;
}

void GB::load_rom(const std::string& path) {
    rom_path = path;
    cartridge.load_rom(path);
    disassembler.load_symbol_file();
    reset();
}

void GB::reload_rom() { load_rom(rom_path); }

u8 GB::cartridge_cgb_flag() const { return cartridge.header_byte(HEADER_CGB_FLAG); }

void GB::reset() {
    if (!cartridge.has_rom()) return;
    boot_rom_mapped = true;

    device = requested_device;
    if (device == MODEL_AUTO) device = (cartridge_cgb_flag() & 0x80) ? default_cgb_device : default_dmg_device;

    ppu_phase_shift = false;
    double_speed = false;
    speed_switch_armed = false;
    is_dmg = !model_is_cgb(device);
    is_cgb = model_is_cgb(device);
    spare_byte = 0;
    wram_bank = 1;
    vram_bank = 0;
    key0 = 0;
    opri = 0;
    ff72 = ff73 = ff74 = ff75 = 0;

    install_io_handlers();

    vram.fill(0x00);
    wram.fill(0xFF);
    oam.fill(0x00);
    io_page.fill(0x00);
    update_vram_pointer();
    wram_bank0_ptr = wram.data();
    update_wram_pointer();

    disassembler.reset();
    debugger.reset();
    ppu.reset();
    serial.reset();
    dma.reset();
    timer.reset();
    joypad.reset();
    cpu.reset();
    audio.reset();

    current_boot_rom = get_boot_rom_by_name(std::string(MODELS[device].boot_slot));
    if (!(current_boot_rom && current_boot_rom->loaded && use_boot_roms)) cpu.emulate_boot_rom();
    // The cartridge clock runs from here: a skipped boot took no time.
    cartridge.start_clock(cpu.cycles_4mhz);

    running = true;
    turbo_run = false;
    replay_mode = false;
    replay_index = 0;
    // A rollback to a cycle before the first snapshot starts from here.
    power_on_state = save_state();
}

// Every slot gets the default pair, then each unit installs its registers.
void GB::install_io_handlers() {
    io_read_handlers.fill(default_read);
    io_write_handlers.fill(default_write);
    cpu.register_read_write_handlers(this);
    ppu.register_read_write_handlers(this);
    serial.register_read_write_handlers(this);
    dma.register_read_write_handlers(this);
    timer.register_read_write_handlers(this);
    audio.register_read_write_handlers(this);
    joypad.register_read_write_handlers(this);
    register_core_handlers();
}

// Nothing runs without a cartridge: after shutdown() or a failed load the
// bank controller would read ROM that is gone.
void GB::run_frame() {
    if (running && cartridge.has_rom()) cpu.run_frame();
}

void GB::run_single_instruction() {
    if (cartridge.has_rom()) cpu.run_single_instruction();
}

void GB::run_turbo_to_cycle(u64 cycle, bool flag) {
    if (!running || !cartridge.has_rom()) return;
    turbo_run = true;
    cpu.run_turbo_to_cycle(cycle, flag);
    turbo_run = false;
}

bool GB::shutdown() {
    if (audio.wav_file_open) audio.close_wav_file_for_writing();
    running = false;
    return cartridge.unload_rom();
}

// ---------------------------------------------------------------------------
// I/O register dispatch

void GB::add_io_handlers_for_address(int index, ReadHandler read, WriteHandler write) {
    if (index < 0 || index >= 128) return;
    io_read_handlers[index] = std::move(read);
    io_write_handlers[index] = std::move(write);
}

void GB::register_core_handlers() {
    auto slot = [](u16 address) { return int(address - 0xFF00); };
    add_io_handlers_for_address(slot(REG_BOOT), default_read, [this](u8) {
        boot_rom_mapped = false;
        // The boot program's bytes are no longer code of this machine.
        for (u16 a = 0x0000; a <= 0x00FF; ++a) cartridge.reset_address_access_type(a);
        if (is_cgb) {
            for (u16 a = 0x0200; a <= 0x08FF; ++a) cartridge.reset_address_access_type(a);
            if (key0 == KEY0_DMG_COMPAT) set_cgb_to_dmg_mode();
        }
    });
    if (!is_cgb) return;
    add_io_handlers_for_address(
        slot(REG_KEY0), [this]() -> u8 { return boot_rom_mapped ? key0 : 0xFF; },
        [this](u8 v) {
            if (boot_rom_mapped) key0 = v;
        });
    add_io_handlers_for_address(
        slot(REG_KEY1), [this]() -> u8 { return u8((double_speed << 7) | speed_switch_armed | 0x7E); },
        [this](u8 v) { speed_switch_armed = v & 1; });
    add_io_handlers_for_address(
        slot(REG_VBK), [this]() -> u8 { return vram_bank | 0xFE; },
        [this](u8 v) {
            if (key0 == KEY0_DMG_COMPAT) return;
            vram_bank = v & 1;
            update_vram_pointer();
        });
    add_io_handlers_for_address(
        slot(REG_OPRI), [this]() -> u8 { return opri | 0xFE; }, [this](u8 v) { opri = v & 1; });
    add_io_handlers_for_address(
        slot(REG_SVBK), [this]() -> u8 { return wram_bank; },
        [this](u8 v) {
            wram_bank = v & 7;
            if (wram_bank == 0) wram_bank = 1;
            update_wram_pointer();
        });
    add_io_handlers_for_address(
        slot(REG_FF72), [this]() -> u8 { return ff72; }, [this](u8 v) { ff72 = v; });
    add_io_handlers_for_address(
        slot(REG_FF73), [this]() -> u8 { return ff73; }, [this](u8 v) { ff73 = v; });
    add_io_handlers_for_address(
        slot(REG_FF74), [this]() -> u8 { return ff74; }, [this](u8 v) { ff74 = v; });
    add_io_handlers_for_address(
        slot(REG_FF75), [this]() -> u8 { return ff75 | 0x8F; }, [this](u8 v) { ff75 = v; });
}

void GB::set_cgb_to_dmg_mode() {
    for (int address = 0xFF4C; address <= 0xFF7F; ++address) {
        if (survives_dmg_mode(address)) continue;
        io_read_handlers[address - 0xFF00] = default_read;
        io_write_handlers[address - 0xFF00] = default_write;
    }
}

// ---------------------------------------------------------------------------
// Bus

void GB::update_vram_pointer() { vram_bank_ptr = vram.data() + (vram_bank & 1) * 0x2000; }

void GB::update_wram_pointer() { wram_bankn_ptr = wram.data() + (wram_bank & 7) * 0x1000; }

bool GB::boot_overlay_covers(u16 address, bool unrestricted) const {
    if (!boot_rom_mapped || !current_boot_rom || !current_boot_rom->loaded) return false;
    if (address < 0x0100) return true;
    if (!is_cgb) return false;
    if (device == MODEL_POKEMON_STADIUM_2) {
        if (address >= 0x03F0) return false;
        return !unrestricted || address >= 0x0200;
    }
    return address >= 0x0200 && address < 0x0900;
}

u8 GB::read_cartridge_area(u16 address) {
    switch (dma.oam_dma_bus_state) {
        case 1: case 2:
            return dma.oam_dma_byte;
        case 5: case 6: case 7:
            return 0xFF;
        default:
            break;
    }
    if (address < 0x4000) return mbc->read_byte_rom0(address);
    if (address < 0x8000) return mbc->read_byte_rom1(address);
    return mbc->read_byte_sram(address);
}

u8 GB::read_wram_area(u16 address) {
    const int state = dma.oam_dma_bus_state;
    if (state == 1 || state == 4) return dma.oam_dma_byte;
    if (is_cgb && (state == 2 || state >= 5)) {
        // A DMA holding the external or the upper bus leaves the CPU one 4 KiB
        // WRAM bank, chosen by bit 4 of the DMA's source page.
        const u8* bank = (dma.oam_dma_source & 0x1000) ? wram_bankn_ptr : wram_bank0_ptr;
        return bank[address & 0x0FFF];
    }
    return (address & 0x1000) ? wram_bankn_ptr[address & 0x0FFF] : wram_bank0_ptr[address & 0x0FFF];
}

// The first cycles of lines 0-143 already belong to the coming OAM scan,
// while STAT still shows the old mode; a step left behind by switching the
// LCD off blocks nothing.
bool GB::oam_scan_starting() const {
    const int state = ppu.state;
    return ppu.lcd_enabled && (state == PPU::STATE_LINE_1_143_CLOCKS_0 || state == PPU::STATE_LINE_1_143_CLOCKS_0_TWIN ||
                               state == PPU::STATE_LINE_0_CLOCKS_0);
}

// On the first line after LCD-on a CGB takes OAM from CPU writes at line
// cycle 78, two cycles before STAT shows mode 3 (reads keep OAM until then).
bool GB::lcd_on_line_takes_oam_writes() const {
    return ppu.lcd_enabled && ppu.state == PPU::STATE_SCREEN_ON_LINE_0_CLOCKS_0 &&
           ppu.get_scanline_cycle_count() >= LCD_ON_LINE_OAM_WRITE_LOCK_CYCLE;
}

u8 GB::read_oam_area(u16 address) {
    if (dma.oam_dma_bus_state != 0 || ppu.mode == 2 || ppu.mode == 3) return 0xFF;
    // The CGB revisions before D leave a double-speed read OAM in the line's
    // first cycle; the scan takes it from them with STAT's mode 2.
    if (oam_scan_starting() && !(double_speed && is_cgb && device < MODEL_CGBD)) return 0xFF;
    // From revision D on, the CGB keeps OAM for mode 3 until the cycle in
    // which single-speed STAT shows mode 0 (on the first line after LCD-on,
    // two cycles after the line is drawn) and releases it one cycle later,
    // in either speed.
    if (device >= MODEL_CGBD && ppu.oam_last_busy_cycle == cpu.cycles_4mhz) return 0xFF;
    if (address < 0xFEA0) return oam[address - 0xFE00];
    return read_extra_oam(address);
}

u8 GB::read_byte(u16 address) {
    switch (address >> 12) {
        case 0x0: case 0x1: case 0x2: case 0x3:
            if (address < 0x0900 && boot_overlay_covers(address, false)) return current_boot_rom->data[address];
            if (address == 0x016F && device == MODEL_POKEMON_STADIUM_2 && !boot_rom_mapped) return 0x12;
            return read_cartridge_area(address);
        case 0x4: case 0x5: case 0x6: case 0x7:
        case 0xA: case 0xB:
            return read_cartridge_area(address);
        case 0x8: case 0x9:
            // In single speed a CGB's drawing takes VRAM from CPU reads at
            // line cycle 81 also on the first line after LCD-on, where STAT
            // shows mode 3 from cycle 80; in double speed that line's reads
            // lose VRAM at cycle 80 already.
            if (ppu.mode == 3 && !(is_cgb && !double_speed && ppu.state == PPU::STATE_ON_LINE_0_CLOCKS_80))
                return 0xFF;
            // DMG hands VRAM to the PPU in the last cycle of the OAM scan; the
            // CGB only when mode 3 starts.
            if (is_dmg && ppu.mode == 2 && ppu.get_scanline_cycle_count() >= 80) return 0xFF;
            if (dma.oam_dma_bus_state == 3) return dma.oam_dma_byte;
            return vram_bank_ptr[address & 0x1FFF];
        case 0xC: case 0xD: case 0xE:
            return read_wram_area(address);
        default:  // 0xF
            if (address < 0xFE00) return read_wram_area(address);
            if (address < 0xFF00) return read_oam_area(address);
            if (address < 0xFF80) return io_read_handlers[address & 0x7F]();
            if (address < 0xFFFF) return io_page[address & 0xFF];
            return cpu.ie;
    }
}

u8 GB::read_byte_unrestricted(u16 address) {
    switch (address >> 12) {
        case 0x0: case 0x1: case 0x2: case 0x3:
            if (address < 0x0900 && boot_overlay_covers(address, true)) return current_boot_rom->data[address];
            return mbc->read_byte_rom0(address);
        case 0x4: case 0x5: case 0x6: case 0x7:
            return mbc->read_byte_rom1(address);
        case 0xA: case 0xB:
            return mbc->read_byte_sram(address);
        case 0x8: case 0x9:
            return vram_bank_ptr[address & 0x1FFF];
        case 0xC: case 0xD: case 0xE:
            return (address & 0x1000) ? wram_bankn_ptr[address & 0x0FFF] : wram_bank0_ptr[address & 0x0FFF];
        default:
            if (address < 0xFE00)
                return (address & 0x1000) ? wram_bankn_ptr[address & 0x0FFF] : wram_bank0_ptr[address & 0x0FFF];
            if (address < 0xFEA0) return oam[address - 0xFE00];
            if (address < 0xFF00) return read_extra_oam(address);
            if (address < 0xFF80) return io_read_handlers[address & 0x7F]();
            if (address < 0xFFFF) return io_page[address & 0xFF];
            return cpu.ie;
    }
}

u16 GB::read_word(u16 address) { return u16(read_byte(address) | (read_byte(u16(address + 1)) << 8)); }

u16 GB::read_word_unrestricted(u16 address) {
    return u16(read_byte_unrestricted(address) | (read_byte_unrestricted(u16(address + 1)) << 8));
}

void GB::write_word(u16 address, u16 value) {
    write_byte(address, u8(value));
    write_byte(u16(address + 1), u8(value >> 8));
}

namespace {
// OAM cell that an FEA0-FEFF address reaches on the CGB revisions that mirror
// parts of OAM there; -1 where the area is not backed by OAM.
int extra_oam_cell(int device, u16 address) {
    switch (device) {
        case MODEL_CGB0: case MODEL_CGBA: case MODEL_CGBB: case MODEL_CGBC:
            return (address & 0xFFE7) - 0xFE00;
        case MODEL_CGBD:
            return address < 0xFEC0 ? address - 0xFE00 : (address & 0xFFCF) - 0xFE00;
        default:
            return -1;
    }
}
}  // namespace

u8 GB::read_extra_oam(u16 address) const {
    if (device == MODEL_CGBE) return u8((address & 0xF0) | ((address >> 4) & 0x0F));
    int cell = extra_oam_cell(device, address);
    return cell >= 0 ? oam[cell] : 0x00;
}

void GB::write_extra_oam(u16 address, u8 value) {
    int cell = extra_oam_cell(device, address);
    if (cell >= 0) oam[cell] = value;
}

// The line cycle from which lines 1-143 draw (STAT mode 3), and the end of
// their shortest drawing, without sprites, window or fine scroll.
constexpr int OTHER_LINES_DRAWING_START = 81;
constexpr int OTHER_LINES_SHORTEST_DRAWING_END = 253;

// Drawing keeps OAM from CPU writes during STAT's mode 3, except on the DMG
// line after LCD-on when the LCD went off after a line's OAM scan had ended
// (PPU::lcd_off_after_oam_scan): that line's write gate then runs on the
// other lines' schedule, taking OAM at their drawing start and holding it
// until their shortest drawing would end, or until its own drawing (STAT's
// mode 3, cycle 80 until 251 + (SCX AND 7)) ends if that is later. STAT, the
// VRAM lock and OAM reads keep the line's own timing either way.
bool GB::drawing_keeps_oam_from_writes() const {
    const bool dmg_lcd_on_line =
        is_dmg && ppu.state >= PPU::STATE_ON_LINE_0_CLOCKS_80 && ppu.state <= PPU::STATE_ON_LINE_0_HBLANK_CGB_DOUBLE;
    if (!dmg_lcd_on_line || !ppu.lcd_off_after_oam_scan) return ppu.mode == 3;
    const int cycle = ppu.get_scanline_cycle_count();
    return cycle >= OTHER_LINES_DRAWING_START && (ppu.mode == 3 || cycle < OTHER_LINES_SHORTEST_DRAWING_END);
}

void GB::write_oam_area(u16 address, u8 value) {
    if (drawing_keeps_oam_from_writes()) return;
    if (ppu.mode == 2 && ppu.get_scanline_cycle_count() < 80) return;
    if (is_cgb && (oam_scan_starting() || lcd_on_line_takes_oam_writes())) return;
    if (dma.oam_dma_bus_state != 0) return;
    if (address < 0xFEA0)
        oam[address - 0xFE00] = value;
    else
        write_extra_oam(address, value);
}

void GB::write_byte(u16 address, u8 value) {
    switch (address >> 12) {
        case 0x0: case 0x1: case 0x2: case 0x3: case 0x4: case 0x5: case 0x6: case 0x7:
            mbc->write_byte(address, value, cpu.cycles_4mhz);
            cartridge.update_mark_windows();
            return;
        case 0x8: case 0x9:
            if (ppu.mode == 3) return;
            vram_bank_ptr[address & 0x1FFF] = value;
            // Tile data written right after a ROM data read: the ROM byte was an image.
            if (address < 0x9800 && cpu.cpu_cycles - cartridge.last_data_read_cycle <= 48)
                cartridge.set_address_access_type_to_image(cartridge.last_data_read_address);
            return;
        case 0xA: case 0xB:
            mbc->write_byte(address, value, cpu.cycles_4mhz);
            cartridge.reset_address_access_type(address);
            return;
        case 0xC: {
            const int state = dma.oam_dma_bus_state;
            if (state == 1 || state == 4) return;
            if (is_cgb && (state == 2 || state >= 5) && (dma.oam_dma_source & 0x1000)) return;
            wram_bank0_ptr[address & 0x0FFF] = value;
            disassembler.instruction_marks[address] = ACCESS_UNMARKED;
            return;
        }
        case 0xD:
            wram_bankn_ptr[address & 0x0FFF] = value;
            disassembler.instruction_marks[address] = ACCESS_UNMARKED;
            return;
        case 0xE:
            wram_bank0_ptr[address & 0x0FFF] = value;
            disassembler.instruction_marks[address - 0x2000] = ACCESS_UNMARKED;
            return;
        default:  // 0xF
            if (address < 0xFE00) {
                wram_bankn_ptr[address & 0x0FFF] = value;
                disassembler.instruction_marks[address - 0x2000] = ACCESS_UNMARKED;
            } else if (address < 0xFF00) {
                write_oam_area(address, value);
            } else if (address < 0xFF80) {
                io_write_handlers[address & 0x7F](value);
                disassembler.instruction_marks[address] = ACCESS_UNMARKED;
            } else if (address < 0xFFFF) {
                io_page[address & 0xFF] = value;
                disassembler.instruction_marks[address] = ACCESS_UNMARKED;
            } else {
                cpu.ie = value;
                cpu.pending_interrupts = value & cpu.if_reg & 0x1F;
                disassembler.instruction_marks[address] = ACCESS_UNMARKED;
            }
            return;
    }
}

// The CPU's clock step counts the 4 MHz cycles of an M-cycle for the speed
// the machine runs at.
void GB::set_double_speed(bool on) {
    double_speed = on;
    cpu.update_tick_limits();
}

u8 GB::vram_read_byte(u16 address) const {
    if (cpu.stopped && (ppu.oam_scan_state == 0 || ppu.oam_scan_state == 1)) return 0xFF;
    return vram[address & 0x1FFF];
}

u16 GB::vram_read_word(u16 address) const {
    if (cpu.stopped && (ppu.oam_scan_state == 0 || ppu.oam_scan_state == 1)) return 0xFFFF;
    return u16(vram[address & 0x1FFF] | (vram[(address + 1) & 0x1FFF] << 8));
}

u8 GB::vram_banked_read_byte(u16 address, int bank) const { return vram[(bank & 1) * 0x2000 + (address & 0x1FFF)]; }

u16 GB::vram_banked_read_word(u16 address, int bank) const {
    return u16(vram_banked_read_byte(address, bank) | (vram_banked_read_byte(u16(address + 1), bank) << 8));
}

u8 GB::wram_banked_read_byte(int bank, u16 address) const {
    if (address >= 0xC000 && address < 0xD000) return wram[address & 0x0FFF];
    if (address >= 0xD000 && address < 0xE000) return wram[(bank & 7) * 0x1000 + (address & 0x0FFF)];
    return 0xFF;
}

u16 GB::wram_banked_read_word(int bank, u16 address) const {
    return u16(wram_banked_read_byte(bank, address) | (wram_banked_read_byte(bank, u16(address + 1)) << 8));
}

int GB::get_current_bank_for_address(u16 address) const {
    if (address < 0x4000) return 0;
    if (address < 0x8000) return mbc ? mbc->get_rom_bank() : 1;
    if (address >= 0xA000 && address < 0xC000) return mbc ? mbc->get_ram_bank() : 0;
    return -1;
}
