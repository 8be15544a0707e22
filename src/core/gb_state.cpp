// Save states: the whole machine as one byte string of cereal's binary
// archive, and back.
//
// The string holds, in this order: the sound unit's master fields, the CPU,
// the cartridge RAM, the picture unit, the serial port, the DMA unit, the
// timer, the joypad, the bank controller (a polymorphic record naming its
// type), video RAM, work RAM, OAM, the I/O page, the machine's own register
// bytes and flags, and then one extension block with everything else the
// running machine needs to go on exactly as it would have (the sound
// channels, pipeline details, pending register effects, the joypad's random
// source and the identity of the cartridge and model the state belongs to).
//
// Loading is all or nothing. The string is read into the live fields, checked,
// and only then completed by rebuilding what it does not carry (bank views,
// I/O handler tables, cached scheduler minima). Any failure restores the
// machine from a state string taken just before, so a rejected string leaves
// no trace.
#include <algorithm>
#include <cmath>
#include <istream>
#include <ostream>
#include <streambuf>
#include <typeinfo>

#include "cartridge/mbc1.h"
#include "cartridge/mbc1m.h"
#include "cartridge/mbc2.h"
#include "cartridge/mbc3.h"
#include "cartridge/mbc5.h"
#include "cartridge/null_mbc.h"
#include "core/gb.h"
#include "core/state_archive.h"

// The controllers travel as polymorphic records under these names. The
// registration lives in this file, which every program that saves a state
// links, so a static link cannot drop it.
CEREAL_REGISTER_TYPE_WITH_NAME(MBC1, "MBC1")
CEREAL_REGISTER_TYPE_WITH_NAME(MBC1M, "MBC1M")
CEREAL_REGISTER_TYPE_WITH_NAME(MBC2, "MBC2")
CEREAL_REGISTER_TYPE_WITH_NAME(MBC3, "MBC3")
CEREAL_REGISTER_TYPE_WITH_NAME(MBC5, "MBC5")
CEREAL_REGISTER_TYPE_WITH_NAME(NullMBC, "NullMBC")
CEREAL_REGISTER_POLYMORPHIC_RELATION(MemoryBankController, MBC1)
CEREAL_REGISTER_POLYMORPHIC_RELATION(MBC1, MBC1M)
CEREAL_REGISTER_POLYMORPHIC_RELATION(MemoryBankController, MBC2)
CEREAL_REGISTER_POLYMORPHIC_RELATION(MemoryBankController, MBC3)
CEREAL_REGISTER_POLYMORPHIC_RELATION(MemoryBankController, MBC5)
CEREAL_REGISTER_POLYMORPHIC_RELATION(MemoryBankController, NullMBC)

namespace {

// Opens and closes the extension block ("ZXS" and a format number).
constexpr u32 EXTENSION_MAGIC = 0x0153585A;
constexpr u32 EXTENSION_END = 0xE153585A;

// The sound unit's master fields, which the machine writes itself.
template <class Archive>
void serialize_audio_fields(Archive& ar, Audio& a) {
    ar(a.nr50, a.nr51, a.audio_spare_byte, a.powered, a.skip_next_frame_seq_step, a.left_volume, a.right_volume,
       a.frame_seq_step, a.samples, a.sample_index, a.next_frequency_cycle, a.next_sample_cycle, a.power_on_phase,
       a.high_pass_left_capacitor, a.high_pass_right_capacitor, a.mixed_left, a.mixed_right);
}

// What identifies the cartridge and model a state belongs to.
struct Identity {
    i32 device = 0;
    i32 rom_size = 0;
    i32 ram_size = 0;
    u8 header_checksum = 0;
    u16 global_checksum = 0;

    template <class Archive>
    void serialize(Archive& ar) {
        ar(device, rom_size, ram_size, header_checksum, global_checksum);
    }
    bool operator==(const Identity& o) const {
        return device == o.device && rom_size == o.rom_size && ram_size == o.ram_size &&
               header_checksum == o.header_checksum && global_checksum == o.global_checksum;
    }
};

Identity identity_of(const GB& gb) {
    Identity id;
    id.device = gb.device;
    id.rom_size = gb.cartridge.rom_size;
    id.ram_size = gb.cartridge.ram_size;
    id.header_checksum = gb.cartridge.header_byte(0x014D);
    id.global_checksum = u16(gb.cartridge.header_byte(0x014E) << 8 | gb.cartridge.header_byte(0x014F));
    return id;
}

}  // namespace

