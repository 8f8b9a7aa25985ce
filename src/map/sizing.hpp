#pragma once
// How both tables size themselves.  A table has a nominal slot count, 0 or a
// power of two, and an item limit below it that keeps a reserve fraction of
// those slots free; it grows by doubling the nominal slot count until the
// item limit holds what it must.

#include <cstdint>

#include "failure.hpp"

namespace brindle {

// What a container gets when nobody asks for a reserve fraction.
inline constexpr double DEFAULT_RESERVE_FRACTION = 0.25;

inline constexpr std::uint32_t MIN_NOMINAL_SLOTS = 16;
// Doubling past this would leave the 32-bit counters.
inline constexpr std::uint32_t MAX_NOMINAL_SLOTS = 0x80000000u;

// One growth step: from none to MIN_NOMINAL_SLOTS, else twice as many.
inline std::uint32_t next_nominal_slots(std::uint32_t nominal) {
  if (nominal == 0) return MIN_NOMINAL_SLOTS;
  if (nominal >= MAX_NOMINAL_SLOTS) fail_capacity_overflow();
  return nominal * 2;
}

// The first nominal slot count from `nominal` on whose item limit,
// max_items(n), reaches `needed`.  Near a reserve fraction of 1 a doubling
// can add no items at all, so this may take several steps.
template <class MaxItems>
std::uint32_t nominal_slots_reaching(std::uint32_t nominal, std::uint32_t needed, MaxItems&& max_items) {
  while (max_items(nominal) < needed) nominal = next_nominal_slots(nominal);
  return nominal;
}

}  // namespace brindle
