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

struct GeometryCase {
  std::uint64_t requested;
  double reserve_fraction;
  std::uint32_t nominal, max_items, levels, bucket_width, bucket_stride, probe_limit, special, buckets;
  Counts leading_counts, leading_slots;  // the rest of the levels hold no bucket
  std::uint32_t primary, secondary, secondary_buckets, secondary_bucket_slots, physical;
};

class FunnelGeometryTable : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(FunnelGeometryTable, MatchesTheWorkedSizes) {
  const GeometryCase& c = GetParam();
  const double delta = clamp_funnel_reserve_fraction(c.reserve_fraction);
  const std::uint32_t n = funnel_nominal_slots(c.requested, delta);
  ASSERT_EQ(n, c.nominal);
  const FunnelGeometry g = funnel_geometry(n, delta);
  EXPECT_EQ(g.max_items, c.max_items);
  EXPECT_EQ(g.level_count(), c.levels);
  EXPECT_EQ(g.bucket_width, c.bucket_width);
  EXPECT_EQ(g.bucket_stride, c.bucket_stride);
  EXPECT_EQ(g.probe_limit, c.probe_limit);
  EXPECT_EQ(g.special_capacity, c.special);
  EXPECT_EQ(g.bucket_total, c.buckets);
  Counts counts = c.leading_counts, slots = c.leading_slots;
  counts.resize(c.levels, 0);
  slots.resize(c.levels, 0);
  EXPECT_EQ(g.bucket_counts, counts);
  EXPECT_EQ(g.level_slots, slots);
  EXPECT_EQ(g.primary_slots, c.primary);
  EXPECT_EQ(g.secondary_slots, c.secondary);
  EXPECT_EQ(g.secondary_bucket_count, c.secondary_buckets);
  EXPECT_EQ(1u << g.secondary_bucket_shift, c.secondary_bucket_slots);
  EXPECT_EQ(g.total_slots(), c.physical);

  // The table carves its arena exactly as computed.
  IntTable t(c.requested, c.reserve_fraction, 7);
  EXPECT_EQ(t.nominal_slots(), c.nominal);
  EXPECT_EQ(t.max_items(), c.max_items);
  std::uint32_t offset = 0;
  for (std::uint32_t i = 0; i < c.levels; ++i) {
    EXPECT_EQ(t.level(i).first_slot, offset);
    EXPECT_EQ(t.level(i).slot_count, slots[i]);
    offset += slots[i];
  }
  EXPECT_EQ(t.special_primary().first_slot, offset);
  EXPECT_EQ(t.special_primary().slot_count, c.primary);
  EXPECT_EQ(t.special_secondary().slot_count, c.secondary);
  t.check_invariants();
}

constexpr double D = 0.125;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Funnel, FunnelGeometryTable, ::testing::Values(
    //           req  delta  n     max   lvls w  W   k  s    B    leading counts / slots                                                       P    S   sb  sbw phys
    GeometryCase{0,    0.25, 0,    0,    22, 16, 16, 1, 0,   0,   {}, {},                                                                      0,   0,  0,  2,  0},
    GeometryCase{1,    D,    16,   14,   22, 16, 16, 2, 16,  0,   {}, {},                                                                      16,  16, 4,  4,  32},
    GeometryCase{14,   D,    16,   14,   22, 16, 16, 2, 16,  0,   {}, {},                                                                      16,  16, 4,  4,  32},
    GeometryCase{15,   D,    32,   28,   22, 16, 16, 3, 16,  1,   {1}, {16},                                                                   16,  16, 2,  8,  48},
    GeometryCase{1000, D,    2048, 1792, 22, 16, 16, 4, 192, 116, {29, 22, 17, 13, 10, 8, 6, 5, 3, 2, 1},
                                                                  {512, 512, 512, 256, 256, 128, 128, 128, 64, 32, 16},                        128, 96, 12, 8,  2768},
    GeometryCase{2000, 0.01, 2048, 2028, 37, 16, 16, 4, 16,  127, {32, 24, 18, 14, 11, 8, 6, 5, 4, 2, 2, 1},
                                                                  {512, 512, 512, 256, 256, 128, 128, 128, 64, 32, 32, 16},                    16,  16, 2,  8,  2608},
    // Buckets 32 wide.
    GeometryCase{2000, 0.001, 2048, 2046, 50, 32, 32, 4, 32, 63,  {16, 12, 9, 7, 5, 4, 3, 2, 2, 2, 1},
                                                                  {512, 512, 512, 256, 256, 128, 128, 64, 64, 64, 32},                         16,  16, 2,  8,  2560}));
// clang-format on

TEST(FunnelGeometry, ClampsAndEdges) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, double> clamps[] = {{0.25, 0.125}, {1.5, 0.125},    {std::nan(""), 0.125}, {inf, 0.125},
                                              {-inf, 0.125}, {0.0, 0.000001}, {-3.0, 0.000001},      {0.01, 0.01}};
  for (auto [in, out] : clamps) EXPECT_EQ(clamp_funnel_reserve_fraction(in), out) << in;
  EXPECT_EQ(funnel_level_count(0.000001), 90u);
  EXPECT_EQ(funnel_beta(0.000001), 40u);
  EXPECT_EQ(funnel_geometry(1024, 0.000001).bucket_stride, 64u);
  // No special size in [ceil(dn/2), floor(3dn/4)] leaves whole buckets: the
  // nearest to 5dn/8 (25 here) wins.
  EXPECT_EQ(choose_special_capacity(320, 32, 0.125), 32u);
  EXPECT_EQ(choose_special_capacity(64, 16, 0.125), 16u);
}

TEST(FunnelGeometry, GrowthAndOversizedRequestsOverflow) {
  EXPECT_EQ(funnel_nominal_slots(1879048192, 0.125), 0x80000000u);
  EXPECT_THROW(funnel_nominal_slots(1879048193, 0.125), InvariantFailure);
  EXPECT_EQ(next_nominal_slots(0), 16u);
  EXPECT_EQ(next_nominal_slots(0x40000000u), 0x80000000u);
  EXPECT_THROW(next_nominal_slots(0x80000000u), InvariantFailure);
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

TEST(FunnelGeometry, PartitionsAlwaysSumAndFall) {
  for (double delta : {0.125, 0.01, 0.001, 0.000001})
    for (std::uint64_t n = 16; n <= (1ull << 31); n *= 2) {
      const FunnelGeometry g = funnel_geometry(static_cast<std::uint32_t>(n), delta);
      std::uint64_t sum = 0;
      for (std::uint32_t i = 0; i < g.level_count(); ++i) {
        sum += g.bucket_counts[i];
        if (i > 0) {
          EXPECT_LE(g.bucket_counts[i], g.bucket_counts[i - 1]) << n << " " << delta;
        }
      }
      EXPECT_EQ(sum, g.bucket_total);
      EXPECT_EQ(static_cast<std::uint64_t>(g.bucket_total) * g.bucket_width + g.special_capacity, n);
      EXPECT_GE(g.primary_slots + g.secondary_slots, g.special_capacity);
      // Every nominal slot has a physical one.
      EXPECT_GE(g.total_slots(), n);
    }
}

}  // namespace
}  // namespace brindle
