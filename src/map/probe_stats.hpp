#pragma once
// How many groups of control bytes lookups load, measured on demand by the
// tables' own lookup walks with counting on; nothing is counted otherwise.

#include <algorithm>
#include <cstdint>

#include "hash.hpp"
#include "probe_walk.hpp"

namespace brindle {

struct ProbeStats {
  double hit_avg = 0, miss_avg = 0;
  std::uint64_t hit_max = 0, miss_max = 0;
};

// Hits: up to `sample` present keys, spread over the scan order.  Misses: `sample` hash
// words drawn from `seed`, walked as keys that are in no table; a miss needs
// no key object, and no key comparison runs on either walk.
template <class Map>
ProbeStats probe_stats(const Map& m, std::uint64_t sample, std::uint64_t seed) {
  const auto& table = m.table();
  ProbeStats out;
  // Evenly spaced over the whole scan order: its first keys all sit in the
  // first level, where lookups are cheapest, and its last in the costliest.
  const std::uint64_t n = m.len(), take = std::min<std::uint64_t>(sample, n);
  std::uint64_t hits = 0, hit_groups = 0, i = 0;
  for (auto it = m.iter(); hits < take; ++i) {
    const auto kv = it.next();
    if (!kv) break;
    if ((i * take) % n >= take) continue;
    const std::uint64_t h = m.hash_of(*kv->first);
    const std::uint64_t g = table.probe(StoredKeyAt<typename Map::Table::key_type>{kv->first}, h, tag_of(h)).groups;
    ++hits;
    hit_groups += g;
    out.hit_max = std::max(out.hit_max, g);
  }
  if (hits != 0) out.hit_avg = static_cast<double>(hit_groups) / static_cast<double>(hits);
  std::uint64_t miss_groups = 0;
  for (std::uint64_t j = 0; j < sample; ++j) {
    const std::uint64_t word = detail::splitmix64(seed + j * 0x9E3779B97F4A7C15ull);
    const std::uint64_t g = table.probe_groups_for_absent(table_hash(word, table.seed()));
    miss_groups += g;
    out.miss_max = std::max(out.miss_max, g);
  }
  if (sample != 0) out.miss_avg = static_cast<double>(miss_groups) / static_cast<double>(sample);
  return out;
}

}  // namespace brindle
