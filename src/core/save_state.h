#pragma once
// What every unit's save-state code shares, without the archive library:
// units write their fields through member templates that any archive can
// instantiate, and refuse impossible values with state::Rejected.
#include <stdexcept>
#include <string>

namespace state {

// True while `Archive` reads a state back.
template <class Archive>
constexpr bool loading = Archive::is_loading::value;

// Thrown for a state whose bytes parse but whose values no machine can hold.
struct Rejected : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace state
