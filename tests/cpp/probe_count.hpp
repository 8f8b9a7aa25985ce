#pragma once
// Groups of control bytes one lookup loads, for tests that compare layouts by
// what misses cost.  The elastic table counts its own; the funnel table has no
// counter, so its lookup path is walked here over its public observers.
// `found` says where the walk ended, for callers to check against find().

#include <algorithm>
#include <cstdint>

#include "elastic/elastic_table.hpp"
#include "funnel/funnel_table.hpp"

namespace brindle::test {

struct ProbeCount {
  std::uint64_t groups = 0;
  bool found = false;
};

template <class K, class V, class S, class A>
ProbeCount probe_groups(const ElasticTable<K, V, S, A>& t, const K& k, std::uint64_t h) {
  const std::uint8_t tag = tag_of(h);
  return {t.probe_groups_for(k, h, tag), t.find(k, h, tag).has_value()};
}

// One group per bucket group of each level searched, per special-primary
// probe, per (possibly partial) group of the special-secondary buckets, and
// per group of the overflow area when the search gets there.
template <class K, class V, class S, class A>
ProbeCount probe_groups(const FunnelTable<K, V, S, A>& t, const K& k, std::uint64_t h) {
  using Loc = FunnelLocation;
  const std::uint8_t tag = tag_of(h);
  ProbeCount r;
  auto load = [&](Loc loc) {
    ++r.groups;
    std::uint8_t bytes[GROUP_WIDTH];
    for (std::uint32_t i = 0; i < GROUP_WIDTH; ++i) {
      Loc at = loc;
      at.slot += i;
      bytes[i] = t.control_at(at);
    }
    return Group(bytes);
  };
  auto match = [&](const Group& g, Loc base) {
    for (std::uint32_t bit : g.match_tag(tag)) {
      Loc at = base;
      at.slot += bit;
      if (t.entry_at(at).key == k) return true;
    }
    return false;
  };
  const std::uint32_t count = t.level_count();
  const std::uint32_t last = count == 0 ? 0 : std::min(count - 1, t.max_populated_level());
  for (std::uint32_t i = 0; i < count && i <= last; ++i) {
    const BucketLevel& lv = t.level(i);
    if (lv.len == 0) {
      if (lv.slot_count == 0 || lv.tombstones != 0) continue;
      return r;
    }
    const std::uint32_t start = lv.bucket_start(h);
    for (std::uint32_t g = 0; g < lv.groups_per_bucket(); ++g) {
      const Loc at = Loc::in_level(i, start + g * GROUP_WIDTH);
      const Group group = load(at);
      if (match(group, at)) return r.found = true, r;
      if (group.has_empty()) return r;
    }
  }
  if (t.special_len() != 0) {
    const SpecialPrimary& p = t.special_primary();
    if (p.slot_count != 0 && p.len != 0) {
      for (PrimaryProbe probe(p, h, t.probe_limit()); !probe.done(); probe.next()) {
        const Loc at = Loc::in_special_primary(probe.first_slot());
        const Group group = load(at);
        if (match(group, at)) return r.found = true, r;
        if (group.has_empty() && !group.match_tag(CTRL_TOMBSTONE)) return r;
      }
    }
    const SpecialSecondary& s = t.special_secondary();
    if (s.slot_count != 0 && s.len != 0) {
      for (const std::uint32_t c : {s.first_choice(h), s.second_choice(h)}) {
        const auto [begin, end] = s.bucket_range(c);
        for (std::uint32_t pos = begin; pos < end; pos += GROUP_WIDTH) {
          ++r.groups;
          for (std::uint32_t slot = pos; slot < std::min(end, pos + GROUP_WIDTH); ++slot) {
            const Loc at = Loc::in_special_secondary(slot);
            if (t.control_at(at) == tag && t.entry_at(at).key == k) return r.found = true, r;
          }
        }
      }
    }
  }
  if (t.overflow_len() != 0) {
    r.groups += t.overflow_slots() / GROUP_WIDTH;
    r.found = t.find_in_overflow(k, tag).has_value();
  }
  return r;
}

}  // namespace brindle::test
