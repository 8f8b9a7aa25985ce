#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>
#include <vector>

#include "elastic/elastic_geometry.hpp"
#include "elastic/elastic_table.hpp"

namespace brindle {
namespace {

using Sizes = std::vector<std::uint32_t>;

Sizes concat(Sizes a, const Sizes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct GeometryCase {
  const char* name;
  std::uint64_t requested;
  double fraction_in, fraction;
  std::uint32_t nominal, max_items;
  Sizes sizes, plan;
};

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

// Geometry is visible from Python (capacity, repr, iteration order), so every
// number here is pinned, not just plausible.
const GeometryCase kCases[] = {
    {"empty", 0, 0.25, 0.25, 0, 0, {}, {}},
    {"twelve fit in 16", 12, 0.25, 0.25, 16, 12, Sizes(5, 16), {12, 0, 0, 0, 0}},
    {"thirteen need 32", 13, 0.25, 0.25, 32, 24, Sizes(6, 16), {12, 12, 0, 0, 0, 0}},
    {"64", 48, 0.25, 0.25, 64, 48, concat({32}, Sizes(6, 16)), {24, 16, 8, 0, 0, 0, 0}},
    {"1024", 768, 0.25, 0.25, 1024, 768, concat({512, 256, 128, 64, 32}, Sizes(6, 16)),
     concat({384, 256, 128}, Sizes(8, 0))},
    {"NaN fraction is 0.25", 12, NaN, 0.25, 16, 12, Sizes(5, 16), {12, 0, 0, 0, 0}},
    {"infinite fraction is 0.25", 12, Inf, 0.25, 16, 12, Sizes(5, 16), {12, 0, 0, 0, 0}},
    {"1.5 clamps high", 1, 1.5, 0.999999, 16, 1, Sizes(5, 16), {1, 0, 0, 0, 0}},
    {"0.999999 keeps one item", 1, 0.999999, 0.999999, 16, 1, Sizes(5, 16), {1, 0, 0, 0, 0}},
    {"zero clamps low", 16, 0.0, 0.000001, 16, 16, Sizes(5, 16), {12, 4, 0, 0, 0}},
    {"negative clamps low", 16, -3.0, 0.000001, 16, 16, Sizes(5, 16), {12, 4, 0, 0, 0}},
};

TEST(ElasticGeometry, FromRequestedCapacityAndFraction) {
  for (const GeometryCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const double delta = clamp_elastic_reserve_fraction(c.fraction_in);
    EXPECT_EQ(delta, c.fraction);
    EXPECT_EQ(nominal_slots_for(saturate_u32(c.requested), delta), c.nominal);
    EXPECT_EQ(max_items_for(c.nominal, delta), c.max_items);
    EXPECT_EQ(partition_levels(c.nominal), c.sizes);
    EXPECT_EQ(build_batch_plan(c.sizes, c.max_items, delta), c.plan);

    // The table reports the same numbers.
    ElasticTable<std::uint64_t, std::uint64_t> t(c.requested, c.fraction_in, 7);
    EXPECT_EQ(t.reserve_fraction(), c.fraction);
    EXPECT_EQ(t.nominal_slots(), c.nominal);
    EXPECT_EQ(t.max_items(), c.max_items);
    ASSERT_EQ(t.levels().size(), c.sizes.size());
    std::uint32_t first = 0;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      const ElasticLevel& lv = t.levels()[i];
      EXPECT_EQ(lv.slot_count, c.sizes[i]);
      EXPECT_EQ(lv.first_slot, first);
      EXPECT_EQ(lv.salt, (i + 1) * 0x9E3779B97F4A7C15ull);
      first += lv.slot_count;
    }
    EXPECT_EQ(Sizes(t.batch_plan().begin(), t.batch_plan().end()), c.plan);
    EXPECT_EQ(t.batch_remaining(), c.plan.empty() ? 0u : c.plan[0]);
    t.check_invariants();
  }
}

TEST(ElasticGeometry, LevelReserveAndProbeBudget) {
  // slots, delta, reserved slots, probe budget in groups (7.64... is 1 + log2(100))
  const std::tuple<std::uint32_t, double, std::uint32_t, double> cases[] = {{512, 0.25, 64, 3.0},
                                                                            {32, 0.25, 4, 2.0},
                                                                            {16, 0.25, 2, 1.0},
                                                                            {16, 0.999999, 7, 1.0},
                                                                            {1024, 0.01, 5, 7.643856189774724},
                                                                            {32, 0.01, 0, 2.0},
                                                                            {16, 0.000001, 0, 1.0}};
  for (auto [slots, delta, reserve, budget] : cases) {
    const ElasticLevel lv = make_elastic_level(0, 0, slots, delta);
    EXPECT_EQ(lv.reserve_slots, reserve) << slots << " " << delta;
    EXPECT_DOUBLE_EQ(lv.probe_budget, budget) << slots << " " << delta;
    EXPECT_EQ(lv.group_count, slots / 16);
  }
}

// The insert path's integer thresholds give what the floating-point rule
// floor(min(1 + log2(slots / free)^2, probe_budget)) gives: for every free
// count of the smaller levels, and around every point where the rule
// changes value for the larger ones, for every level size up to 2^31.
TEST(ElasticGeometry, FirstTryGroupsMatchTheFloatRule) {
  for (double delta : {0.25, 0.01, 0.000001}) {
    // 48: a size that is not a power of two takes the fallback path.
    for (std::uint64_t slots = 16; slots <= (1ull << 31); slots = slots == 32 ? 48 : slots == 48 ? 64 : slots * 2) {
      const ElasticLevel lv = make_elastic_level(0, 0, static_cast<std::uint32_t>(slots), delta);
      auto float_rule = [&](std::uint32_t free) {
        const double l = std::log2(static_cast<double>(slots) / static_cast<double>(free));
        return static_cast<std::uint32_t>(std::fmin(1.0 + l * l, lv.probe_budget));
      };
      auto check = [&](std::uint64_t free) {
        if (free < 1 || free > slots) return;
        ASSERT_EQ(lv.first_try_groups(static_cast<std::uint32_t>(free)), float_rule(static_cast<std::uint32_t>(free)))
            << slots << " slots, " << free << " free, delta " << delta;
      };
      if (slots <= (1u << 16)) {
        for (std::uint64_t free = 1; free <= slots; ++free) check(free);
      } else {
        for (std::uint32_t i = 0; i + 1 < MAX_FIRST_TRY_GROUPS; ++i)
          for (std::uint64_t free :
               {lv.more_groups_at[i] - 1ull, lv.more_groups_at[i] + 0ull, lv.more_groups_at[i] + 1ull})
            check(free);
      }
    }
  }
}

TEST(ElasticGeometry, BatchPlanClampsAndAppends) {
  // The levels alone place fewer than max_items: one more entry makes up the rest.
  EXPECT_EQ(build_batch_plan({16}, 20, 0.25), (Sizes{12, 8}));
  // Clamped by the running sum: later entries become 0.
  EXPECT_EQ(build_batch_plan({64, 32}, 50, 0.25), (Sizes{48, 2}));
  EXPECT_EQ(build_batch_plan({64, 32}, 0, 0.25), Sizes{});
  // Saturating arithmetic: 3 * 2^31 clamps, so q(2^31) is (2^32 - 1) / 4.
  EXPECT_EQ(build_batch_plan({0x80000000u, 0x40000000u}, 0xC0000000u, 0.25),
            (Sizes{0x3FFFFFFFu, 0x60000001u, 0x20000000u}));
  // The largest nominal capacity still partitions without wrapping.
  const Sizes big = partition_levels(0x80000000u);
  EXPECT_EQ(big[0], 0x40000000u);
  EXPECT_GE(std::accumulate(big.begin(), big.end(), std::uint64_t{0}), 0x80000000u);
}

TEST(ElasticGeometry, CapacityDoublesUntilTheItemLimitFitsOrOverflows) {
  EXPECT_EQ(nominal_slots_for(0x60000000u, 0.25), 0x80000000u);
  // With almost everything reserved, floor(delta * c) is c - 1 until c reaches 10^6.
  EXPECT_EQ(nominal_slots_for(2, 0.999999), 1u << 20);
  for (std::uint64_t n : {std::uint64_t{0x60000001u}, std::uint64_t{1} << 40, ~std::uint64_t{0}}) {
    try {
      ElasticTable<std::uint64_t, std::uint64_t> t(n, 0.25, 1);
      ADD_FAILURE() << n << " gave capacity " << t.nominal_slots();
    } catch (const InvariantFailure& e) {
      EXPECT_STREQ(e.what(), "capacity overflow");
    }
  }
}

}  // namespace
}  // namespace brindle
