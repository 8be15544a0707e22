#include <gtest/gtest.h>
#include "core/gb.h"
TEST(Smoke, Builds) { GB gb; EXPECT_FALSE(gb.running); }