// What a controller holds beyond its bank registers: the MBC5 rumble motor,
// and the MBC3 clock. The clock counts the machine's own cycles, so it is as
// much the machine's state as work RAM: a state restores the time it was
// saved with, a rollback takes it back with the rest of the cartridge, and a
// loaded state reads the same times as the machine that saved it.
struct GB::ControllerExtras {
    bool rumble_motor_on = false;
    std::array<u8, RTC_REGISTER_COUNT> rtc{};
    std::array<u8, RTC_REGISTER_COUNT> rtc_latched{};
    u64 rtc_cycles = 0;
    u64 rtc_last_sync_cycle = 0;

    template <class Archive>
    void serialize(Archive& ar) {
        ar(rumble_motor_on, rtc, rtc_latched, rtc_cycles, rtc_last_sync_cycle);
    }
    static ControllerExtras of(const MemoryBankController* controller) {
        ControllerExtras extras;
        if (auto* mbc5 = dynamic_cast<const MBC5*>(controller)) extras.rumble_motor_on = mbc5->rumble_motor_on;
        if (auto* clock = dynamic_cast<const MBC3*>(controller)) {
            extras.rtc = clock->rtc;
            extras.rtc_latched = clock->rtc_latched;
            extras.rtc_cycles = clock->rtc_cycles;
            extras.rtc_last_sync_cycle = clock->rtc_last_sync_cycle;
        }
        return extras;
    }
    void apply_to(MemoryBankController* controller) const {
        if (auto* mbc5 = dynamic_cast<MBC5*>(controller)) mbc5->rumble_motor_on = rumble_motor_on;
        if (auto* clock = dynamic_cast<MBC3*>(controller)) {
            clock->rtc = rtc;
            clock->rtc_latched = rtc_latched;
            clock->rtc_cycles = rtc_cycles;
            clock->rtc_last_sync_cycle = rtc_last_sync_cycle;
        }
    }
};

namespace {

// The archive writes straight into a string reserved for the whole state,
// and reads straight from the caller's string: no stream buffer copies.
class StringWriter : public std::streambuf {
public:
    explicit StringWriter(std::string& out) : out_(out) {}

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) out_.push_back(char(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* data, std::streamsize n) override {
        out_.append(data, size_t(n));
        return n;
    }

private:
    std::string& out_;
};

class StringReader : public std::streambuf {
public:
    explicit StringReader(const std::string& in) {
        char* begin = const_cast<char*>(in.data());
        setg(begin, begin, begin + in.size());
    }
    bool at_end() const { return gptr() == egptr(); }
};

void require(bool ok, const std::string& what) {
    if (!ok) throw state::Rejected(what);
}

// A controller's registers as a state gives them must be ones its writes can
// produce for this cartridge: the windows are computed from them without
// further checks.
void check_controller(const MemoryBankController& c, int rom_size, int ram_size) {
    const int rom_mask = mbc_layout::rom_mask(rom_size), ram_mask = mbc_layout::ram_mask(ram_size);
    auto in = [](int v, int low, int high) { return v >= low && v <= high; };
    bool ok = true;
    if (auto* m = dynamic_cast<const MBC1*>(&c)) {
        ok = in(m->mode, 0, 1) && in(m->bank1, 0, 31) && in(m->bank2, 0, 3);
    } else if (auto* m2 = dynamic_cast<const MBC2*>(&c)) {
        ok = in(m2->ram_enabled, 0, 1) && in(m2->rom_bank, 0, rom_mask);
    } else if (auto* m3 = dynamic_cast<const MBC3*>(&c)) {
        ok = in(m3->ram_enabled, 0, 1) && in(m3->rom_bank, 0, rom_mask) && in(m3->ram_select, 0, 15);
    } else if (auto* m5 = dynamic_cast<const MBC5*>(&c)) {
        ok = in(m5->ram_enabled, 0, 1) && in(m5->rom_bank, 0, rom_mask) && in(m5->ram_bank, 0, ram_mask);
    }
    require(ok, "save state: bank controller registers out of range");
}

}  // namespace

