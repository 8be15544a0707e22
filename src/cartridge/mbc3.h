#pragma once
#include <array>

#include "cartridge/mbc.h"

// Clock registers of the MBC3 real-time clock, in register-select order
// (select value 8 + index).
enum RtcRegister { RTC_S, RTC_M, RTC_H, RTC_DL, RTC_DH, RTC_REGISTER_COUNT };
inline constexpr u8 RTC_DH_DAY_BIT8 = 0x01;
inline constexpr u8 RTC_DH_HALT = 0x40;
inline constexpr u8 RTC_DH_CARRY = 0x80;
// The clock counts 4 MHz cycles; a second is 2^22 of them.
inline constexpr int RTC_SECOND_SHIFT = 22;
inline constexpr u64 RTC_CYCLES_PER_SECOND = u64{1} << RTC_SECOND_SHIFT;

// Clock file: running S M H DL DH and latched S M H DL DH as 32-bit
// little-endian fields, then the host time of writing as 64-bit
// little-endian seconds since 1970.
inline constexpr int RTC_FILE_SIZE = 48;
inline constexpr int RTC_FILE_LATCHED_OFFSET = 20;
inline constexpr int RTC_FILE_TIME_OFFSET = 40;
using RtcFileImage = std::array<u8, RTC_FILE_SIZE>;

// The chip that answers at A000-BFFF for a value of the select register.
enum class SramTarget : u8 { Ram, Clock, Nothing };

// MBC3: a 7-bit ROM bank register, up to four RAM banks and, on types 0x0F
// and 0x10, a real-time clock that the game reads through a latch.
//
// The clock is not ticked. It counts the machine's 4 MHz clock and is brought
// up to date only when the game latches it or writes one of its registers,
// and when its file is read or written.
class MBC3 : public MemoryBankController {
public:
    void init(u8* rom, int rom_size, u8* ram, int ram_size) override;
    u8 read_byte_rom0(u16 address) override { return rom[address & 0x3FFF]; }
    u8 read_byte_rom1(u16 address) override { return rom_windows[1][address & 0x3FFF]; }
    u8 read_byte_sram(u16 address) override;
    void write_byte(u16 address, u8 value, u64 cycle) override;
    int get_mapped_address_rom(u16 address) override;
    int get_mapped_address_ram(u16 address) override;
    int get_rom_bank() override { return rom_bank; }
    // The select register: a RAM bank 0-3, a clock register 8-12, or nothing.
    int get_ram_bank() override { return ram_select; }
    void update() override { update_pointers(); }
    virtual void update_pointers();

    // Brings the running registers up to the 4 MHz clock value `cycle`.
    void sync_rtc_registers(u64 cycle);
    // The clock file as of `cycle`, stamped with the host time `host_seconds`.
    RtcFileImage save_rtc(u64 cycle, u64 host_seconds);
    // Restores the registers from a clock file and lets the running clock
    // catch up with the host seconds passed since the file was written
    // (unless it was halted then).
    void load_rtc(const RtcFileImage& file, u64 cycle, u64 host_seconds);

    template <class Archive>
    void serialize(Archive& ar) {
        ar(reserved_word, ram_enabled, rom_bank, ram_select, reserved_byte);
    }

    // Part of the save-state record only; no effect on the controller.
    int reserved_word = 255;
    int ram_enabled = 0;
    int rom_bank = 1;
    // The select register, the low four bits of the last byte written to
    // 4000-5FFF (see mbc3.cpp).
    int ram_select = 0;
    u8 reserved_byte = 0;  // save-state record only
    bool has_rtc = false;
    u64 rtc_cycles = 0;           // toward the next whole second
    u64 rtc_last_sync_cycle = 0;  // 4 MHz clock at the last counted sync
    std::array<u8, RTC_REGISTER_COUNT> rtc{};
    std::array<u8, RTC_REGISTER_COUNT> rtc_latched{};
    u8* ram_window = nullptr;
    // What ram_select reaches on this cartridge, kept by update_pointers.
    SramTarget sram_target = SramTarget::Ram;
    int rom_mask = 0;
    int ram_mask = 0;
    u8* rom = nullptr;
    int rom_size = 0;
    u8* ram = nullptr;
    int ram_size = 0;
    u16 ram_end = 0x9FFF;

private:
    void write_rtc_register(int index, u8 value, u64 cycle);
};
