#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "core/helpers.h"

namespace {

TEST(Helpers, ToLowerChangesOnlyAsciiCapitals) {
    const std::pair<std::string, std::string> rows[] = {
        {"@AZ[`az{_0x1F:", "@az[`az{_0x1f:"},             // the neighbours of A-Z stay
        {"\xC3\x89T\xC3\xA9\x80\xC9\xFF", "\xC3\x89t\xC3\xA9\x80\xC9\xFF"},  // UTF-8 and Latin-1 pass
        {std::string("A\0B", 3), std::string("a\0b", 3)},  // a zero byte does not end the text
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(Helpers::to_lower(in), out);
}

TEST(Helpers, SplitGivesThePiecesBetweenDelimiters) {
    struct Row {
        std::string text;
        std::vector<std::string> pieces;
    };
    const Row rows[] = {
        {"a,,b,", {"a", "", "b"}},  // a trailing delimiter adds nothing
        {"", {}},
        {",a", {"", "a"}},
        {",,", {"", ""}},
        {"no delimiter", {"no delimiter"}},
    };
    for (const Row& r : rows) EXPECT_EQ(Helpers::split(r.text, ','), r.pieces) << r.text;
}

// The three int readers behave the same.
TEST(Helpers, HexToIntStopsAtTheFirstNonDigitAndSaturates) {
    const std::pair<std::string, int> rows[] = {
        {"abcDEF", 0xABCDEF}, {" \t1f zz", 0x1F}, {"12g4", 0x12},       {"zz", 0},
        {"", 0},              {"7fffffff", INT_MAX}, {"80000000", INT_MAX}, {"-1", -1},
        {"-80000001", INT_MIN},
    };
    for (const auto& [text, value] : rows) {
        EXPECT_EQ(Helpers::hex_string_to_int(text), value) << text;
        EXPECT_EQ(Helpers::cpp_string_hex_to_int(text), value) << text;
        EXPECT_EQ(Helpers::hex_to_int(text.c_str()), value) << text;
    }
    EXPECT_EQ(Helpers::hex_to_int(nullptr), 0);
    EXPECT_EQ(Helpers::cpp_string_hex_to_u64("FfFfFfFf0"), 0xFFFFFFFF0ULL);
    EXPECT_EQ(Helpers::cpp_string_hex_to_u64("10000000000000000"), UINT64_MAX);
}

// The input log's reader takes its numbers a character at a time; each word
// must read as the stream extraction reads it.
TEST(Helpers, HexWordReaderReadsAWordAsTheStreamDoes) {
    const char* words[] = {"3B4", "ffFF", "0", "0x1f", "0X1F", "0x", "x5", "00x5", "0xg", "12g4", "-1", "-0x10",
                           "+5", "-", "+", "+-5", "FFFFFFFFFFFFFFFF", "10000000000000000",
                           "-10000000000000000", "0000000000000000000000001F", "z"};
    for (const char* w : words) {
        Helpers::HexWordReader reader;
        for (const char* c = w; *c; ++c) reader.feed(*c);
        EXPECT_EQ(reader.value(), Helpers::cpp_string_hex_to_u64(w)) << w;
        reader.clear();
        EXPECT_EQ(reader.value(), 0u);
    }
}

TEST(Helpers, IntToHexIsUpperCaseZeroPaddedToAtLeastWidth) {
    EXPECT_EQ(Helpers::int_to_hex(10, 4), "000A");
    EXPECT_EQ(Helpers::int_to_hex(0x12345, 2), "12345");
    EXPECT_EQ(Helpers::int_to_hex(0, 0), "0");
    EXPECT_EQ(Helpers::int_to_hex(-2, 10), "00FFFFFFFE");
}

TEST(Helpers, BankedAddressPutsTheBankInTheUpperHalf) {
    const std::pair<const char*, std::uint32_t> rows[] = {
        {"1FF:5abc", 0x01FF5ABC}, {":4000", 0x00004000},
        // Anything but exactly two pieces: the first piece in any bank.
        {"4000", 0xFFFF4000}, {"1:2:3", 0xFFFF0001}, {"c000:", 0xFFFFC000},
        // Nothing to read at all: address 0 in any bank.
        {"", 0xFFFF0000}, {nullptr, 0xFFFF0000},
    };
    for (const auto& [text, value] : rows)
        EXPECT_EQ(Helpers::parse_hex_banked_address(text), value) << (text ? text : "(null)");
}

}  // namespace