template <class Archive>
void GB::serialize(Archive& ar, std::shared_ptr<MemoryBankController>& controller) {
    serialize_audio_fields(ar, audio);
    cpu.serialize(ar);
    if (cartridge.ram_size > 0) ar(cereal::binary_data(cartridge.ram.get(), size_t(cartridge.ram_size)));
    ppu.serialize(ar);
    serial.serialize(ar);
    dma.serialize(ar);
    timer.serialize(ar);
    joypad.serialize(ar);
    ar(controller);
    ar(vram, wram, oam, io_page);
    ar(wram_bank, vram_bank, key0, opri, ff72, ff73, ff74, ff75, spare_byte);
    ar(boot_rom_mapped, double_speed, speed_switch_armed, ppu_phase_shift);

    u32 magic = EXTENSION_MAGIC;
    ar(magic);
    require(magic == EXTENSION_MAGIC, "save state: no extension block");
    Identity id = identity_of(*this);
    const Identity mine = id;
    ar(id);
    if constexpr (state::loading<Archive>) require(id == mine, "save state: made for another cartridge or model");
    ControllerExtras extras = ControllerExtras::of(controller.get());
    ar(extras);
    if constexpr (state::loading<Archive>) *loaded_extras = extras;
    cpu.serialize_extension(ar);
    timer.serialize_extension(ar);
    joypad.serialize_extension(ar);
    audio.serialize_extension(ar);
    ppu.serialize_extension(ar);
    u32 end = EXTENSION_END;
    ar(end);
    require(end == EXTENSION_END, "save state: extension block damaged");
}

std::string GB::save_state() {
    // The state holds the sound as produced up to now.
    audio.catch_up_samples();
    std::string data;
    data.reserve(last_state_size);
    StringWriter writer(data);
    std::ostream stream(&writer);
    {
        cereal::BinaryOutputArchive ar(stream);
        std::shared_ptr<MemoryBankController> controller = mbc;
        serialize(ar, controller);
    }
    last_state_size = data.size();
    return data;
}

bool GB::load_state(const std::string& data, std::string* error) {
    if (!cartridge.has_rom() || !mbc) {
        if (error) *error = "save state: no cartridge loaded";
        return false;
    }
    const std::string before = save_state();
    std::string why;
    if (read_state(data, why)) return true;
    // Everything the failed read touched is in `before`, which this machine
    // wrote itself a moment ago.
    std::string ignored;
    read_state(before, ignored);
    if (error) *error = why;
    return false;
}

bool GB::read_state(const std::string& data, std::string& why) {
    try {
        loaded_extras = std::make_shared<ControllerExtras>();
        StringReader reader(data);
        std::istream stream(&reader);
        std::shared_ptr<MemoryBankController> controller;
        {
            cereal::BinaryInputArchive ar(stream);
            serialize(ar, controller);
        }
        require(reader.at_end(), "save state: bytes left over after the end");
        require(controller != nullptr, "save state: no bank controller");
        const MemoryBankController &loaded = *controller, &current = *mbc;
        require(typeid(loaded) == typeid(current), "save state: made for another bank controller");
        check_controller(*controller, cartridge.rom_size, cartridge.ram_size);
        check_loaded_state();

        // The new controller takes over the cartridge's buffers, then gets
        // what its registers do not hold (init clears the clock).
        mbc = controller;
        cartridge.mbc = controller;
        cartridge.init_mbc();
        loaded_extras->apply_to(controller.get());

        update_vram_pointer();
        wram_bank0_ptr = wram.data();
        update_wram_pointer();
        // The handler tables as reset installs them, with the switch into
        // DMG-compatibility mode applied when the boot program has made it.
        install_io_handlers();
        if (is_cgb && !boot_rom_mapped && key0 == KEY0_DMG_COMPAT) set_cgb_to_dmg_mode();
        timer.derive_input_bit();
        cpu.pending_interrupts = cpu.ie & cpu.if_reg & 0x1F;
        cpu.recompute_next_cpu_event();
        cpu.recompute_next_4mhz_event();
        cpu.update_tick_limits();
        audio.clocks_set();
        return true;
    } catch (const std::exception& e) {
        why = e.what();
        return false;
    }
}

