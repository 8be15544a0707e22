#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <deque>
#include <iterator>
#include <string>
#include <vector>

#include "core/helpers.h"

namespace {

// ---------------------------------------------------------------------------
// Lower-casing

struct LowerCase {
    std::string in;
    std::string out;
};

class ToLower : public ::testing::TestWithParam<LowerCase> {};

TEST_P(ToLower, ChangesOnlyAsciiCapitals) {
    const LowerCase& c = GetParam();
    const std::string result = Helpers::to_lower(c.in);
    EXPECT_EQ(result, c.out);
    EXPECT_EQ(result.size(), c.in.size());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ToLower,
    ::testing::Values(LowerCase{"ABC_def", "abc_def"}, LowerCase{"", ""},
                      // The neighbours of A-Z in the code table stay.
                      LowerCase{"@AZ[`az{", "@az[`az{"},
                      LowerCase{"Label_0x1F:", "label_0x1f:"},
                      // UTF-8 and Latin-1 bytes pass through untouched.
                      LowerCase{"\xC3\x89T\xC3\xA9", "\xC3\x89t\xC3\xA9"},
                      LowerCase{"\x80\xC9\xFF", "\x80\xC9\xFF"},
                      // A zero byte inside the text does not end it.
                      LowerCase{std::string("A\0B", 3), std::string("a\0b", 3)}));

// ---------------------------------------------------------------------------
// Splitting

struct SplitCase {
    std::string text;
    char delimiter;
    std::vector<std::string> pieces;
};

class Split : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Split, GivesThePiecesBetweenDelimiters) {
    const SplitCase& c = GetParam();
    EXPECT_EQ(Helpers::split(c.text, c.delimiter), c.pieces);
}

TEST_P(Split, WritesTheSamePiecesThroughAnOutputIterator) {
    const SplitCase& c = GetParam();
    std::deque<std::string> front_first;
    Helpers::split(c.text, c.delimiter, std::front_inserter(front_first));
    const std::vector<std::string> reversed(c.pieces.rbegin(), c.pieces.rend());
    EXPECT_EQ(std::vector<std::string>(front_first.begin(), front_first.end()), reversed);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Split,
    ::testing::Values(SplitCase{"a,,b,", ',', {"a", "", "b"}},  // trailing delimiter adds nothing
                      SplitCase{"", ',', {}},
                      SplitCase{",a", ',', {"", "a"}},
                      SplitCase{"no delimiter", ',', {"no delimiter"}},
                      SplitCase{",", ',', {""}},
                      SplitCase{",,", ',', {"", ""}},
                      SplitCase{"00:0150 .code:001a", ':', {"00", "0150 .code", "001a"}},
                      SplitCase{"01:4000 Main", ' ', {"01:4000", "Main"}}));

// ---------------------------------------------------------------------------
// Hexadecimal reading into int: the three int readers behave the same.

struct HexIntCase {
    std::string text;
    int value;
};

class HexToInt : public ::testing::TestWithParam<HexIntCase> {};

