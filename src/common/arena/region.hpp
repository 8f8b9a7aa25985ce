#pragma once

#include <cstdint>

namespace brindle {

// A run of slots of a table's arena (an elastic level; a funnel level or
// special part) and what it holds.  Its control bytes start at control byte
// first_slot and its entries at that entry.
struct SlotRegion {
  std::uint32_t first_slot = 0;
  std::uint32_t slot_count = 0;
  std::uint32_t len = 0;
  std::uint32_t tombstones = 0;
};

}  // namespace brindle
