// HashMap and HashSet behaviour over every raw table: the containers are
// written once against the RawTable concept, so each table type runs the same
// tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "map/hash_map.hpp"
#include "set/hash_set.hpp"
#include "table_families.hpp"
#include "test_support.hpp"

namespace brindle {
namespace {

using test::CountedKey;
using test::CountedValue;
using test::LiveCount;

using test::TableFamilies;

// Equal by id only, so a test can tell which of two equal keys was kept.
struct SerialKey {
  std::uint64_t id;
  std::uint64_t serial;
  friend bool operator==(const SerialKey& a, const SerialKey& b) { return a.id == b.id; }
  friend std::uint64_t key_hash_word(const SerialKey& k) { return k.id; }
};

template <class Family>
class HashMapTest : public ::testing::Test {
 protected:
  using Map = HashMap<CountedKey, CountedValue, typename Family::template Of<CountedKey, CountedValue>>;
  using Set = HashSet<CountedKey, typename Family::template Of<CountedKey, Unit>>;

  void TearDown() override { EXPECT_EQ(LiveCount::live, 0); }

  // Keys 0..n-1; every fifth shares a hash word with its neighbours.
  static void fill(Map& m, std::uint64_t n) {
    for (std::uint64_t k = 0; k < n; ++k) EXPECT_FALSE(m.insert(key(k), CountedValue(k * 10)));
  }
  static CountedKey key(std::uint64_t k) { return CountedKey(k, k % 5 == 0 ? 12345 : k); }

  template <class M>
  static std::vector<std::uint64_t> ids_in_scan_order(const M& m) {
    std::vector<std::uint64_t> ids;
    auto it = m.iter();
    while (auto kv = it.next()) ids.push_back(kv->first->id());
    return ids;
  }
};
TYPED_TEST_SUITE(HashMapTest, TableFamilies);

TYPED_TEST(HashMapTest, KeyedOperations) {
  typename TestFixture::Map m;
  TestFixture::fill(m, 500);
  EXPECT_EQ(m.len(), 500u);
  EXPECT_GE(m.capacity(), 500u);
  for (std::uint64_t k = 0; k < 500; ++k) {
    ASSERT_TRUE(m.contains_key(TestFixture::key(k)));
    EXPECT_EQ(m.get(TestFixture::key(k))->get(), k * 10);
  }
  EXPECT_FALSE(m.contains_key(TestFixture::key(500)));
  EXPECT_EQ(m.get(TestFixture::key(501)), nullptr);

  // Replacement returns the old value and leaves len alone.
  auto old = m.insert(TestFixture::key(7), CountedValue(1));
  ASSERT_TRUE(old);
  EXPECT_EQ(old->get(), 70u);
  EXPECT_EQ(m.get(TestFixture::key(7))->get(), 1u);
  EXPECT_EQ(m.len(), 500u);

  auto removed = m.remove(TestFixture::key(10));
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->get(), 100u);
  EXPECT_FALSE(m.contains_key(TestFixture::key(10)));
  EXPECT_EQ(m.len(), 499u);

  m.insert_unique(TestFixture::key(1000), CountedValue(5));
  EXPECT_EQ(m.get(TestFixture::key(1000))->get(), 5u);
  m.table().check_invariants();
  old.reset();
  removed.reset();
  m.clear();
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(LiveCount::live, 0);
}

TYPED_TEST(HashMapTest, ReplacementKeepsTheFirstStoredKey) {
  HashMap<SerialKey, int, typename TypeParam::template Of<SerialKey, int>> m;
  EXPECT_FALSE(m.insert(SerialKey{1, 100}, 1));
  EXPECT_EQ(m.insert(SerialKey{1, 200}, 2), std::optional<int>(1));
  auto it = m.iter();
  auto kv = it.next();
  ASSERT_TRUE(kv);
  EXPECT_EQ(kv->first->serial, 100u);
  EXPECT_EQ(*kv->second, 2);
  EXPECT_FALSE(it.next());

  HashSet<SerialKey, typename TypeParam::template Of<SerialKey, Unit>> s;
  EXPECT_FALSE(s.insert(SerialKey{3, 1}));
  EXPECT_TRUE(s.insert(SerialKey{3, 2}));
  EXPECT_EQ(s.len(), 1u);
  s.for_each([](const SerialKey& k) { EXPECT_EQ(k.serial, 1u); });
}

TYPED_TEST(HashMapTest, RemovingAnAbsentKeyChangesNothing) {
  typename TestFixture::Map m;
  TestFixture::fill(m, 300);
  for (std::uint64_t k = 0; k < 300; k += 2) m.remove(TestFixture::key(k));
  const auto before = TestFixture::ids_in_scan_order(m);
  const auto bytes = m.table().heap_bytes();
  for (std::uint64_t k = 0; k < 300; k += 2) EXPECT_FALSE(m.remove(TestFixture::key(k)));
  EXPECT_EQ(TestFixture::ids_in_scan_order(m), before);
  EXPECT_EQ(m.table().heap_bytes(), bytes);
  EXPECT_EQ(m.len(), 150u);
}

TYPED_TEST(HashMapTest, IterYieldsEachEntryOnceWithAnExactCount) {
  typename TestFixture::Map m;
  TestFixture::fill(m, 1000);
  auto it = m.iter();
  std::vector<bool> seen(1000);
  std::uint32_t n = 0;
  while (auto kv = it.next()) {
    EXPECT_EQ(it.remaining(), 1000u - ++n);
    EXPECT_FALSE(seen[kv->first->id()]);
    seen[kv->first->id()] = true;
    EXPECT_EQ(kv->second->get(), kv->first->id() * 10);
  }
  EXPECT_EQ(n, 1000u);
  EXPECT_FALSE(it.next());
}

TYPED_TEST(HashMapTest, ExtractIfAlwaysYesDrainsInScanOrder) {
  typename TestFixture::Map m;
  TestFixture::fill(m, 700);
  const auto order = TestFixture::ids_in_scan_order(m);
  auto ex = m.extract_if([](const CountedKey&, CountedValue&) { return true; });
  std::vector<std::uint64_t> got;
  while (auto e = ex.next()) got.push_back(e->key.id());
  EXPECT_EQ(got, order);
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(LiveCount::live, 0);
  m.table().check_invariants();
}

TYPED_TEST(HashMapTest, ExtractIfTakesOnlyWhatItIsAskedFor) {
  typename TestFixture::Map m;
  TestFixture::fill(m, 400);
  const auto order = TestFixture::ids_in_scan_order(m);
  std::uint32_t visited_before_match = 0;
  while (order[visited_before_match] % 3 != 0) ++visited_before_match;
  {
    auto ex = m.extract_if([](const CountedKey& k, CountedValue& v) {
      v = CountedValue(v.get() + 1);  // survivors keep the change
      return k.id() % 3 == 0;
    });
    auto first = ex.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->key.id() % 3, 0u);
  }  // dropped after one entry
  EXPECT_EQ(m.len(), 399u);

