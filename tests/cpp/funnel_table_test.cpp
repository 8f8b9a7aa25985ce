// Placement and scan order of the funnel table; what it
// shares with the elastic table is tested over both in hash_map_test.cpp.

#include <algorithm>
#include <bit>
#include <map>
#include <random>
#include <tuple>

#include "test_support.hpp"

namespace brindle {
namespace {

using namespace test;

using Table = FunnelTable<CountedKey, CountedValue>;
using Loc = FunnelLocation;

constexpr std::uint64_t SEED = 0x5EED;
constexpr std::uint64_t SHARED = 0xC0FFEE;  // the hash word of every colliding key

bool before_in_scan(Loc a, Loc b) {
  return std::tuple(static_cast<int>(a.kind), a.level, a.slot) < std::tuple(static_cast<int>(b.kind), b.level, b.slot);
}

// An independent model of where fresh keys land when nothing is removed: the
// first level whose candidate bucket has room, then the special primary's
// probe groups, then the two special secondary buckets, then the overflow.
class PlacementModel {
 public:
  explicit PlacementModel(const Table& t)
      : probe_limit_(t.probe_limit()), primary_(t.special_primary()), secondary_(t.special_secondary()) {
    for (std::uint32_t i = 0; i < t.level_count(); ++i) levels_.push_back(t.level(i));
  }

  Loc place(std::uint64_t h) {
    const auto lo = static_cast<std::uint32_t>(h);
    for (std::uint32_t i = 0; i < levels_.size(); ++i) {
      const BucketLevel& l = levels_[i];
      if (l.slot_count == 0) continue;
      const std::uint32_t stride = 1u << l.bucket_shift;
      const std::uint32_t start = ((lo ^ ((i + 1) * 0x7F4A7C15u)) & (l.slot_count / stride - 1)) * stride;
      std::uint32_t& used = used_[{i, start}];
      if (used < stride) return Loc::in_level(i, start + used++);
    }
    if (primary_.slot_count != 0) {
      const std::uint32_t mask = primary_.slot_count / 16 - 1;
      std::uint32_t g = std::rotl(lo, 11) & mask;
      const std::uint32_t step = (static_cast<std::uint32_t>(h >> 21) | 1) & mask;
      for (std::uint32_t j = 0; j < std::min(primary_.slot_count / 16, probe_limit_); ++j, g = (g + step) & mask) {
        std::uint32_t& used = used_[{~0u, g}];
        if (used < 16) return Loc::in_special_primary(16 * g + used++);
      }
    }
    if (secondary_.slot_count != 0) {
      const std::uint32_t width = 1u << secondary_.bucket_shift, buckets = secondary_.bucket_count;
      for (std::uint32_t c : {std::rotl(lo, 19) % buckets, static_cast<std::uint32_t>(h >> 27) % buckets})
        for (std::uint32_t s = c * width; s < std::min(secondary_.slot_count, (c + 1) * width); ++s)
          if (used_[{~1u, s}]++ == 0) return Loc::in_special_secondary(s);
    }
    return Loc::in_overflow(overflow_++);
  }

 private:
  std::uint32_t probe_limit_;
  std::vector<BucketLevel> levels_;
  SpecialPrimary primary_;
  SpecialSecondary secondary_;
  // Slots taken, by level and bucket, by ~0 and primary group, or by ~1 and secondary slot.
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> used_;
  std::uint32_t overflow_ = 0;
};

// By requested capacity, reserve fraction, and whether every key has the
// same hash word.
class FunnelPlacement : public ::testing::TestWithParam<std::tuple<std::uint64_t, double, bool>> {};

TEST_P(FunnelPlacement, FreshKeysFollowTheModelAndScanInRegionOrder) {
  const auto [capacity, delta, shared] = GetParam();
  Table t(capacity, delta, SEED);
  const std::uint32_t nominal = t.nominal_slots();
  PlacementModel model(t);
  std::mt19937_64 rng(7);
  std::vector<Loc> expected;
  // Random keys up to the item limit reach the later levels, the special
  // parts and now and then the overflow area (at 16 slots no level has a
  // bucket: all go to the primary); shared ones overflow soon.
  for (std::uint32_t id = 0; id < (shared ? 400 : t.max_items()); ++id) {
    const std::uint64_t word = shared ? SHARED : rng();
    const std::uint64_t h = table_hash(word, t.seed());
    expected.push_back(model.place(h));
    // The choice alone agrees with the insertion, which makes it in the same
    // walk that records it.
    if (const auto choice = t.choose_slot_for_new_key(h)) {
      ASSERT_EQ(*choice, expected.back()) << "key " << id;
    } else {
      ASSERT_EQ(expected.back().kind, Loc::Kind::InOverflow) << "key " << id;
    }
    ASSERT_FALSE(put(t, CountedKey(id, word), CountedValue(id)));
    ASSERT_EQ(locate(t, CountedKey(id, word)), expected.back()) << "key " << id;
  }
  EXPECT_EQ(t.nominal_slots(), nominal);
  if (shared) {
    EXPECT_EQ(t.max_populated_level(), 10u);
    EXPECT_GT(t.overflow_len(), 0u);
  }
  t.check_invariants();
  std::sort(expected.begin(), expected.end(), before_in_scan);
  EXPECT_EQ(scan_all(t), expected);
}

INSTANTIATE_TEST_SUITE_P(Funnel, FunnelPlacement,
                         ::testing::Values(std::tuple(3000, 0.125, false), std::tuple(3000, 0.01, false),
                                           std::tuple(3000, 0.001, false), std::tuple(14, 0.125, false),
                                           std::tuple(1000, 0.125, true)));

}  // namespace
}  // namespace brindle
