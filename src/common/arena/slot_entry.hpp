#pragma once

#include <utility>

namespace brindle {

// The default for an insert's `admit`: every insertion goes ahead.
struct AlwaysAdmit {
  constexpr bool operator()() const noexcept { return true; }
};

// The value type of a set's entries: takes no room beyond the key.
struct Unit {
  friend constexpr bool operator==(Unit, Unit) noexcept { return true; }
};

template <class K, class V>
struct SlotEntry {
  K key;
  [[no_unique_address]] V value;
};

}  // namespace brindle
