#pragma once
// Shape of an elastic table: how a requested item count becomes a nominal
// slot count, how that is split into levels of falling size, and how many
// insertions each batch of the fill plan takes.  Pure functions, no memory
// beyond the returned arrays.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "../common/arena/control.hpp"
#include "../common/arena/layout.hpp"
#include "../common/saturate.hpp"
#include "../map/failure.hpp"
#include "../map/sizing.hpp"

namespace brindle {

inline constexpr double MIN_RESERVE_FRACTION = 0.000001;
inline constexpr double MAX_RESERVE_FRACTION = 0.999999;
inline constexpr std::uint64_t LEVEL_SALT_STEP = 0x9E3779B97F4A7C15ull;

// Callers may pass anything; the table always works with a fraction strictly
// inside (0, 1) so that both max_items and the per-level reserve make sense.
inline double clamp_elastic_reserve_fraction(double r) noexcept {
  if (!std::isfinite(r)) return DEFAULT_RESERVE_FRACTION;
  return std::clamp(r, MIN_RESERVE_FRACTION, MAX_RESERVE_FRACTION);
}

// floor(delta * n): the part of n kept free.
inline std::uint32_t reserved_part(std::uint32_t n, double delta) noexcept {
  const double r = std::floor(delta * static_cast<double>(n));
  return r <= 0 ? 0 : r >= static_cast<double>(n) ? n : static_cast<std::uint32_t>(r);
}

inline std::uint32_t max_items_for(std::uint32_t nominal_slots, double delta) noexcept {
  return nominal_slots - reserved_part(nominal_slots, delta);
}

// The smallest nominal slot count whose item limit reaches n; 0 for 0.
inline std::uint32_t nominal_slots_for(std::uint32_t n, double delta) {
  return nominal_slots_reaching(0, n, [delta](std::uint32_t c) { return max_items_for(c, delta); });
}

// Halving raw sizes, each rounded up to a power-of-two number of groups, so
// that every level probes with a mask and no group straddles two levels.
inline std::vector<std::uint32_t> partition_levels(std::uint32_t n) {
  std::vector<std::uint32_t> sizes;
  if (n == 0) return sizes;
  std::uint32_t remaining = n;
  std::uint32_t want = n - n / 2;
  for (;;) {
    const std::uint32_t size = std::max<std::uint32_t>(std::min(remaining, want), 1);
    const std::uint64_t groups = std::bit_ceil((static_cast<std::uint64_t>(size) + GROUP_WIDTH - 1) / GROUP_WIDTH);
    sizes.push_back(saturate_u32(groups * GROUP_WIDTH));
    remaining -= size;
    if (remaining == 0) break;
    want = size < 2 ? 1 : size / 2;
  }
  return sizes;
}

// Slots of a level that its own batch leaves free: floor(delta * s * 0.5).
inline std::uint32_t reserve_slots_for(std::uint32_t slot_count, double delta) noexcept {
  return reserved_part(slot_count, delta * 0.5);
}

// Three quarters of a level, rounded up: what a batch fills a fresh level to.
constexpr std::uint32_t three_quarters(std::uint32_t s) noexcept { return sat_add(sat_mul(3, s), 3) / 4; }

// Batch 0 fills level 0 to three quarters; batch i tops level i-1 up to its
// reserve and fills level i to three quarters.  Clamped so the plan sums to
// exactly max_items, with one extra entry when the levels alone fall short.
inline std::vector<std::uint32_t> build_batch_plan(const std::vector<std::uint32_t>& sizes, std::uint32_t max_items,
                                                   double delta) {
  std::vector<std::uint32_t> plan;
  if (sizes.empty() || max_items == 0) return plan;
  plan.reserve(sizes.size() + 1);
  std::uint32_t sum = 0;
  auto push_clamped = [&](std::uint32_t b) {
    const std::uint32_t entry = std::min(b, max_items - sum);
    plan.push_back(entry);
    sum += entry;
  };
  push_clamped(three_quarters(sizes[0]));
  for (std::size_t i = 1; i < sizes.size(); ++i) {
    const std::uint32_t prev = sizes[i - 1];
    const std::uint32_t top_up = sat_sub(sat_sub(prev, reserve_slots_for(prev, delta)), three_quarters(prev));
    push_clamped(sat_add(top_up, three_quarters(sizes[i])));
  }
  if (sum < max_items) plan.push_back(max_items - sum);
  return plan;
}

// How many groups of the fuller level an insert tries first, for a level of
// `slots` slots with `free` of them free: floor(1 + log2(slots / free)^2).
// The insert path uses integer thresholds built from this very function, so
// it keeps its results exactly without floating point per insert.
inline std::uint32_t first_try_groups_reference(std::uint32_t slots, std::uint32_t free) noexcept {
  const double l = std::log2(static_cast<double>(slots) / static_cast<double>(free));
  const double f = 1.0 + l * l;
  return f >= static_cast<double>(U32_MAX) ? U32_MAX : static_cast<std::uint32_t>(f);
}

// The largest probe budget any reserve fraction gives: floor(log2(1/delta) + 1)
// at the smallest delta.
inline constexpr std::uint32_t MAX_FIRST_TRY_GROUPS = 20;

// more[v - 2] is the largest free count at which the reference gives at least
// v groups (0: none), for v = 2 .. MAX_FIRST_TRY_GROUPS.  The reference only
// grows as the level fills, so each is found by bisection.
inline std::array<std::uint32_t, MAX_FIRST_TRY_GROUPS - 1> first_try_thresholds(std::uint32_t slots) noexcept {
  std::array<std::uint32_t, MAX_FIRST_TRY_GROUPS - 1> more{};
  for (std::uint32_t v = 2; v <= MAX_FIRST_TRY_GROUPS; ++v) {
    std::uint32_t lo = 0, hi = slots;  // reference(lo) >= v holds vacuously at 0; find the last F that keeps it
    while (lo < hi) {
      const std::uint32_t mid = lo + (hi - lo + 1) / 2;
      if (first_try_groups_reference(slots, mid) >= v)
        lo = mid;
      else
        hi = mid - 1;
    }
    more[v - 2] = lo;
  }
  return more;
}

// The thresholds of every power-of-two level size, built once per process.
inline const std::uint32_t* shared_first_try_thresholds(std::uint32_t slots) noexcept {
  using Row = std::array<std::uint32_t, MAX_FIRST_TRY_GROUPS - 1>;
  static const std::array<Row, 32> rows = [] {
    std::array<Row, 32> out{};
    for (std::uint32_t k = 0; k < 32; ++k) out[k] = first_try_thresholds(1u << k);
    return out;
  }();
  return std::has_single_bit(slots) ? rows[std::countr_zero(slots)].data() : nullptr;
}

// Descriptor of one level.  Invariants: len + tombstones <= slot_count; a
// level above the table's max_populated_level has len = tombstones = 0.
struct ElasticLevel : SlotRegion {
  std::uint64_t salt = 0;
  double probe_budget = 1.0;
  std::uint32_t group_count = 0;
  std::uint32_t group_mask = 0;
  // Longest probe sequence, in groups, that any insertion here has used;
  // lookups never look further.
  std::uint32_t max_probe_groups = 0;
  std::uint32_t reserve_slots = 0;
  // floor(probe_budget), and the free counts at which an insert tries one
  // more group of this level first (see first_try_thresholds); shared by all
  // levels of a size, and null for a size that is not a power of two.
  std::uint32_t budget_groups = 1;
  const std::uint32_t* more_groups_at = nullptr;

