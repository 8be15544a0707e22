#pragma once
// Small stateless text utilities shared by the symbol-file reader and the
// joypad input-log reader. Parsing and formatting go through the standard
// string streams, so their rules hold throughout: leading white space is
// skipped and a number ends at the first character that cannot be part of it.
#include <sstream>
#include <string>
#include <vector>

#include "core/types.h"

namespace Helpers {

// A copy of s with A-Z lowered. Bytes 0x80-0xFF (UTF-8 pieces, Latin-1 text)
// are left exactly as they are, whatever locale the process runs in.
std::string to_lower(std::string s);

// The pieces of s between delimiters, in order, each written to out. Two
// adjacent delimiters give an empty piece, a leading delimiter an empty first
// piece; a trailing delimiter gives no empty last piece and an empty s gives
// no pieces at all.
template <typename OutputIterator>
void split(const std::string& s, char delimiter, OutputIterator out) {
    std::istringstream stream(s);
    std::string piece;
    while (std::getline(stream, piece, delimiter)) *out++ = piece;
}

std::vector<std::string> split(const std::string& s, char delimiter);

// s read as one hexadecimal number. Upper- and lower-case digits are
// accepted, reading stops at the first non-digit, and a text that does not
// start with a digit (after white space) gives 0. A value past the type's
// range saturates: the largest value (a negative one the smallest), so
// "80000000" reads as 0x7FFFFFFF, not as a negative int.
int hex_string_to_int(const std::string& s);
int cpp_string_hex_to_int(const std::string& s);
// The same for a zero-terminated string; a null pointer reads as 0.
int hex_to_int(const char* s);
u64 cpp_string_hex_to_u64(const std::string& s);

// Reads one word (a run of characters without white space) as a hexadecimal
// unsigned 64-bit number a character at a time, with the result that
// cpp_string_hex_to_u64 gives for the word: an optional sign, an optional
// "0x" or "0X", then digits up to the first character that is none. A
// negative number wraps around, one past the range saturates, and a word
// without digits reads as 0. Nothing is stored but the number itself, so a
// word of any length costs no memory.
class HexWordReader {
public:
    void feed(char c);
    u64 value() const;
    void clear() { *this = HexWordReader{}; }

private:
    enum class Phase : u8 { Start, AfterSign, AfterZero, AfterPrefix, Digits, Done };
    Phase phase_ = Phase::Start;
    bool negative_ = false;
    bool overflow_ = false;
    u64 value_ = 0;
    void digit(char c);
};

// value in upper-case hexadecimal, zero-padded on the left to at least width
// digits. A negative value prints as its 32-bit two's-complement pattern.
std::string int_to_hex(int value, int width);

// Reads "bank:address" (both hexadecimal) as (bank << 16) | address. A text
// with any other number of colon-separated pieces means "this address in any
// bank": its first piece is the address and the upper half is 0xFFFF
// (bank -1). An empty text or a null pointer has no address at all and gives
// 0xFFFF0000, address 0 in any bank.
u32 parse_hex_banked_address(const char* s);

}  // namespace Helpers
