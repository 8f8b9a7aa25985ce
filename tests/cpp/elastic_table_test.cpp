#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <random>
#include <set>
#include <vector>

#include "elastic/elastic_table.hpp"
#include "map/hash_map.hpp"
#include "test_support.hpp"

namespace brindle {
namespace {

using test::CountedKey;
using test::CountedValue;
using test::LiveCount;

#ifdef BRINDLE_SANITIZED
constexpr std::uint32_t kScale = 10;
#else
constexpr std::uint32_t kScale = 1;
#endif

using IntTable = ElasticTable<std::uint64_t, std::uint64_t>;
using CountedTable = ElasticTable<CountedKey, CountedValue>;
static_assert(RawTable<IntTable>);
static_assert(RawTable<CountedTable>);

template <class T>
std::uint64_t hash_in(const T& t, std::uint64_t word) {
  return table_hash(word, t.seed());
}
void put(IntTable& t, std::uint64_t k, std::uint64_t v = 0) { t.insert(k, v, hash_in(t, k)); }
std::optional<ElasticLocation> locate(const IntTable& t, std::uint64_t k) {
  const std::uint64_t h = hash_in(t, k);
  return t.find(k, h, tag_of(h));
}
std::uint32_t total_tombstones(const IntTable& t) {
  std::uint32_t n = 0;
  for (const ElasticLevel& lv : t.levels()) n += lv.tombstones;
  return n;
}
std::vector<std::uint64_t> scan_keys(const IntTable& t) {
  std::vector<std::uint64_t> keys;
  IntTable::ScanCursor cur;
  while (auto loc = t.scan_advance(cur)) keys.push_back(t.entry_at(*loc).key);
  return keys;
}

class ElasticTableTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(LiveCount::live, 0); }
};

TEST_F(ElasticTableTest, FirstInsertGrowsEmptyTableToSixteen) {
  IntTable t(0, 0.25, 1);
  EXPECT_TRUE(t.levels().empty());
  EXPECT_EQ(t.heap_bytes(), 64u);  // the one-slot arena
  put(t, 5);
  EXPECT_EQ(t.nominal_capacity(), 16u);
  EXPECT_EQ(t.capacity(), 12u);
  EXPECT_EQ(locate(t, 5)->level, 0u);
  t.check_invariants();
}

TEST_F(ElasticTableTest, TwelveFitInSixteenAndTheThirteenthGrows) {
  IntTable t(12, 0.25, 2);
  for (std::uint64_t k = 0; k < 12; ++k) put(t, k);
  EXPECT_EQ(t.nominal_capacity(), 16u);
  for (std::uint64_t k = 0; k < 12; ++k) EXPECT_EQ(locate(t, k)->level, 0u);
  put(t, 12);
  EXPECT_EQ(t.nominal_capacity(), 32u);
  EXPECT_EQ(t.len(), 13u);
  for (std::uint64_t k = 0; k < 13; ++k) EXPECT_TRUE(locate(t, k));
  t.check_invariants();
}

TEST_F(ElasticTableTest, ThirteenthKeyAtThirtyTwoIsProbedIntoLevelZero) {
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
    EXPECT_EQ(locate(t, 100)->level, 0u);
  }
}

TEST_F(ElasticTableTest, InsertionReusesTombstone) {
  IntTable t(13, 0.25, 3);
  for (std::uint64_t k = 0; k < 12; ++k) put(t, k);
  // Level 0 is one group filled from slot 0 upwards.
  const ElasticLocation gone = *locate(t, 3);
  EXPECT_EQ(gone.slot, 3u);
  t.remove(gone);
  EXPECT_EQ(t.control_byte(gone), CTRL_TOMBSTONE);
  EXPECT_EQ(t.levels()[0].tombstones, 1u);
  EXPECT_FALSE(locate(t, 3));
  put(t, 50);
  EXPECT_EQ(*locate(t, 50), gone);
  EXPECT_EQ(t.levels()[0].tombstones, 0u);
  EXPECT_EQ(t.levels()[0].len, 12u);
  t.check_invariants();
}

