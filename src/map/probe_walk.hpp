#pragma once
// find and probe_groups_for, written once for both tables.  A table supplies
// find_impl<Count>(key, h, t, groups): its lookup walk, which with Count set
// also adds up the groups of control bytes it loads.  Counting is thus find
// itself with counting on, not a second walk that could drift from it.

#include <cstdint>
#include <optional>

#include "../common/inline.hpp"

namespace brindle {

template <class Table, class K, class Location>
class ProbeWalk {
 public:
  BRINDLE_INLINE std::optional<Location> find(const K& key, std::uint64_t h, std::uint8_t t) const {
    return table().template find_impl<false>(key, h, t, nullptr);
  }

  // Groups of control bytes that find(key, h, t) loads; for tests and benchmarks.
  std::uint64_t probe_groups_for(const K& key, std::uint64_t h, std::uint8_t t) const {
    std::uint64_t groups = 0;
    table().template find_impl<true>(key, h, t, &groups);
    return groups;
  }

 private:
  const Table& table() const noexcept { return static_cast<const Table&>(*this); }
};

}  // namespace brindle
