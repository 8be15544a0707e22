// Save states and rollback: the time to write and to read back the state of
// a CGB running a cartridge with 32 KiB of RAM (the largest common size), and
// the time a rollback of one second takes, snapshot restore and replay at
// full speed included.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "core/gb.h"

namespace {

constexpr u64 SECOND = 4194304;

// MBC5 with 32 KiB of RAM; the program keeps the sound and the LCD busy and
// writes over the RAM, so the state is a game's.
std::unique_ptr<GB> busy_machine() {
    std::vector<u8> rom(0x8000, 0x00);
    const u8 program[] = {
        0x3E, 0x0A, 0xEA, 0x00, 0x00,  // enable the cartridge RAM
        0x3E, 0x80, 0xE0, 0x26,        // sound on
        0x3E, 0xF0, 0xE0, 0x12, 0x3E, 0x87, 0xE0, 0x14,  // channel 1 playing
        0x21, 0x00, 0xA0,              // loop: LD HL,A000
        0x22,                          // LD (HL+),A
        0x3C,                          // INC A
        0xCB, 0x7C,                    // BIT 7,H
        0x28, 0xFA,                    // JR Z,-6 (until C000)
        0x18, 0xF5,                    // JR loop
    };
    std::copy(std::begin(program), std::end(program), rom.begin() + 0x100);
    rom[0x0143] = 0x80;
    rom[0x0147] = 0x1A;  // MBC5 + RAM
    rom[0x0149] = 0x03;  // 32 KiB
    auto gb = std::make_unique<GB>(1);
    gb->set_default_device_by_short_string("cgbE");
    gb->use_boot_roms = false;
    gb->cartridge.load_rom_from_memory("bench.gbc", rom.data(), int(rom.size()));
    gb->reset();
    for (int f = 0; f < 30; ++f) gb->run_frame();
    return gb;
}

void BM_SaveState(benchmark::State& state) {
    auto gb = busy_machine();
    size_t bytes = 0;
    for (auto _ : state) {
        std::string data = gb->save_state();
        bytes = data.size();
        benchmark::DoNotOptimize(data);
    }
    state.counters["state_bytes"] = double(bytes);
}

void BM_LoadState(benchmark::State& state) {
    auto gb = busy_machine();
    const std::string data = gb->save_state();
    for (auto _ : state) {
        if (!gb->load_state(data)) state.SkipWithError("load failed");
    }
}

// Each iteration goes back one second from the same point: the newest
// snapshot before it is restored and the rest is replayed.
void BM_RollbackOneSecond(benchmark::State& state) {
    auto gb = busy_machine();
    const u64 start = gb->cpu.cycles_4mhz;
    while (gb->cpu.cycles_4mhz < start + 4 * SECOND) {
        gb->run_frame();
        gb->check_if_save_state_needed();
    }
    const auto snapshots = gb->saved_states;
    const u64 now = gb->cpu.cycles_4mhz;
    for (auto _ : state) {
        gb->saved_states = snapshots;
        gb->rollback_to(now - SECOND);
    }
}

}  // namespace

BENCHMARK(BM_SaveState)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadState)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RollbackOneSecond)->Unit(benchmark::kMillisecond);
