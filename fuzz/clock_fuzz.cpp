// Clock files: an MBC3 cartridge with a clock is loaded beside a clock file
// made of the input, runs code that latches and reads the clock, and is
// unloaded. The input is the host time of the run (8 bytes, as an offset
// from a fixed date), a step count for the code and the file's bytes.
//
// Checked: a file of 48 bytes whose stamp is not before the host time sets
// the registers exactly as stored (masked to their widths); any file leaves
// registers within their widths; the file written back is 48 bytes with zero
// padding and the host time as its stamp, a file of another length having
// been kept first as clock.rtc.bak; and reading that file back at the same
// host time gives the same running registers.
#include "fuzz_harness.h"

#include <filesystem>

#include "cartridge/mbc3.h"

namespace {

constexpr u64 BASE_TIME = 1700000000;
constexpr u8 REGISTER_MASK[RTC_REGISTER_COUNT] = {0x3F, 0x3F, 0x1F, 0xFF, 0xC1};

// Enables the RAM, then forever: latch, and read S, M, H, DL and DH.
const std::vector<u8> READ_CLOCK = {
    0x3E, 0x0A, 0xEA, 0x00, 0x00,  // LD A,0A / LD (0000),A
    0xEA, 0x00, 0x60,              // LD (6000),A  latch
    0x3E, 0x08,                    // LD A,08
    0xEA, 0x00, 0x40,              // LD (4000),A
    0x47, 0xFA, 0x00, 0xA0, 0x78,  // LD B,A / LD A,(A000) / LD A,B
    0x3C, 0xFE, 0x0D, 0x20, 0xF3,  // INC A / CP 0D / JR NZ
    0x18, 0xEC,                    // back to the latch
};

bool registers_in_range(const MBC3& mbc) {
    for (int i = 0; i < RTC_REGISTER_COUNT; ++i)
        if ((mbc.rtc[size_t(i)] & ~REGISTER_MASK[i]) || (mbc.rtc_latched[size_t(i)] & ~REGISTER_MASK[i])) return false;
    return true;
}

}  // namespace

void zembrix_fuzz_one(const u8* data, size_t size) {
    fuzz::Input in(data, size);
    const u64 now = BASE_TIME + in.u64le();
    const int steps = in.word() % 20000;
    const std::vector<u8> file = in.take(in.left());

    const std::string dir = fuzz::scratch_dir();
    const std::string rom_path = dir + "/clock.gb", rtc_path = dir + "/clock.rtc";
    fuzz::Rom rom;
    rom.place(0x0100, {0x00, 0xC3, 0x50, 0x01}).place(0x0150, READ_CLOCK).type(0x10).ram_size_code(2);
    fuzz::write_file(rom_path, rom.bytes);
    fuzz::write_file(rtc_path, file);

    GB& gb = fuzz::machine();
    gb.requested_device = MODEL_CGBE;
    gb.cartridge.host_time = [now] { return now; };
    std::string error;
    fuzz::check(gb.cartridge.try_load_rom(rom_path, error), "the ROM file loads");
    gb.reset();
    auto& mbc = dynamic_cast<MBC3&>(*gb.mbc);
    fuzz::check(registers_in_range(mbc), "the loaded registers are within their widths");
    if (file.size() == RTC_FILE_SIZE) {
        u64 stamp = 0;
        for (int i = 7; i >= 0; --i) stamp = stamp << 8 | file[size_t(RTC_FILE_TIME_OFFSET + i)];
        if (stamp >= now || (file[16] & RTC_DH_HALT)) {
            for (int i = 0; i < RTC_REGISTER_COUNT; ++i) {
                fuzz::check(mbc.rtc[size_t(i)] == (file[size_t(i) * 4] & REGISTER_MASK[i]), "running register as stored");
                fuzz::check(mbc.rtc_latched[size_t(i)] == (file[size_t(RTC_FILE_LATCHED_OFFSET + i * 4)] & REGISTER_MASK[i]),
                            "latched register as stored");
            }
        }
    }
    fuzz::run_steps(gb, steps);
    gb.shutdown();

    const std::vector<u8> written = fuzz::read_file(rtc_path);
    fuzz::check(written.size() == RTC_FILE_SIZE, "the clock file written is 48 bytes");
    for (int i = 0; i < 2 * RTC_REGISTER_COUNT; ++i)
        fuzz::check(!written[size_t(i) * 4 + 1] && !written[size_t(i) * 4 + 2] && !written[size_t(i) * 4 + 3],
                    "register fields hold one byte");
    u64 stamp = 0;
    for (int i = 7; i >= 0; --i) stamp = stamp << 8 | written[size_t(RTC_FILE_TIME_OFFSET + i)];
    fuzz::check(stamp == now, "the stamp is the host time");
    const std::string backup = rtc_path + BACKUP_SUFFIX;
    if (!file.empty() && file.size() != RTC_FILE_SIZE)
        fuzz::check(fuzz::read_file(backup) == file, "a file of another length is kept");
    else
        fuzz::check(!std::filesystem::exists(backup), "a clock file taken in full is not copied");
    std::filesystem::remove(backup);

    fuzz::check(gb.cartridge.try_load_rom(rom_path, error), "the ROM file loads again");
    gb.reset();
    const auto& again = dynamic_cast<const MBC3&>(*gb.mbc);
    for (int i = 0; i < RTC_REGISTER_COUNT; ++i)
        fuzz::check(again.rtc[size_t(i)] == written[size_t(i) * 4], "the file read back gives the same clock");
    gb.shutdown();
}

std::vector<fuzz::Seed> zembrix_fuzz_seeds() {
    auto clock_file = [](std::array<u8, 5> running, std::array<u8, 5> latched, u64 stamp) {
        std::vector<u8> f(RTC_FILE_SIZE, 0);
        for (int i = 0; i < 5; ++i) {
            f[size_t(i) * 4] = running[size_t(i)];
            f[size_t(RTC_FILE_LATCHED_OFFSET + i * 4)] = latched[size_t(i)];
        }
        for (int i = 0; i < 8; ++i) f[size_t(RTC_FILE_TIME_OFFSET + i)] = u8(stamp >> (8 * i));
        return f;
    };
    auto seed = [](const char* name, u64 offset, u16 steps, std::vector<u8> file) {
        fuzz::Seed s{name, {}};
        for (int i = 0; i < 8; ++i) s.bytes.push_back(u8(offset >> (8 * i)));
        s.bytes.push_back(u8(steps));
        s.bytes.push_back(u8(steps >> 8));
        s.bytes.insert(s.bytes.end(), file.begin(), file.end());
        return s;
    };
    return {
        seed("one_day_later", 90061, 2000, clock_file({10, 20, 3, 0x40, 0x01}, {10, 20, 3, 0x40, 0x01}, BASE_TIME)),
        seed("halted", 5000, 500, clock_file({59, 59, 23, 0xFF, 0x41}, {0, 0, 0, 0, 0}, BASE_TIME)),
        seed("day_overflow", 1, 4000, clock_file({59, 59, 23, 0xFF, 0x01}, {1, 2, 3, 4, 0}, BASE_TIME)),
        seed("out_of_range", 130, 1000, clock_file({62, 63, 31, 0x00, 0xC1}, {63, 63, 31, 0xFF, 0xFF}, BASE_TIME)),
        seed("stamp_in_future", 0, 100, clock_file({1, 2, 3, 4, 0}, {0, 0, 0, 0, 0}, BASE_TIME + 1000)),
        seed("short_file", 0, 100, std::vector<u8>(44, 0x05)),
        seed("empty_file", 77, 100, {}),
    };
}