  // floor(min(1 + log2(slot_count / free)^2, probe_budget)), in integers.
  std::uint32_t first_try_groups(std::uint32_t free) const noexcept {
    if (more_groups_at == nullptr) [[unlikely]]
      return std::min(first_try_groups_reference(slot_count, free), budget_groups);
    std::uint32_t groups = 1;
    while (groups < budget_groups && free <= more_groups_at[groups - 1]) ++groups;
    return groups;
  }
};

inline ElasticLevel make_elastic_level(std::uint32_t index, std::uint32_t first_slot, std::uint32_t slot_count,
                                       double delta) noexcept {
  ElasticLevel lv;
  lv.salt = static_cast<std::uint64_t>(index + 1) * LEVEL_SALT_STEP;
  lv.first_slot = first_slot;
  lv.slot_count = slot_count;
  lv.group_count = slot_count / GROUP_WIDTH;
  lv.group_mask = lv.group_count - 1;
  const double budget = std::log2(1.0 / delta) + 1.0;
  lv.probe_budget = std::max(1.0, std::min(budget, std::max<double>(lv.group_count, 1)));
  lv.reserve_slots = reserve_slots_for(slot_count, delta);
  // At most MAX_FIRST_TRY_GROUPS for every delta the table accepts.
  lv.budget_groups = std::min(static_cast<std::uint32_t>(lv.probe_budget), MAX_FIRST_TRY_GROUPS);
  lv.more_groups_at = shared_first_try_thresholds(slot_count);
  return lv;
}

}  // namespace brindle
