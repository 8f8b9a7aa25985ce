#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "funnel/funnel_geometry.hpp"
#include "funnel/funnel_table.hpp"

namespace brindle {
namespace {

using Counts = std::vector<std::uint32_t>;
using IntTable = FunnelTable<std::uint64_t, std::uint64_t>;

TEST(FunnelGeometry, FractionsAreClampedAndRequestsOverflow) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, double> clamps[] = {{0.25, 0.125},   {std::nan(""), 0.125}, {-inf, 0.125},
                                              {0.0, 0.000001}, {-3.0, 0.000001},      {0.01, 0.01}};
  for (auto [in, out] : clamps) EXPECT_EQ(clamp_funnel_reserve_fraction(in), out) << in;
  EXPECT_EQ(funnel_nominal_capacity(1879048192, 0.125), 0x80000000u);
  EXPECT_THROW(funnel_nominal_capacity(1879048193, 0.125), InvariantFailure);
  EXPECT_EQ(IntTable::grown_capacity(0x40000000u), 0x80000000u);
  EXPECT_THROW(IntTable::grown_capacity(0x80000000u), InvariantFailure);
  // Wider than 32 bits saturates, it does not wrap to something small.
  try {
    IntTable t(1ull << 40, 0.125, 1);
    FAIL() << "constructed";
  } catch (const InvariantFailure& e) {
    EXPECT_STREQ(e.what(), "capacity overflow");
  }
}

// The plain search, candidate by candidate; the library finds the same
// answer with two binary searches.
std::optional<Counts> reference_sequence(std::uint32_t total, std::uint32_t levels, std::uint32_t first) {
  using namespace funnel_detail;
  if (first > total) return std::nullopt;
  Counts seq{first};
  std::uint32_t remaining = total - first, prev = first;
  for (std::uint32_t i = 1; i < levels; ++i) {
    const std::uint32_t following = levels - 1 - i;
    std::optional<std::uint32_t> best;
    const std::uint32_t target = target_next(prev);
    for (std::uint32_t c = lower_next(prev); c <= std::min(upper_next(prev), remaining); ++c) {
      const std::uint64_t rest = remaining - c;
      if (rest < min_following(c, following) || rest > max_following(c, following)) continue;
      const auto dist = [target](std::uint32_t x) { return x > target ? x - target : target - x; };
      if (!best || dist(c) < dist(*best)) best = c;
    }
    if (!best) return std::nullopt;
    seq.push_back(*best);
    remaining -= *best;
    prev = *best;
  }
  if (remaining != 0) return std::nullopt;
  return seq;
}

TEST(FunnelGeometry, BucketSequenceAgreesWithExhaustiveSearch) {
  for (std::uint32_t levels : {1u, 2u, 3u, 5u, 11u, 22u})
    for (std::uint32_t total = 0; total <= 160; ++total)
      for (std::uint32_t first = 0; first <= total + 1; ++first)
        ASSERT_EQ(build_funnel_bucket_sequence(total, levels, first), reference_sequence(total, levels, first))
            << total << " " << levels << " " << first;
}

// For every nominal capacity and buckets 16, 32 and 64 wide: levels never
// grow, their buckets and the special array add up to the nominal capacity,
// and every nominal slot has a physical one.
TEST(FunnelGeometry, PartitionsSumAndFall) {
  for (double delta : {0.125, 0.01, 0.001, 0.000001})
    for (std::uint64_t n = 16; n <= (1ull << 31); n *= 2) {
      SCOPED_TRACE(::testing::Message() << "n=" << n << " delta=" << delta);
      const FunnelGeometry g = funnel_geometry(static_cast<std::uint32_t>(n), delta);
      EXPECT_EQ(g.max_items, n - static_cast<std::uint64_t>(std::floor(delta * static_cast<double>(n))));
      std::uint64_t sum = 0;
      for (std::uint32_t i = 0; i < g.level_count(); ++i) {
        sum += g.bucket_counts[i];
        EXPECT_LE(g.bucket_counts[i], g.bucket_counts[i == 0 ? 0 : i - 1]);
        EXPECT_GE(g.level_slots[i], std::uint64_t{g.bucket_counts[i]} * g.bucket_stride);
      }
      EXPECT_EQ(sum, g.bucket_total);
      EXPECT_EQ(static_cast<std::uint64_t>(g.bucket_total) * g.bucket_width + g.special_capacity, n);
      EXPECT_GE(g.primary_slots + g.secondary_slots, g.special_capacity);
      EXPECT_GE(g.total_slots(), n);
    }
  EXPECT_EQ(funnel_geometry(1024, 0.000001).bucket_stride, 64u);
  EXPECT_EQ(funnel_geometry(2048, 0.001).bucket_stride, 32u);
}

}  // namespace
}  // namespace brindle