  auto ex = m.extract_if([](const CountedKey& k, CountedValue&) { return k.id() % 3 == 0; });
  std::uint32_t taken = 0;
  while (auto e = ex.next()) {
    EXPECT_EQ(e->key.id() % 3, 0u);
    ++taken;
  }
  EXPECT_EQ(taken, 133u);
  EXPECT_EQ(m.len(), 266u);
  std::uint32_t bumped = 0;
  m.for_each([&](const CountedKey& k, const CountedValue& v) { bumped += v.get() != k.id() * 10; });
  EXPECT_EQ(bumped, visited_before_match);  // the first walk changed values up to where it stopped
  m.table().check_invariants();
}

TYPED_TEST(HashMapTest, RetainKeepsWhatThePredicateAccepts) {
  typename TestFixture::Map m;
  TestFixture::fill(m, 600);
  const std::uint32_t cap = m.capacity();
  m.retain([](const CountedKey& k, CountedValue& v) {
    v = CountedValue(v.get() + 1);
    return k.id() % 2 == 1;
  });
  EXPECT_EQ(m.len(), 300u);
  for (std::uint64_t k = 0; k < 600; ++k) {
    auto v = m.get(TestFixture::key(k));
    ASSERT_EQ(v != nullptr, k % 2 == 1);
    if (v) {
      EXPECT_EQ(v->get(), k * 10 + 1);
    }
  }
  m.retain([](const CountedKey&, CountedValue&) { return false; });
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(m.capacity(), cap);
  m.table().check_invariants();
}

TYPED_TEST(HashMapTest, PopFirstTakesTheFirstEntryInScanOrder) {
  typename TestFixture::Map m;
  TestFixture::fill(m, 200);
  for (int round = 0; round < 150; ++round) {
    const auto order = TestFixture::ids_in_scan_order(m);
    auto e = m.pop_first();
    ASSERT_TRUE(e);
    ASSERT_EQ(e->key.id(), order.front());
    if (round % 10 == 0) m.insert(TestFixture::key(1000 + round), CountedValue());
  }
  m.table().check_invariants();
}

TYPED_TEST(HashMapTest, SetOperations) {
  typename TestFixture::Set s;
  for (std::uint64_t k = 0; k < 300; ++k) EXPECT_FALSE(s.insert(TestFixture::key(k)));
  EXPECT_TRUE(s.insert(TestFixture::key(5)));
  EXPECT_EQ(s.len(), 300u);
  EXPECT_TRUE(s.contains(TestFixture::key(299)));
  EXPECT_TRUE(s.remove(TestFixture::key(299)));
  EXPECT_FALSE(s.remove(TestFixture::key(299)));
  s.retain([](const CountedKey& k) { return k.id() < 100; });
  EXPECT_EQ(s.len(), 100u);
  auto ex = s.extract_if([](const CountedKey& k) { return k.id() >= 50; });
  std::uint32_t taken = 0;
  while (ex.next()) ++taken;
  EXPECT_EQ(taken, 50u);
  std::uint32_t popped = 0;
  while (s.pop_first()) ++popped;
  EXPECT_EQ(popped, 50u);
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(LiveCount::live, 0);
}

}  // namespace
}  // namespace brindle