// Values a running machine can never hold; anything else in a string parses
// into a machine that runs (if not as any game expects).
void GB::check_loaded_state() const {
    // Monochrome models have one bank of each and a single speed.
    require(wram_bank >= 1 && wram_bank <= (is_cgb ? 7 : 1) && vram_bank <= (is_cgb ? 1 : 0),
            "save state: memory bank out of range");
    require(is_cgb || (!double_speed && !speed_switch_armed && !ppu_phase_shift),
            "save state: double speed on a monochrome model");
    require(cpu.ime >= 0 && cpu.ime <= 2, "save state: interrupt master enable out of range");
    require((cpu.af & 0x0F) == 0 && (cpu.if_reg & 0xE0) == 0xE0, "save state: register bits that always read fixed");
    require(!(cpu.stopped && cpu.halted) && (cpu.halted || !cpu.halted_in_stop), "save state: CPU both stopped and halted");
    require(cpu.frame_steps < CPU::MAX_FRAME_STEPS, "save state: frame step count out of range");
    check_loaded_events();
    require(audio.sample_index >= 0 && audio.sample_index <= SAMPLE_BUFFER_VALUES && audio.sample_index % 2 == 0,
            "save state: sample position out of range");
    // NR50 gives each side 0-7, kept times four.
    require(audio.left_volume >= 0 && audio.left_volume <= 28 && audio.right_volume >= 0 && audio.right_volume <= 28,
            "save state: master volume out of range");
    require(audio.frame_seq_step >= 0 && audio.frame_seq_step <= 7, "save state: frame sequencer step out of range");
    require(audio.power_on_phase >= 0 && audio.power_on_phase <= 3, "save state: power-on phase out of range");
    for (double v : {audio.next_sample_cycle, audio.high_pass_left_capacitor, audio.high_pass_right_capacitor})
        require(std::isfinite(v), "save state: sound filter or sample clock not a number");
    require(audio.next_sample_cycle >= 0 && audio.next_sample_cycle < 1.8e19, "save state: sample clock out of range");
    require(serial.bits_left >= 0 && serial.bits_left <= 8, "save state: serial bit count out of range");
    require(dma.oam_dma_bytes_left >= 0 && dma.oam_dma_bytes_left <= 160, "save state: OAM DMA count out of range");
    require(dma.oam_dma_bus_state >= OAM_DMA_IDLE && dma.oam_dma_bus_state <= OAM_DMA_HIGH,
            "save state: OAM DMA bus out of range");
    require(dma.hdma_bytes_left >= 0 && dma.hdma_bytes_left <= 0x800, "save state: HDMA count out of range");
    // The OAM DMA writes FE00-FE9F in turn; the HDMA destination always lies
    // in video RAM.
    require(dma.oam_dma_destination >= 0xFE00 && dma.oam_dma_destination <= 0xFEA0,
            "save state: OAM DMA destination out of range");
    require(dma.hdma_destination >= 0x8000 && dma.hdma_destination <= 0x9FFF, "save state: HDMA destination out of range");
    require(timer.overflow_countdown <= 2, "save state: timer overflow step out of range");
    require(joypad.interrupt_pending <= 1 && joypad.interrupt_delay >= -1 && joypad.interrupt_delay <= 127,
            "save state: joypad interrupt delay out of range");
    require(joypad.random.position >= 0 && joypad.random.position < 34, "save state: random source damaged");
    audio.check_loaded_state();
    ppu.check_loaded_state();
}

// Every scheduled event lies ahead of its clock, no further than the longest
// period its unit ever schedules, or is unscheduled: an event behind its
// clock is never met, and the unit would stand still for good. With the LCD
// on the picture unit always has its next step within a line.
void GB::check_loaded_events() const {
    auto within = [](u64 event, u64 clock, u64 longest) {
        return event == NEVER || (event > clock && event - clock <= longest);
    };
    const CPU& c = cpu;
    require(ppu.lcd_enabled ? c.next_ppu_cycle > c.cycles_4mhz && c.next_ppu_cycle - c.cycles_4mhz <= PPU::LINE_CYCLES
                                     : c.next_ppu_cycle == NEVER,
            "save state: picture step not scheduled");
    // Timer: a falling edge of divider bit 9 at most 1024 cycles on; serial:
    // the next of its 512-cycle slots; OAM DMA: two M-cycles; frame
    // sequencer: a falling edge of divider bit 13 in double speed.
    require(within(c.next_timer_cycle, c.cpu_cycles, 1024) && within(c.next_serial_cycle, c.cpu_cycles, 512) &&
                within(c.next_oam_dma_cycle, c.cpu_cycles, 8) && within(c.next_frame_seq_cycle, c.cpu_cycles, 0x4000),
            "save state: event out of reach");
    // Sound channel timers: the noise channel's longest period, divisor 112
    // shifted by 15, with room for its start delay.
    for (u64 channel : audio.next_frequency_cycle)
        require(within(channel, c.cycles_4mhz, 1 << 22), "save state: sound timer out of reach");
    require(within(c.next_audio_frequency_cycle, c.cycles_4mhz, 1 << 22), "save state: sound timer out of reach");
}

template void GB::serialize(cereal::BinaryOutputArchive&, std::shared_ptr<MemoryBankController>&);
template void GB::serialize(cereal::BinaryInputArchive&, std::shared_ptr<MemoryBankController>&);
