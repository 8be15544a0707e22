#pragma once
#include <cstdint>

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i8 = std::int8_t;
using i16 = std::int16_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

// A cycle field holding all ones is "never": every unsigned comparison sorts
// it after any real cycle.
inline constexpr u64 NEVER = ~u64{0};

// Interrupt request bits of IF/IE, lowest first = highest priority.
inline constexpr u8 INT_VBLANK = 0x01;
inline constexpr u8 INT_STAT = 0x02;
inline constexpr u8 INT_TIMER = 0x04;
inline constexpr u8 INT_SERIAL = 0x08;
inline constexpr u8 INT_JOYPAD = 0x10;