TEST_P(HexToInt, AllIntReadersAgree) {
    const HexIntCase& c = GetParam();
    EXPECT_EQ(Helpers::hex_string_to_int(c.text), c.value);
    EXPECT_EQ(Helpers::cpp_string_hex_to_int(c.text), c.value);
    EXPECT_EQ(Helpers::hex_to_int(c.text.c_str()), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HexToInt,
    ::testing::Values(HexIntCase{"1f", 0x1F}, HexIntCase{"1F", 0x1F},
                      HexIntCase{" 1f zz", 0x1F},      // leading blanks skipped, rest ignored
                      HexIntCase{"\t\n4000", 0x4000},
                      HexIntCase{"abcDEF", 0xABCDEF},
                      HexIntCase{"12g4", 0x12},        // stops at the first non-digit
                      HexIntCase{"zz", 0},             // no digits at the start
                      HexIntCase{"", 0},
                      HexIntCase{"   ", 0},
                      HexIntCase{"7fffffff", INT_MAX},
                      // Past the range of int: the largest int, not a wrapped pattern.
                      HexIntCase{"80000000", INT_MAX},
                      HexIntCase{"ffffffff", INT_MAX},
                      HexIntCase{"123456789abcdef0", INT_MAX},
                      HexIntCase{"-1", -1},
                      HexIntCase{"-80000001", INT_MIN}));

TEST(HexToInt, NullPointerReadsAsZero) { EXPECT_EQ(Helpers::hex_to_int(nullptr), 0); }

// ---------------------------------------------------------------------------
// Hexadecimal reading into an unsigned 64-bit number

struct HexU64Case {
    std::string text;
    std::uint64_t value;
};

class HexToU64 : public ::testing::TestWithParam<HexU64Case> {};

TEST_P(HexToU64, ReadsTheFullWidth) {
    const HexU64Case& c = GetParam();
    EXPECT_EQ(Helpers::cpp_string_hex_to_u64(c.text), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HexToU64,
    ::testing::Values(HexU64Case{"123456789", 0x123456789ULL},
                      HexU64Case{" 00000001 8", 1},
                      HexU64Case{"FfFfFfFfFfFfFfFf", UINT64_MAX},
                      HexU64Case{"10000000000000000", UINT64_MAX},  // too large: saturates
                      HexU64Case{"zz", 0}, HexU64Case{"", 0}));

// ---------------------------------------------------------------------------
// Hexadecimal formatting

struct IntToHexCase {
    int value;
    int width;
    std::string text;
};

class IntToHex : public ::testing::TestWithParam<IntToHexCase> {};

TEST_P(IntToHex, UpperCaseZeroPaddedToAtLeastWidth) {
    const IntToHexCase& c = GetParam();
    EXPECT_EQ(Helpers::int_to_hex(c.value, c.width), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IntToHex,
    ::testing::Values(IntToHexCase{10, 4, "000A"}, IntToHexCase{0x12345, 2, "12345"},
                      IntToHexCase{0xABCDEF, 8, "00ABCDEF"}, IntToHexCase{0, 2, "00"},
                      IntToHexCase{0, 0, "0"}, IntToHexCase{255, 0, "FF"},
                      IntToHexCase{-1, 2, "FFFFFFFF"}, IntToHexCase{INT_MIN, 4, "80000000"},
                      IntToHexCase{-2, 10, "00FFFFFFFE"}));

// Formatting and reading back are inverse for every non-negative int.
TEST(IntToHex, ReadsBackAsTheSameValue) {
    for (int v : {0, 1, 0x9F, 0x4000, 0xFFFF, 0x12345678, INT_MAX})
        EXPECT_EQ(Helpers::hex_string_to_int(Helpers::int_to_hex(v, 4)), v) << v;
}

// ---------------------------------------------------------------------------
// Banked addresses "bank:address"

struct BankedCase {
    const char* text;
    std::uint32_t value;
};

class BankedAddress : public ::testing::TestWithParam<BankedCase> {};

TEST_P(BankedAddress, BankInTheUpperHalf) {
    const BankedCase& c = GetParam();
    EXPECT_EQ(Helpers::parse_hex_banked_address(c.text), c.value) << (c.text ? c.text : "(null)");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BankedAddress,
    ::testing::Values(BankedCase{"01:4000", 0x00014000}, BankedCase{"1f:7FFF", 0x001F7FFF},
                      BankedCase{"1FF:5abc", 0x01FF5ABC},
                      BankedCase{":4000", 0x00004000},  // empty bank reads as bank 0
                      // Anything but exactly two pieces: the first piece in any bank.
                      BankedCase{"4000", 0xFFFF4000}, BankedCase{"1:2:3", 0xFFFF0001},
                      BankedCase{"c000:", 0xFFFFC000}, BankedCase{":", 0xFFFF0000},
                      // Nothing to read at all: address 0 in any bank.
                      BankedCase{"", 0xFFFF0000}, BankedCase{nullptr, 0xFFFF0000}));

}  // namespace
