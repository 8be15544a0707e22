#include "cartridge/mbc3.h"

#include <algorithm>

#include "cartridge/cartridge.h"

namespace {

// The select register at 4000-5FFF is four bits wide; bits 4-7 of the byte
// written are not connected, so 0x12 selects RAM bank 2 and 0x18 the seconds.
// Its value decides which chip answers at A000-BFFF: 0-3 the RAM, whose bank
// lines are bits 0-1 (so at most four 8 KiB banks are reachable, whatever
// the RAM's size); 8-12 the clock, one register each; 4-7 and 13-15 nothing.
// With nothing selected, no chip drives the data bus: a read sees open bus
// (0xFF) and a write is lost.
constexpr int SELECT_BITS = 0x0F;
constexpr int SELECT_RAM_BANK = 0x03;
constexpr int SELECT_FIRST_CLOCK = 0x08;
constexpr SramTarget SELECT_TARGET[SELECT_BITS + 1] = {
    SramTarget::Ram,     SramTarget::Ram,     SramTarget::Ram,     SramTarget::Ram,
    SramTarget::Nothing, SramTarget::Nothing, SramTarget::Nothing, SramTarget::Nothing,
    SramTarget::Clock,   SramTarget::Clock,   SramTarget::Clock,   SramTarget::Clock,
    SramTarget::Clock,   SramTarget::Nothing, SramTarget::Nothing, SramTarget::Nothing,
};
// Bits each clock register keeps on a write.
constexpr u8 RTC_WRITE_MASK[RTC_REGISTER_COUNT] = {0x3F, 0x3F, 0x1F, 0xFF, 0xC1};

// Advances a counter that normally runs 0..period-1 in a register that holds
// 0..capacity-1, and returns the carry into the next counter. A register set
// above its period counts on to the top of its capacity and then wraps to 0
// without carrying.
u64 advance_counter(u8& reg, u64 amount, u64 period, u64 capacity) {
    u64 v = reg + amount;
    if (reg >= period) {
        if (v < capacity) {
            reg = u8(v);
            return 0;
        }
        v -= capacity;
    }
    reg = u8(v % period);
    return v / period;
}

}  // namespace

void MBC3::init(u8* rom_, int rom_size_, u8* ram_, int ram_size_) {
    rom = rom_;
    rom_size = rom_size_;
    ram = ram_;
    ram_size = ram_size_;
    rom_mask = mbc_layout::rom_mask(rom_size);
    ram_mask = mbc_layout::ram_mask(ram_size);
    ram_end = mbc_layout::ram_end(ram_size);
    // The decoding of the select depends on whether there is a clock.
    const u8 type = read_byte_rom0(HEADER_TYPE);
    has_rtc = type == 0x0F || type == 0x10;
    if (has_rtc) rtc.fill(0);
    update();
}

u8 MBC3::read_byte_sram(u16 address) {
    switch (sram_target) {
        case SramTarget::Ram:
            if (address > ram_end || !ram_enabled) return 0xFF;
            return ram_window[address & 0x1FFF];
        case SramTarget::Clock:
            // The clock answers without the RAM enable, from its latched copy.
            return rtc_latched[size_t(ram_select - SELECT_FIRST_CLOCK)];
        case SramTarget::Nothing:
            break;
    }
    return 0xFF;
}

void MBC3::write_byte(u16 address, u8 value, u64 cycle) {
    switch (address >> 13) {
        case 0:  // 0000-1FFF
            ram_enabled = mbc_layout::ram_enable_value(value) ? 1 : 0;
            break;
        case 1:  // 2000-3FFF
            rom_bank = value & 0x7F;
            if (rom_bank == 0) rom_bank = 1;
            rom_bank &= rom_mask;
            update_pointers();
            break;
        case 2:  // 4000-5FFF
            ram_select = value & SELECT_BITS;
            update_pointers();
            break;
        case 3:  // 6000-7FFF: any write latches
            if (has_rtc) {
                sync_rtc_registers(cycle);
                rtc_latched = rtc;
            }
            break;
        case 5:  // A000-BFFF
            if (sram_target == SramTarget::Ram) {
                if (address <= ram_end && ram_enabled) ram_window[address & 0x1FFF] = value;
            } else if (sram_target == SramTarget::Clock) {
                write_rtc_register(ram_select - SELECT_FIRST_CLOCK, value, cycle);
            }
            break;
        default:
            break;
    }
}

