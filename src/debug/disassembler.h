#pragma once
#include <array>

#include "core/types.h"

class GB;

// Per-address instruction marks for everything outside the cartridge, and
// the forwarding of cartridge marks to the cartridge.
class Disassembler {
public:
    void reset() {}
    void load_symbol_file() {}
    void set_instruction_start_address(u16 address);
    void set_address_access_type_to_data(u16 address);

    GB* gb = nullptr;
    std::array<u8, 0x10000> instruction_marks{};
};
