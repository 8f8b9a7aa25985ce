#pragma once
// find and probe_groups_for, written once for both tables.  A table supplies
// find_impl<Count>(key, h, t, groups): its lookup walk, which with Count set
// also adds up the groups of control bytes it loads.  Counting is thus find
// itself with counting on, not a second walk that could drift from it.

#include <cstdint>
#include <optional>

#include "../common/inline.hpp"
#include "hash.hpp"

namespace brindle {

// A query that equals no stored key, so that a walk with it follows a hash
// word's path to where a lookup of an absent key would stop; such a walk
// needs no key object, and no user code runs on its way.
struct AbsentKey {
  template <class K>
  friend constexpr bool operator==(AbsentKey, const K&) noexcept {
    return false;
  }
};

// A query that equals only the stored key at one address: a walk with it
// ends at that entry, as find of its key would, without comparing keys.
template <class K>
struct StoredKeyAt {
  const K* at;
  friend constexpr bool operator==(const StoredKeyAt& q, const K& stored) noexcept { return &stored == q.at; }
};

template <class Table, class K, class Location>
class ProbeWalk {
 public:
  BRINDLE_INLINE std::optional<Location> find(const K& key, std::uint64_t h, std::uint8_t t) const {
    return table().template find_impl<false>(key, h, t, nullptr);
  }

  // Groups of control bytes that find(key, h, t) loads; for tests and benchmarks.
  std::uint64_t probe_groups_for(const K& key, std::uint64_t h, std::uint8_t t) const {
    return probe(key, h, t).groups;
  }

  // The same for a lookup of a key that is absent and hashes to h.
  std::uint64_t probe_groups_for_absent(std::uint64_t h) const { return probe(AbsentKey{}, h, tag_of(h)).groups; }

  struct Probe {
    std::optional<Location> found;
    std::uint64_t groups = 0;
  };
  template <class Q>
  Probe probe(const Q& key, std::uint64_t h, std::uint8_t t) const {
    Probe p;
    p.found = table().template find_impl<true>(key, h, t, &p.groups);
    return p;
  }

 private:
  const Table& table() const noexcept { return static_cast<const Table&>(*this); }
};

}  // namespace brindle
