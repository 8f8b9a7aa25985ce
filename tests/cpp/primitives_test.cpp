// The pieces both tables stand on: size limits, control-group scans and
// table seeds.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "common/arena/control.hpp"
#include "common/arena/layout.hpp"
#include "elastic/elastic_table.hpp"
#include "funnel/funnel_table.hpp"
#include "map/hash.hpp"

namespace brindle {
namespace {

// Sizes that 32-bit counters or the address space cannot hold are refused,
// not wrapped into a small arena.
TEST(ArenaLayout, RefusesWhatCannotBeRepresented) {
  EXPECT_TRUE(layout_for_size(0x7FFFFFC0, 1, 1));
  constexpr std::uint64_t kMaxObject = PTRDIFF_MAX;
  EXPECT_FALSE(layout_for_size(0x7FFFFFC1, 1, 1));
  EXPECT_FALSE(layout_for_size(~std::uint64_t{0}, 1, 1));
  EXPECT_TRUE(layout_for_size(1, kMaxObject - 67, 4));  // exactly max - 63 in all
  EXPECT_FALSE(layout_for_size(1, kMaxObject - 66, 4));
  EXPECT_FALSE(layout_for_size(std::uint64_t{1} << 20, std::size_t{1} << 44, 8));  // n * E overflows
}

// Where requests stop fitting in 32-bit counters: the largest that fit, and
// one more that must be refused rather than wrapped.
TEST(Geometry, LargestRequestsFitAndOneMoreOverflows) {
  // Saturating arithmetic: 3 * 2^31 clamps, so q(2^31) is (2^32 - 1) / 4.
  EXPECT_EQ(build_batch_plan({0x80000000u, 0x40000000u}, 0xC0000000u, 0.25),
            (std::vector<std::uint32_t>{0x3FFFFFFFu, 0x60000001u, 0x20000000u}));
  EXPECT_EQ(nominal_slots_for(0x60000000u, 0.25), 0x80000000u);
  EXPECT_EQ(funnel_nominal_slots(1879048192, 0.125), 0x80000000u);
  // With almost everything reserved, floor(delta * c) is c - 1 until c reaches 10^6.
  EXPECT_EQ(nominal_slots_for(2, 0.999999), 1u << 20);
  for (std::uint64_t n : {std::uint64_t{0x60000001u}, std::uint64_t{1} << 40, ~std::uint64_t{0}})
    EXPECT_THROW((ElasticTable<std::uint64_t, std::uint64_t>(n, 0.25, 1)), InvariantFailure) << n;
  for (std::uint64_t n : {std::uint64_t{1879048193u}, std::uint64_t{1} << 40})
    EXPECT_THROW((FunnelTable<std::uint64_t, std::uint64_t>(n, 0.125, 1)), InvariantFailure) << n;
}

// Both group scans against the scalar reading of the control code, on
// groups mixing empties, tombstones, tags and high-bit bytes that are not tags.
TEST(ControlGroup, VectorAndPortableScansAgreeWithTheScalarCode) {
  const std::uint8_t pool[] = {0x00, 0x80, 0x01, 0x40, 0x7F, 0x81, 0xC0, 0xFF};
  std::mt19937_64 rng(1);
  std::uint8_t b[GROUP_WIDTH];
  for (int i = 0; i < 20000; ++i) {
    for (auto& c : b) c = i < 8 ? pool[i] : i % 2 ? pool[rng() % 8] : static_cast<std::uint8_t>(rng());
    auto mask = [&](auto p) {
      std::uint32_t m = 0;
      for (std::uint32_t j = 0; j < GROUP_WIDTH; ++j) m |= p(b[j]) ? 1u << j : 0;
      return m;
    };
    auto check = [&](const auto& g) {
      const std::uint8_t t = static_cast<std::uint8_t>(rng());
      ASSERT_EQ(g.match_tag(t).bits(), mask([t](std::uint8_t c) { return c == t; }));
      ASSERT_EQ(g.match_tag(b[0]).bits(), mask([&](std::uint8_t c) { return c == b[0]; }));
      ASSERT_EQ(g.match_free().bits(), mask([](std::uint8_t c) { return (c & 0x7F) == 0; }));
      ASSERT_EQ(g.match_full().bits(), mask([](std::uint8_t c) { return (c & 0x7F) != 0; }));
      ASSERT_EQ(g.has_empty(), mask([](std::uint8_t c) { return c == 0; }) != 0);
    };
    check(GroupPortable(b));
    check(Group(b));
    if (HasFatalFailure()) return;
  }
}

TEST(Hash, SeedsAreDistinctUnderConcurrentFirstUse) {
  constexpr int kThreads = 4, kPer = 2000;
  std::vector<std::vector<std::uint64_t>> seen(kThreads);
  std::vector<std::uint64_t> folds(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      folds[t] = fold_seed();
      for (int i = 0; i < kPer; ++i) seen[t].push_back(next_table_seed());
    });
  for (auto& th : threads) th.join();
  std::set<std::uint64_t> all;
  for (auto& v : seen) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), std::size_t{kThreads * kPer});
  for (auto f : folds) EXPECT_EQ(f, folds[0]);
}

}  // namespace
}  // namespace brindle