TEST_F(ElasticTableTest, KeysPastATombstoneAreStillFound) {
  // Removal leaves tombstones on other keys' probe paths; those keys must still be found.
  IntTable t(2000, 0.25, 4);
  for (std::uint64_t k = 0; k < 1500; ++k) put(t, k);
  for (std::uint64_t k = 0; k < 1500; k += 3) t.remove(*locate(t, k));
  for (std::uint64_t k = 0; k < 1500; ++k) EXPECT_EQ(locate(t, k).has_value(), k % 3 != 0) << k;
  t.check_invariants();
}

TEST_F(ElasticTableTest, MoreThanHalfALevelOfTombstonesRebuildsAtTheSameCapacity) {
  IntTable t(13, 0.25, 5);
  for (std::uint64_t k = 0; k < 12; ++k) put(t, k);
  for (std::uint64_t k = 0; k < 8; ++k) t.remove(*locate(t, k));
  EXPECT_EQ(t.levels()[0].tombstones, 8u);  // exactly half: no rebuild yet
  t.remove(*locate(t, 8));
  EXPECT_EQ(total_tombstones(t), 0u);
  EXPECT_EQ(t.nominal_capacity(), 32u);
  EXPECT_EQ(t.len(), 3u);
  for (std::uint64_t k = 9; k < 12; ++k) EXPECT_TRUE(locate(t, k));
  t.check_invariants();
}

TEST_F(ElasticTableTest, GrowthKeepsEveryEntryAndDropsEachOnce) {
  {
    CountedTable t(0, 0.1, 6);
    for (std::uint64_t k = 0; k < 20000; ++k) {
      // Groups of 50 keys share a hash word.
      const std::uint64_t word = k / 50;
      t.insert(CountedKey(k, word), CountedValue(k), hash_in(t, word));
      if (k % 1000 == 0) t.remove(*t.find(CountedKey(k, word), hash_in(t, word), tag_of(hash_in(t, word))));
    }
    EXPECT_EQ(t.len(), 19980u);
    EXPECT_EQ(LiveCount::live, 2 * 19980);
    t.check_invariants();
    for (std::uint64_t k = 0; k < 20000; ++k) {
      const std::uint64_t h = hash_in(t, k / 50);
      auto loc = t.find(CountedKey(k, k / 50), h, tag_of(h));
      ASSERT_EQ(loc.has_value(), k % 1000 != 0) << k;
      if (loc) {
        EXPECT_EQ(t.entry_at(*loc).value.get(), k);
      }
    }
  }
}

TEST_F(ElasticTableTest, ReserveOnlyRebuildsWhenTheLimitIsTooSmall) {
  IntTable t(96, 0.25, 7);
  for (std::uint64_t k = 0; k < 50; ++k) put(t, k);
  t.remove(*locate(t, 0));
  ASSERT_EQ(total_tombstones(t), 1u);  // a rebuild would clear it
  t.reserve(0);
  t.reserve(t.capacity() - t.len());
  EXPECT_EQ(total_tombstones(t), 1u);
  EXPECT_EQ(t.nominal_capacity(), 128u);

  t.reserve(t.capacity() - t.len() + 1);
  EXPECT_EQ(t.nominal_capacity(), 256u);
  EXPECT_EQ(total_tombstones(t), 0u);
  t.reserve(1000);
  EXPECT_EQ(t.nominal_capacity(), 2048u);  // 1049 items need 1536 > 1049 >= 768
  EXPECT_GE(t.capacity(), 1049u);

  try {
    t.reserve(std::uint64_t{1} << 40);
    ADD_FAILURE() << "reserve of 2^40 succeeded";
  } catch (const InvariantFailure& e) {
    EXPECT_STREQ(e.what(), "capacity overflow");
  }
  EXPECT_EQ(t.nominal_capacity(), 2048u);
  EXPECT_EQ(t.len(), 49u);
  t.check_invariants();
}

