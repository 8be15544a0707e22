#pragma once
// Compares two save-state strings without printing them: a failure names the
// sizes and the first byte that differs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

inline ::testing::AssertionResult same_state(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    return ::testing::AssertionFailure() << "states differ: " << got.size() << " vs " << want.size()
                                         << " bytes, first difference at offset " << (diff.first - got.begin());
}
