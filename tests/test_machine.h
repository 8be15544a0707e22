#pragma once
// Test support: a machine built around a ROM assembled in memory, and a bank
// controller that records every cartridge-bus access with the M-cycle it
// happened in. Code placed at 0x0100 runs from the post-boot state.
#include <memory>
#include <string>
#include <vector>

#include "cartridge/mbc.h"
#include "core/gb.h"
#include "cpu/cpu.h"

struct BusAccess {
    u64 cpu_cycle;  // CPU clock right after the access's M-cycle advanced time
    u16 address;
    u8 value;
    bool write;
    bool operator==(const BusAccess&) const = default;
};

// Forwards to the real controller and logs every ROM read, cartridge-RAM read
// and write. Stack and data put into A000-BFFF are traced the same way.
class TracingMBC : public MemoryBankController {
public:
    TracingMBC(std::shared_ptr<MemoryBankController> inner_, GB* gb_) : inner(std::move(inner_)), gb(gb_) {}
    void init(u8* rom, int rom_size, u8* ram, int ram_size) override { inner->init(rom, rom_size, ram, ram_size); }
    u8 read_byte_rom0(u16 a) override { return log(a, inner->read_byte_rom0(a), false); }
    u8 read_byte_rom1(u16 a) override { return log(a, inner->read_byte_rom1(a), false); }
    u8 read_byte_sram(u16 a) override { return log(a, inner->read_byte_sram(a), false); }
    void write_byte(u16 a, u8 v, u64 cycle) override {
        log(a, v, true);
        inner->write_byte(a, v, cycle);
    }
    int get_mapped_address_rom(u16 a) override { return inner->get_mapped_address_rom(a); }
    int get_mapped_address_ram(u16 a) override { return inner->get_mapped_address_ram(a); }
    int get_rom_bank() override { return inner->get_rom_bank(); }
    int get_ram_bank() override { return inner->get_ram_bank(); }
    void update() override { inner->update(); }

    std::shared_ptr<MemoryBankController> inner;
    GB* gb;
    std::vector<BusAccess> log_entries;
    bool enabled = true;

private:
    u8 log(u16 a, u8 v, bool write) {
        if (enabled) log_entries.push_back({gb->cpu.cpu_cycles, a, v, write});
        return v;
    }
};

// A 32 KiB ROM image with a program at the entry point 0x0100.
struct RomImage {
    std::vector<u8> bytes = std::vector<u8>(0x8000, 0x00);
    explicit RomImage(const std::vector<u8>& program = {}, u16 at = 0x0100) { place(at, program); }
    RomImage& place(u16 at, const std::vector<u8>& data) {
        for (size_t i = 0; i < data.size(); ++i) bytes.at(at + i) = data[i];
        return *this;
    }
    RomImage& cgb_flag(u8 v) { bytes[0x0143] = v; return *this; }
    RomImage& type(u8 v) { bytes[0x0147] = v; return *this; }
    RomImage& ram_size_code(u8 v) { bytes[0x0149] = v; return *this; }
};

// One machine, reset on the given model (a short name, or "auto") with the
// ROM loaded from memory and no boot ROM image.
class TestMachine {
public:
    explicit TestMachine(const RomImage& rom, const std::string& model = "dmgB") {
        gb = std::make_unique<GB>(1);
        gb->cartridge.load_rom_from_memory("test.gb", rom.bytes.data(), int(rom.bytes.size()));
        if (!gb->set_default_device_by_short_string(model)) throw std::runtime_error("unknown model " + model);
        gb->reset();
    }
    CPU& cpu() { return gb->cpu; }
    // Installs the tracing controller; accesses from now on are logged.
    TracingMBC& trace() {
        auto tracer = std::make_shared<TracingMBC>(gb->mbc, gb.get());
        gb->mbc = tracer;
        return *tracer;
    }
    void step(int n = 1) {
        for (int i = 0; i < n; ++i) gb->run_single_instruction();
    }
    std::unique_ptr<GB> gb;
};