TEST_F(ElasticTableTest, ClearKeepsCapacityAndStartsOverInLevelZero) {
  CountedTable t(100, 0.25, 8);
  for (std::uint64_t k = 0; k < 90; ++k) t.insert(CountedKey(k), CountedValue(k), hash_in(t, k));
  for (std::uint64_t k = 0; k < 10; ++k) t.remove(*t.find(CountedKey(k), hash_in(t, k), tag_of(hash_in(t, k))));
  const std::uint32_t cap = t.capacity();
  t.clear();
  EXPECT_EQ(LiveCount::live, 0);
  EXPECT_EQ(t.len(), 0u);
  EXPECT_EQ(t.capacity(), cap);
  for (const ElasticLevel& lv : t.levels()) EXPECT_EQ(lv.len + lv.tombstones, 0u);
  CountedTable::ScanCursor cur;
  EXPECT_FALSE(t.scan_advance(cur));
  t.insert(CountedKey(7), CountedValue(7), hash_in(t, 7));
  EXPECT_EQ(t.find(CountedKey(7), hash_in(t, 7), tag_of(hash_in(t, 7)))->level, 0u);
  EXPECT_EQ(t.batch_index(), 0u);
  t.check_invariants();
}

TEST_F(ElasticTableTest, ScanWithExtractionVisitsEveryEntryOnceAndEmptiesTheTable) {
  CountedTable t(0, 0.25, 9);
  for (std::uint64_t k = 0; k < 3000; ++k) t.insert(CountedKey(k, k % 7), CountedValue(k), hash_in(t, k % 7));
  std::set<std::uint64_t> seen;
  CountedTable::ScanCursor cur;
  while (auto loc = t.scan_advance(cur)) {
    EXPECT_TRUE(seen.insert(t.entry_at(*loc).key.id()).second);
    auto e = t.extract_finish(*loc);
    EXPECT_EQ(e.value.get(), e.key.id());
  }
  EXPECT_FALSE(t.scan_advance(cur));
  EXPECT_EQ(seen.size(), 3000u);
  EXPECT_EQ(t.len(), 0u);
  EXPECT_EQ(LiveCount::live, 0);
  t.check_invariants();
}

TEST_F(ElasticTableTest, ScanSkipsEmptyLevelsAndEndsForGood) {
  IntTable none(0, 0.25, 10);
  IntTable::ScanCursor cur;
  EXPECT_FALSE(none.scan_advance(cur));
  EXPECT_FALSE(none.scan_advance(cur));

  // Once level 0 of a 16-slot table holds its batch, the next key lands in level 3.
  IntTable t(12, 0.25, 11);
  for (std::uint64_t k = 0; k < 12; ++k) put(t, k);
  t.remove(*locate(t, 0));
  put(t, 99);
  ASSERT_EQ(locate(t, 99)->level, 3u);
  IntTable::ScanCursor drain;
  while (auto loc = t.scan_advance(drain))
    if (loc->level == 0) t.extract_finish(*loc);
  EXPECT_EQ(scan_keys(t), std::vector<std::uint64_t>{99});
  IntTable::ScanCursor once;
  EXPECT_TRUE(t.scan_advance(once));
  EXPECT_FALSE(t.scan_advance(once));
  EXPECT_FALSE(t.scan_advance(once));
}

TEST_F(ElasticTableTest, RetainNeverRebuilds) {
  HashMap<std::uint64_t, std::uint64_t, IntTable> m(200, 0.25);
  for (std::uint64_t k = 0; k < 150; ++k) m.insert(k, k);
  const std::uint32_t top = m.table().max_populated_level();
  m.retain([](std::uint64_t, std::uint64_t&) { return false; });
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(total_tombstones(m.table()), 150u);  // far more than half of level 0
  EXPECT_EQ(m.table().max_populated_level(), top);
  m.table().check_invariants();
}

