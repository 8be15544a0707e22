#pragma once
// Test support for the debugging tools: a banked ROM image assembled in
// memory, and a machine that loads it from a file in its own scratch
// directory the way the program does, so that a symbol file beside it is
// read at load and written beside it.
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/gb.h"
#include "temp_dir.h"

// A ROM of `banks` 16 KiB banks, all zeros (NOP) but for what is placed.
struct BankedRom {
    std::vector<u8> bytes;
    explicit BankedRom(int banks = 2, u8 type = 0x00, u8 ram_size_code = 0x00) : bytes(size_t(banks) * 0x4000, 0x00) {
        bytes[0x0147] = type;
        bytes[0x0149] = ram_size_code;
    }
    // Places bytes at a CPU address of a bank (bank 0: 0000-3FFF; others 4000-7FFF).
    BankedRom& place(int bank, u16 address, const std::vector<u8>& data) {
        const size_t at = size_t(bank) * 0x4000 + (address & 0x3FFF);
        for (size_t i = 0; i < data.size(); ++i) bytes.at(at + i) = data[i];
        return *this;
    }
    BankedRom& at_entry(const std::vector<u8>& program) { return place(0, 0x0100, program); }
    BankedRom& cgb_flag(u8 v) {
        bytes[0x0143] = v;
        return *this;
    }
};

class FileMachine {
public:
    // `symbols` (when not empty) is written as game.sym beside the ROM first.
    explicit FileMachine(const BankedRom& rom, const std::string& model = "dmgB", const std::string& symbols = "") {
        rom_path = dir.file("game.gb", rom.bytes);
        sym_path = dir.path("game.sym");
        if (!symbols.empty()) std::ofstream(sym_path, std::ios::binary) << symbols;
        gb = std::make_unique<GB>(1);
        if (!gb->set_default_device_by_short_string(model)) throw std::runtime_error("unknown model " + model);
        gb->load_rom(rom_path);
    }
    CPU& cpu() { return gb->cpu; }
    void step(int n = 1) {
        for (int i = 0; i < n; ++i) gb->run_single_instruction();
    }
    // Steps until PC is `pc` (false if it never gets there).
    bool run_to(u16 pc, int max_steps = 10000) {
        for (int i = 0; i < max_steps; ++i) {
            if (gb->cpu.pc == pc) return true;
            gb->run_single_instruction();
        }
        return gb->cpu.pc == pc;
    }

    TempDir dir;
    std::string rom_path;
    std::string sym_path;
    std::unique_ptr<GB> gb;
};
