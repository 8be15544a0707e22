#pragma once
// The runner's debugging outputs: the symbol file written after a run, as
// the front end's W writes it, and a disassembly listing with labels around
// an address or the final PC.
#include <string>

#include "core/gb.h"

namespace romtest {

struct DebugOutputs {
    bool write_symbol_file = false;
    bool listing = false;
    bool listing_at_pc = false;  // else at listing_address
    u16 listing_address = 0;
    int listing_rows = 24;
};

// Takes the option at argv[i] (and its value) if it is one of these:
// returns 1 when taken, 0 when it is not a debugging option, -1 with a
// message in `error` when its value is bad.
int parse_debug_option(int argc, char** argv, int& i, DebugOutputs& outputs, std::string& error);
// Usage lines of the debugging options.
const char* debug_options_usage();

// Loads the symbol file beside the ROM, as every ROM load of the program does.
void load_symbols(GB& gb);

// The listing: `rows` rows from a little before the row of `address`, label
// rows as "Name:", a blank row after each unconditional jump or return, the
// row at PC marked "->".
std::string listing_around(GB& gb, u16 address, int rows);

// After the run: writes what was asked for to standard output and the
// symbol file; false with a message when the file could not be written.
bool write_debug_outputs(GB& gb, const DebugOutputs& outputs, std::string& error);

}  // namespace romtest
