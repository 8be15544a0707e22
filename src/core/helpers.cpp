#include "core/helpers.h"

#include <cctype>
#include <iomanip>
#include <iterator>

namespace Helpers {

namespace {

// One number of type T extracted in hexadecimal. The target starts at 0:
// an extraction that finds nothing to read (empty text) leaves it untouched,
// and a failed one stores 0 or, when out of range, the saturated value.
template <typename T>
T extract_hex(const std::string& s) {
    std::istringstream stream(s);
    T value = 0;
    stream >> std::hex >> value;
    return value;
}

}  // namespace

std::string to_lower(std::string s) {
    for (char& c : s) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x80) c = static_cast<char>(std::tolower(byte));
    }
    return s;
}

std::vector<std::string> split(const std::string& s, char delimiter) {
    std::vector<std::string> pieces;
    split(s, delimiter, std::back_inserter(pieces));
    return pieces;
}

int hex_string_to_int(const std::string& s) { return extract_hex<int>(s); }

int cpp_string_hex_to_int(const std::string& s) { return extract_hex<int>(s); }

int hex_to_int(const char* s) { return s ? extract_hex<int>(s) : 0; }

u64 cpp_string_hex_to_u64(const std::string& s) { return extract_hex<u64>(s); }

namespace {
int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

void HexWordReader::digit(char c) {
    const int d = hex_digit_value(c);
    if (d < 0) {
        phase_ = Phase::Done;
        return;
    }
    phase_ = Phase::Digits;
    if (value_ >> 60) overflow_ = true;
    value_ = value_ << 4 | u64(d);
}

void HexWordReader::feed(char c) {
    switch (phase_) {
        case Phase::Start:
            if (c == '+' || c == '-') {
                negative_ = c == '-';
                phase_ = Phase::AfterSign;
                return;
            }
            [[fallthrough]];
        case Phase::AfterSign:
            if (c == '0') {
                phase_ = Phase::AfterZero;
                return;
            }
            digit(c);
            return;
        case Phase::AfterZero:
            if (c == 'x' || c == 'X') {
                phase_ = Phase::AfterPrefix;
                return;
            }
            digit(c);
            return;
        case Phase::AfterPrefix:
        case Phase::Digits:
            digit(c);
            return;
        case Phase::Done:
            return;
    }
}

u64 HexWordReader::value() const {
    if (overflow_) return ~u64{0};
    return negative_ ? u64(0) - value_ : value_;
}

std::string int_to_hex(int value, int width) {
    std::ostringstream stream;
    stream << std::uppercase << std::hex << std::setfill('0') << std::setw(width < 0 ? 0 : width)
           << static_cast<u32>(value);
    return stream.str();
}

u32 parse_hex_banked_address(const char* s) {
    if (!s || !*s) return 0xFFFF0000;
    const std::vector<std::string> pieces = split(s, ':');
    if (pieces.empty()) return 0xFFFF0000;
    // A lone ":" splits into one empty piece, which reads as address 0.
    if (pieces.size() == 2)
        return (static_cast<u32>(hex_string_to_int(pieces[0])) << 16) | static_cast<u32>(hex_string_to_int(pieces[1]));
    return static_cast<u32>(hex_string_to_int(pieces[0])) | 0xFFFF0000u;
}

}  // namespace Helpers