int MBC3::get_mapped_address_rom(u16 address) {
    if (address < 0x4000) return address;
    return (rom_bank - 1) * 0x4000 + address;
}

int MBC3::get_mapped_address_ram(u16 address) {
    if (sram_target != SramTarget::Ram) return 0;
    return (ram_select & SELECT_RAM_BANK) * 0x2000 + address - 0xA000;
}

void MBC3::update_pointers() {
    rom_windows = {rom, rom + rom_bank * 0x4000};
    // The RAM window follows bits 0-1 whatever is selected, so it is never stale.
    ram_window = ram ? ram + (ram_select & SELECT_RAM_BANK & ram_mask) * 0x2000 : nullptr;
    sram_target = SELECT_TARGET[ram_select & SELECT_BITS];
    if (sram_target == SramTarget::Clock && !has_rtc) sram_target = SramTarget::Nothing;
}

void MBC3::write_rtc_register(int index, u8 value, u64 cycle) {
    sync_rtc_registers(cycle);
    value &= RTC_WRITE_MASK[index];
    const bool halted = rtc[RTC_DH] & RTC_DH_HALT;
    if (index == RTC_S && !halted) {
        // The next second is a full second away.
        rtc_cycles = 0;
    } else if (index == RTC_DH && halted && !(value & RTC_DH_HALT)) {
        // Restarting: the time spent halted is never counted.
        rtc_last_sync_cycle = cycle;
    }
    rtc[index] = value;
}

void MBC3::sync_rtc_registers(u64 now) {
    u64 t = rtc_cycles;
    if (!(rtc[RTC_DH] & RTC_DH_HALT)) {
        // A clock value below the last synchronisation means the machine was
        // reset or the ROM reloaded since; that stretch counts no time.
        if (now > rtc_last_sync_cycle) t += now - rtc_last_sync_cycle;
        rtc_last_sync_cycle = now;
    }
    rtc_cycles = t & (RTC_CYCLES_PER_SECOND - 1);
    const u64 seconds = t >> RTC_SECOND_SHIFT;

    u64 carry = advance_counter(rtc[RTC_S], seconds, 60, 64);
    carry = advance_counter(rtc[RTC_M], carry, 60, 64);
    carry = advance_counter(rtc[RTC_H], carry, 24, 32);
    u64 days = u64(rtc[RTC_DH] & RTC_DH_DAY_BIT8) << 8 | rtc[RTC_DL];
    days += carry;
    u8 flags = rtc[RTC_DH] & (RTC_DH_HALT | RTC_DH_CARRY);
    if (days > 0x1FF) {
        // The carry flag stays set until the game writes DH.
        days &= 0x1FF;
        flags |= RTC_DH_CARRY;
    }
    rtc[RTC_DL] = u8(days);
    rtc[RTC_DH] = u8(flags | (days >> 8));
}

RtcFileImage MBC3::save_rtc(u64 cycle, u64 host_seconds) {
    sync_rtc_registers(cycle);
    RtcFileImage file{};
    for (int i = 0; i < RTC_REGISTER_COUNT; ++i) {
        file[size_t(i) * 4] = rtc[i];
        file[size_t(RTC_FILE_LATCHED_OFFSET + i * 4)] = rtc_latched[i];
    }
    for (int i = 0; i < 8; ++i) file[size_t(RTC_FILE_TIME_OFFSET + i)] = u8(host_seconds >> (8 * i));
    return file;
}

void MBC3::load_rtc(const RtcFileImage& file, u64 cycle, u64 host_seconds) {
    for (int i = 0; i < RTC_REGISTER_COUNT; ++i) {
        rtc[i] = file[size_t(i) * 4] & RTC_WRITE_MASK[i];
        rtc_latched[i] = file[size_t(RTC_FILE_LATCHED_OFFSET + i * 4)] & RTC_WRITE_MASK[i];
    }
    u64 written = 0;
    for (int i = 0; i < 8; ++i) written |= u64(file[size_t(RTC_FILE_TIME_OFFSET + i)]) << (8 * i);
    // The clock runs on from the machine's present cycle.
    rtc_last_sync_cycle = cycle;
    // A stamp in the future (the host clock was set back) adds nothing.
    if (written < host_seconds && !(rtc[RTC_DH] & RTC_DH_HALT)) {
        const u64 elapsed = std::min(host_seconds - written, ~u64{0} >> RTC_SECOND_SHIFT);
        rtc_cycles = elapsed << RTC_SECOND_SHIFT;
        sync_rtc_registers(cycle);
    }
}
