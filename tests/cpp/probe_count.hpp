#pragma once
// Groups of control bytes one lookup loads, for tests that compare layouts by
// what misses cost; both tables count their own, on find's own path.

#include <cstdint>

#include "elastic/elastic_table.hpp"
#include "funnel/funnel_table.hpp"

namespace brindle::test {

struct ProbeCount {
  std::uint64_t groups = 0;
  bool found = false;
};

template <class Table, class K>
ProbeCount probe_groups(const Table& t, const K& k, std::uint64_t h) {
  const std::uint8_t tag = tag_of(h);
  return {t.probe_groups_for(k, h, tag), t.find(k, h, tag).has_value()};
}

}  // namespace brindle::test
