#pragma once
// The CPU's code/data marks, inline: they run at every opcode fetch and data
// read. A ROM mark is one store through the cartridge's mark window.
#include "core/gb.h"
#include "debug/disassembler.h"

inline void Disassembler::set_instruction_start_address(u16 address) {
    if (address < 0x8000)
        gb->cartridge.mark_rom(address, ACCESS_INSTRUCTION);
    else if (address >= 0xA000 && address < 0xC000)
        gb->cartridge.set_instruction_start_address(address);
    else
        instruction_marks[address] = ACCESS_INSTRUCTION;
}

inline void Disassembler::set_address_access_type_to_data(u16 address) {
    if (address < 0x8000) gb->cartridge.set_address_access_type_to_data(address, gb->cpu.cpu_cycles);
}