TEST_F(ElasticTableTest, KeyWithZeroTopBitsGetsTagOne) {
  IntTable t(0, 0.25, 12);
  std::uint64_t word = 0;
  while (hash_in(t, word) >> 57 != 0) ++word;
  put(t, word, 1);
  put(t, word + 1, 2);
  const auto loc = locate(t, word);
  ASSERT_TRUE(loc);
  EXPECT_EQ(t.control_byte(*loc), 1u);
  EXPECT_EQ(t.entry_at(*loc).value, 1u);
  t.check_invariants();
}

TEST_F(ElasticTableTest, MovedTablesKeepTheirEntries) {
  CountedTable a(0, 0.25, 13);
  for (std::uint64_t k = 0; k < 100; ++k) a.insert(CountedKey(k), CountedValue(k), hash_in(a, k));
  CountedTable b(std::move(a));
  EXPECT_EQ(b.len(), 100u);
  EXPECT_EQ(a.len(), 0u);
  a.insert(CountedKey(1000), CountedValue(), hash_in(a, 1000));  // a moved-from table still works
  CountedTable c(10, 0.5, 14);
  c.insert(CountedKey(5), CountedValue(), hash_in(c, 5));
  c = std::move(b);
  EXPECT_EQ(c.len(), 100u);
  EXPECT_EQ(LiveCount::live, 2 * 101);
  c.check_invariants();
  a.check_invariants();
}

// Fails allocations on demand: `budget` more succeed, then every one throws.
struct FailingAllocator {
  static inline long budget = -1;
  void* allocate(std::size_t size, std::size_t align) {
    if (budget == 0) throw std::bad_alloc();
    if (budget > 0) --budget;
    return SystemAllocator().allocate(size, align);
  }
  void deallocate(void* p, std::size_t size, std::size_t align) noexcept {
    SystemAllocator().deallocate(p, size, align);
  }
  friend bool operator==(const FailingAllocator&, const FailingAllocator&) = default;
};
using FailingTable = ElasticTable<CountedKey, CountedValue, std::uint64_t, FailingAllocator>;

TEST_F(ElasticTableTest, OutOfMemoryDuringGrowthLeavesEveryEntryInPlace) {
  FailingTable t(24, 0.25, 15);
  for (std::uint64_t k = 0; k < 24; ++k) t.insert(CountedKey(k), CountedValue(k), hash_in(t, k));
  const auto before = t.heap_bytes();
  long failures = 0;
  for (long allowed = 0;; ++allowed) {
    FailingAllocator::budget = allowed;
    try {
      t.insert(CountedKey(24), CountedValue(24), hash_in(t, 24));
      break;
    } catch (const std::bad_alloc&) {
      ++failures;
      FailingAllocator::budget = -1;
      EXPECT_EQ(t.len(), 24u);
      EXPECT_EQ(t.heap_bytes(), before);
      EXPECT_EQ(LiveCount::live, 48);  // the rejected key and value were dropped
      for (std::uint64_t k = 0; k < 24; ++k) EXPECT_TRUE(t.find(CountedKey(k), hash_in(t, k), tag_of(hash_in(t, k))));
      t.check_invariants();
    }
  }
  FailingAllocator::budget = -1;
  EXPECT_GE(failures, 2);  // the arena and at least one descriptor array
  EXPECT_EQ(t.len(), 25u);
  EXPECT_EQ(t.nominal_capacity(), 64u);
  t.check_invariants();

  FailingAllocator::budget = 0;
  EXPECT_THROW(FailingTable(100, 0.25, 16), std::bad_alloc);
  FailingAllocator::budget = -1;
}

TEST_F(ElasticTableTest, OutOfMemoryForATidyingRebuildIsNotAnError) {
  FailingTable t(13, 0.25, 17);
  for (std::uint64_t k = 0; k < 12; ++k) t.insert(CountedKey(k), CountedValue(k), hash_in(t, k));
  FailingAllocator::budget = 0;
  for (std::uint64_t k = 0; k < 9; ++k) {
    auto e = t.remove(*t.find(CountedKey(k), hash_in(t, k), tag_of(hash_in(t, k))));
    EXPECT_EQ(e.key.id(), k);
  }
  FailingAllocator::budget = -1;
  EXPECT_EQ(t.levels()[0].tombstones, 9u);  // the rebuild could not happen
  EXPECT_EQ(t.len(), 3u);
  t.check_invariants();
}

