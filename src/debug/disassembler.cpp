#include "debug/disassembler.h"

#include "core/gb.h"

void Disassembler::set_instruction_start_address(u16 address) {
    if (address < 0x8000 || (address >= 0xA000 && address < 0xC000))
        gb->cartridge.set_instruction_start_address(address);
    else
        instruction_marks[address] = ACCESS_INSTRUCTION;
}

void Disassembler::set_address_access_type_to_data(u16 address) {
    if (address < 0x8000) gb->cartridge.set_address_access_type_to_data(address);
}
