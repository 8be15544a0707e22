#pragma once
// The archives that save states are written with: cereal's binary archives
// over string streams, every value in its native little-endian width with no
// names or padding. Every file that serialises a unit includes this header
// rather than cereal's own, so that all of them see the same rules below.
#include <cereal/archives/binary.hpp>
#include <cereal/types/array.hpp>
#include <cereal/types/memory.hpp>
#include <cereal/types/polymorphic.hpp>
#include <cereal/types/string.hpp>

#include "core/save_state.h"
#include "core/types.h"

namespace cereal {

// A bool travels as one byte holding 0 or 1. Any other byte can only come
// from a damaged string, and copying it into a bool would give the program a
// value no bool can hold, so it is refused here.
inline void CEREAL_LOAD_FUNCTION_NAME(BinaryInputArchive& ar, bool& value) {
    u8 byte = 0;
    ar.loadBinary(&byte, 1);
    if (byte > 1) throw Exception("save state: a flag byte holds " + std::to_string(byte));
    value = byte != 0;
}

// The only text in a state is a bank controller's type name. A damaged
// length must not make the reader allocate without bound.
inline void CEREAL_LOAD_FUNCTION_NAME(BinaryInputArchive& ar, std::string& text) {
    u64 size = 0;
    ar.loadBinary(&size, sizeof size);
    if (size > 64) throw Exception("save state: a type name of " + std::to_string(size) + " bytes");
    text.resize(size_t(size));
    ar.loadBinary(text.data(), size_t(size));
}

}  // namespace cereal