// Steady churn at the item limit: delete one key, insert a new one.  Misses
// must stay within a small factor of their cost right after a rebuild.
class ElasticChurn : public ::testing::TestWithParam<double> {};

double average_miss_groups(const IntTable& t, std::mt19937_64& rng) {
  std::uint64_t groups = 0;
  constexpr int kSamples = 2000;
  for (int i = 0; i < kSamples; ++i) {
    const std::uint64_t absent = rng() | (std::uint64_t{1} << 63);
    const std::uint64_t h = hash_in(t, absent);
    groups += t.probe_groups_for(absent, h, tag_of(h));
  }
  return static_cast<double>(groups) / kSamples;
}

TEST_P(ElasticChurn, MissCostStaysBounded) {
  std::mt19937_64 rng(123);
  IntTable t(3000, GetParam(), 18);
  const std::uint32_t cap = t.capacity();
  std::vector<std::uint64_t> keys;
  while (t.len() < cap - 1) {
    const std::uint64_t k = rng() >> 1;
    if (!locate(t, k)) {
      put(t, k);
      keys.push_back(k);
    }
  }
  t.resize(t.nominal_capacity());
  const double base = average_miss_groups(t, rng);
  const long pairs = 1'000'000 / kScale;
  double sum = 0;
  int checkpoints = 0;
  for (long i = 1; i <= pairs; ++i) {
    const std::size_t j = rng() % keys.size();
    t.remove(*locate(t, keys[j]));
    std::uint64_t k;
    do k = rng() >> 1;
    while (locate(t, k));
    put(t, k);
    keys[j] = k;
    if (i % (pairs / 20) == 0) {
      sum += average_miss_groups(t, rng);
      ++checkpoints;
    }
  }
  EXPECT_EQ(t.capacity(), cap);
  EXPECT_EQ(t.len(), cap - 1);
  const double steady = sum / checkpoints;
  RecordProperty("base", std::to_string(base));
  RecordProperty("steady", std::to_string(steady));
  EXPECT_LE(steady, 2 * base) << "right after a rebuild: " << base;
  t.check_invariants();
}

INSTANTIATE_TEST_SUITE_P(Fractions, ElasticChurn, ::testing::Values(0.25, 0.1));

// popitem and set.pop take the first entry in scan order again and again;
// each must start near where the last one stopped, not at slot 0.
TEST_F(ElasticTableTest, DrainingFromTheFrontIsLinear) {
  const std::uint32_t n = 1'000'000 / kScale;
  IntTable t(n, 0.25, 19);
  for (std::uint64_t k = 0; k < n; ++k) t.insert_unique(k, k, hash_in(t, k));
  const std::vector<std::uint64_t> order = scan_keys(t);
  std::uint64_t slots = 0;
  for (const ElasticLevel& lv : t.levels()) slots += lv.slot_count;

  std::uint64_t loads = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    IntTable::ScanCursor cur;
    const auto loc = t.scan_advance(cur);
    loads += cur.groups_loaded;
    ASSERT_TRUE(loc);
    ASSERT_EQ(t.entry_at(*loc).key, order[i]);
    t.extract_finish(*loc);
  }
  IntTable::ScanCursor cur;
  EXPECT_FALSE(t.scan_advance(cur));
  // Every group is passed once, and a group is reloaded once per entry taken from it.
  EXPECT_LE(loads, slots / GROUP_WIDTH + n);
  t.check_invariants();

  // An insertion in front of the scan position is the first entry again.
  put(t, 1);
  put(t, 2);
  IntTable::ScanCursor again;
  const auto first = t.scan_advance(again);
  ASSERT_TRUE(first);
  EXPECT_EQ(t.entry_at(*first).key, scan_keys(t).front());
  t.check_invariants();
}

}  // namespace
}  // namespace brindle
