// Placement, tombstones and churn of the elastic table; what it shares with
// the funnel table is tested over both in hash_map_test.cpp.

#include <random>

#include "test_support.hpp"

namespace brindle {
namespace {

using namespace test;

using IntTable = ElasticTable<std::uint64_t, std::uint64_t>;

std::uint32_t level_of(const IntTable& t, std::uint64_t k) { return locate(t, k)->level; }

TEST(ElasticTable, SmallTablesFillLevelZeroThenGrow) {
  IntTable t(0, 0.25, 1);
  EXPECT_EQ(t.heap_bytes(), 64u);  // the one-slot arena
  for (std::uint64_t k = 0; k < 12; ++k) put(t, k);
  EXPECT_EQ(t.nominal_capacity(), 16u);
  for (std::uint64_t k = 0; k < 12; ++k) EXPECT_EQ(level_of(t, k), 0u);
  // Level 0 has used its batch: the next key lands in level 3.
  t.remove(*locate(t, 0));
  put(t, 99);
  EXPECT_EQ(level_of(t, 99), 3u);
  put(t, 100);
  EXPECT_EQ(t.nominal_capacity(), 32u);
  EXPECT_EQ(t.len(), 13u);
  // clear starts the batch plan over.
  t.clear();
  put(t, 7);
  EXPECT_EQ(level_of(t, 7), 0u);
  EXPECT_EQ(t.batch_index(), 0u);
  t.check_invariants();
}

TEST(ElasticTable, ThirteenthKeyAtThirtyTwoIsProbedIntoLevelZero) {
  // Batch 1: level 0 has 4 free slots (more than its reserve of 2) and level 1
  // is empty, so level 0's single group is probed first and takes the key.
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    IntTable t(13, 0.25, seed);
    ASSERT_EQ(t.nominal_capacity(), 32u);
    for (std::uint64_t k = 0; k < 12; ++k) put(t, k);
    EXPECT_EQ(t.batch_index(), 0u);
    put(t, 100);
    EXPECT_EQ(t.batch_index(), 1u);
    EXPECT_EQ(t.batch_remaining(), 11u);
    EXPECT_EQ(level_of(t, 100), 0u);
  }
}

TEST(ElasticTable, TombstonesAreReusedAndMoreThanHalfALevelRebuilds) {
  ElasticTable<std::uint64_t, std::uint64_t, std::uint64_t, FailingAllocator> t(13, 0.25, 3);
  for (std::uint64_t k = 0; k < 12; ++k) put(t, k);
  const auto& level0 = t.levels()[0];
  // Level 0 is one group filled from slot 0 upwards.
  const ElasticLocation gone = *locate(t, 3);
  EXPECT_EQ(gone.slot, 3u);
  t.remove(gone);
  EXPECT_EQ(t.control_byte(gone), CTRL_TOMBSTONE);
  EXPECT_EQ(level0.tombstones, 1u);
  put(t, 50);
  EXPECT_EQ(*locate(t, 50), gone);
  EXPECT_EQ(level0.tombstones, 0u);

  FailingAllocator::arm(-1);
  for (std::uint64_t k : {0, 1, 2, 4, 5, 6, 7, 8}) t.remove(*locate(t, k));
  EXPECT_EQ(level0.tombstones, 8u);  // exactly half: no rebuild yet
  EXPECT_EQ(FailingAllocator::calls, 0);
  // The ninth would rebuild; without memory the removal still completes.
  FailingAllocator::arm(0);
  EXPECT_EQ(t.remove(*locate(t, 9)).key, 9u);
  EXPECT_EQ(FailingAllocator::calls, 1);
  EXPECT_EQ(t.levels()[0].tombstones, 9u);
  t.check_invariants();
  FailingAllocator::arm(-1);
  t.remove(*locate(t, 10));
  EXPECT_EQ(t.levels()[0].tombstones, 0u);
  EXPECT_EQ(t.nominal_capacity(), 32u);
  EXPECT_EQ(t.len(), 2u);
  EXPECT_TRUE(locate(t, 11) && locate(t, 50));
  t.check_invariants();
}

// Near delta = 1 a doubling can add no items at all; every growth must still
// make room for the key that caused it, and go no further than that.
class ElasticGrowth : public ::testing::TestWithParam<double> {};

TEST_P(ElasticGrowth, ItemLimitCoversLenAfterEveryInsert) {
  IntTable t(0, GetParam(), 5);
  for (std::uint64_t k = 0; k < 64; ++k) {
    put(t, k);
    ASSERT_GE(t.capacity(), t.len()) << "after key " << k;
    ASSERT_EQ(t.nominal_capacity(), nominal_capacity_for(t.len(), GetParam())) << "after key " << k;
    t.check_invariants();
  }
  // reserve covers the same ground: what it makes room for needs no growth.
  t.reserve(100);
  const std::uint32_t reserved = t.nominal_capacity();
  for (std::uint64_t k = 64; k < 164; ++k) put(t, k);
  EXPECT_EQ(t.nominal_capacity(), reserved);
  for (std::uint64_t k = 0; k < 164; ++k) EXPECT_TRUE(locate(t, k)) << k;
  t.check_invariants();
}

INSTANTIATE_TEST_SUITE_P(Fractions, ElasticGrowth, ::testing::Values(0.999, 0.99, 0.9, 0.75, 0.5, 0.25, 0.01));

// Steady churn at the item limit: delete one key, insert a new one.  Misses
// must stay within twice their cost right after a rebuild.
class ElasticChurn : public ::testing::TestWithParam<double> {};

TEST_P(ElasticChurn, MissCostStaysBounded) {
#ifdef BRINDLE_SANITIZED
  constexpr long kPairs = 100'000;
#else
  constexpr long kPairs = 1'000'000;
#endif
  std::mt19937_64 rng(123);
  auto average_miss_groups = [&](const IntTable& t) {
    std::uint64_t groups = 0;
    for (int i = 0; i < 2000; ++i) {
      const std::uint64_t absent = rng() | (std::uint64_t{1} << 63), h = table_hash(absent, t.seed());
      groups += t.probe_groups_for(absent, h, tag_of(h));
    }
    return groups / 2000.0;
  };
  auto fresh_key = [&](const IntTable& t) {
    std::uint64_t k;
    do k = rng() >> 1;
    while (locate(t, k));
    return k;
  };
  IntTable t(3000, GetParam(), 18);
  const std::uint32_t cap = t.capacity();
  std::vector<std::uint64_t> keys;
  while (t.len() < cap - 1) put(t, keys.emplace_back(fresh_key(t)));
  t.resize(t.nominal_capacity());
  const double base = average_miss_groups(t);
  double sum = 0;
  for (long i = 1; i <= kPairs; ++i) {
    std::uint64_t& k = keys[rng() % keys.size()];
    const auto loc = locate(t, k);
    ASSERT_TRUE(loc) << "lost key " << k;
    t.remove(*loc);
    put(t, k = fresh_key(t));
    if (i % (kPairs / 20) == 0) sum += average_miss_groups(t);
  }
  EXPECT_EQ(t.capacity(), cap);
  EXPECT_EQ(t.len(), cap - 1);
  EXPECT_LE(sum / 20, 2 * base) << "right after a rebuild: " << base;
  t.check_invariants();
}

INSTANTIATE_TEST_SUITE_P(Fractions, ElasticChurn, ::testing::Values(0.25, 0.1));

}  // namespace
}  // namespace brindle
