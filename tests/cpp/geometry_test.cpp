// The sizing rules whose results no test through the tables could pin down:
// the elastic insert path's integer thresholds, and where requests stop
// fitting in 32-bit counters.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "elastic/elastic_geometry.hpp"
#include "elastic/elastic_table.hpp"
#include "funnel/funnel_geometry.hpp"
#include "funnel/funnel_table.hpp"

namespace brindle {
namespace {

using Counts = std::vector<std::uint32_t>;

// The insert path's integer thresholds give what the floating-point rule
// floor(min(1 + log2(slots / free)^2, probe_budget)) gives: for every free
// count of the smaller levels, and around every point where the rule
// changes value for the larger ones, for every level size up to 2^31.
TEST(Geometry, ElasticFirstTryGroupsMatchTheFloatRule) {
  for (double delta : {0.25, 0.01, 0.000001}) {
    // 48: a size that is not a power of two takes the fallback path.
    for (std::uint64_t slots = 16; slots <= (1ull << 31); slots = slots == 32 ? 48 : slots == 48 ? 64 : slots * 2) {
      const ElasticLevel lv = make_elastic_level(0, 0, static_cast<std::uint32_t>(slots), delta);
      EXPECT_DOUBLE_EQ(lv.probe_budget, std::clamp(std::log2(1 / delta) + 1, 1.0, std::max(slots / 16.0, 1.0)));
      auto check = [&](std::uint64_t free) {
        if (free < 1 || free > slots) return;
        const double l = std::log2(static_cast<double>(slots) / static_cast<double>(free));
        ASSERT_EQ(lv.first_try_groups(static_cast<std::uint32_t>(free)),
                  static_cast<std::uint32_t>(std::fmin(1.0 + l * l, lv.probe_budget)))
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

TEST(Geometry, LargestRequestsFitAndOneMoreOverflows) {
  // Saturating arithmetic: 3 * 2^31 clamps, so q(2^31) is (2^32 - 1) / 4.
  EXPECT_EQ(build_batch_plan({0x80000000u, 0x40000000u}, 0xC0000000u, 0.25),
            (Counts{0x3FFFFFFFu, 0x60000001u, 0x20000000u}));
  EXPECT_EQ(nominal_slots_for(0x60000000u, 0.25), 0x80000000u);
  EXPECT_EQ(funnel_nominal_slots(1879048192, 0.125), 0x80000000u);
  // With almost everything reserved, floor(delta * c) is c - 1 until c reaches 10^6.
  EXPECT_EQ(nominal_slots_for(2, 0.999999), 1u << 20);
  for (std::uint64_t n : {std::uint64_t{0x60000001u}, std::uint64_t{1} << 40, ~std::uint64_t{0}})
    EXPECT_THROW((ElasticTable<std::uint64_t, std::uint64_t>(n, 0.25, 1)), InvariantFailure) << n;
  for (std::uint64_t n : {std::uint64_t{1879048193u}, std::uint64_t{1} << 40})
    EXPECT_THROW((FunnelTable<std::uint64_t, std::uint64_t>(n, 0.125, 1)), InvariantFailure) << n;
}

}  // namespace
}  // namespace brindle
