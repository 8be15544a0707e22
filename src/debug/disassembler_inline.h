#pragma once
// The CPU's code/data marks, inline: they run at every opcode fetch and data
// read. A mark is one store through a window onto the marks of the bank
// mapped now.
#include "core/gb.h"
#include "debug/disassembler.h"

inline void Disassembler::mark_instruction_start(GB& gb, u16 address) {
    gb.disassembler.mark_windows[address >> 13][address & 0x1FFF] = ACCESS_INSTRUCTION;
}

inline void Disassembler::mark_data_read(GB& gb, u16 address) {
    if (address < 0x8000) gb.cartridge.set_address_access_type_to_data(address, gb.cpu.cpu_cycles);
}

inline void Disassembler::set_instruction_start_address(u16 address) { mark_instruction_start(*gb, address); }

inline void Disassembler::set_address_access_type_to_data(u16 address) { mark_data_read(*gb, address); }
