#pragma once
#include <array>

#include "core/types.h"

// The pseudo-random numbers behind the joypad interrupt's delay. They follow
// the sequence of the C library's rand() when it is never seeded (the
// additive feedback generator r[i] = r[i-3] + r[i-31] of the GNU C library,
// seed 1, outputs shifted right once), so every run draws the same delays.
// Being part of the machine rather than of the process, the generator is
// restarted by every reset and travels in save states: a machine rolled back
// and replayed draws exactly the numbers it drew the first time.
class RandomSource {
public:
    RandomSource() { seed(1); }

    void seed(u32 value) {
        std::array<i32, 34> r{};
        r[0] = i32(value);
        for (int i = 1; i < 31; ++i) {
            const i64 next = (16807 * i64(r[i - 1])) % 2147483647;
            r[i] = i32(next < 0 ? next + 2147483647 : next);
        }
        for (int i = 31; i < 34; ++i) r[i] = r[i - 31];
        for (int i = 0; i < 34; ++i) ring[i] = u32(r[i]);
        position = 0;
        // The first 310 values of the feedback sequence are never handed out.
        for (int i = 34; i < 344; ++i) advance();
    }

    // The next value, 0 to 0x7FFFFFFF.
    i32 next() { return i32(advance() >> 1); }

    template <class Archive>
    void serialize(Archive& ar) {
        ar(ring, position);
    }

    // The last 34 values of the feedback sequence; `position` is the slot the
    // next one goes to.
    std::array<u32, 34> ring{};
    i32 position = 0;

private:
    u32 advance() {
        auto at = [this](int back) { return ring[(position + 34 - back) % 34]; };
        const u32 value = at(31) + at(3);
        ring[position] = value;
        position = (position + 1) % 34;
        return value;
    }
};
