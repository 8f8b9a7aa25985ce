// Behaviour every raw table must share, run over each table type, together
// with what HashMap adds on top.  Plain keyed operations are the differential
// test's business.

#include <tuple>

#include "test_support.hpp"

namespace brindle {
namespace {

using namespace test;

#ifdef BRINDLE_SANITIZED
constexpr std::uint32_t kSharedKeys = 3000, kDrainKeys = 100'000;
#else
constexpr std::uint32_t kSharedKeys = 20'000, kDrainKeys = 1'000'000;
#endif
constexpr std::uint64_t kShared = 0xC0FFEE;

// Every fifth key shares one hash word.
CountedKey key(std::uint64_t k) { return CountedKey(k, k % 5 == 0 ? kShared : k); }
template <class T>
void fill(T& t, std::uint64_t n) {
  for (std::uint64_t k = 0; k < n; ++k) ASSERT_FALSE(put(t, key(k), CountedValue(k)));
}
// Contents in scan order with where each key lives: a rebuild moves keys.
using Snapshot = std::vector<std::tuple<std::uint64_t, std::uint64_t, const CountedKey*>>;
template <class T>
Snapshot snapshot(const T& t) {
  Snapshot out;
  for (auto loc : scan_all(t))
    out.emplace_back(t.entry_at(loc).key.id(), t.entry_at(loc).value.get(), &t.entry_at(loc).key);
  return out;
}

template <class Family>
class Tables : public LiveGuard {
 protected:
  template <class A = SystemAllocator>
  using Of = typename Family::template Of<CountedKey, CountedValue, A>;
  using Table = Of<>;
  using Map = HashMap<CountedKey, CountedValue, Table>;
};
TYPED_TEST_SUITE(Tables, TableFamilies);

// Reserve rebuilds only when the item limit is too small, retain never; a
// moved-from table still works.
TYPED_TEST(Tables, ReserveAndRetainRebuildOnlyWhenTheyMust) {
  typename TestFixture::Table moved(0, 0.125, 7);
  fill(moved, 1500);
  typename TestFixture::Map m(0, 0.125, 3);
  m.table() = typename TestFixture::Table(std::move(moved));
  put(moved, CountedKey(5000), CountedValue());
  EXPECT_EQ(moved.len(), 1u);
  auto& t = m.table();
  t.remove(*locate(t, key(0)));
  const std::uint32_t cap = t.max_items();
  auto before = snapshot(t);
  t.reserve(cap - t.len());
  m.retain([](const CountedKey& k, CountedValue&) { return k.id() % 8 != 0; });
  std::erase_if(before, [](const auto& s) { return std::get<0>(s) % 8 == 0; });
  EXPECT_EQ(snapshot(t), before);
  EXPECT_THROW(t.reserve(std::uint64_t{1} << 31), InvariantFailure);
  EXPECT_EQ(snapshot(t), before);
  t.reserve(cap - t.len() + 1);
  EXPECT_GT(t.max_items(), cap);
  t.check_invariants();
}

// Out of memory, an insertion fails at each allocation it makes in turn and
// changes nothing, not even where entries live; a removal whose clean-up of
// tombstones needs memory still completes.
TYPED_TEST(Tables, RunningOutOfMemoryLosesNothing) {
  using Failing = typename TestFixture::template Of<FailingAllocator>;
  FailingAllocator::arm(0);
  EXPECT_THROW(Failing(100, 0.25, 16), std::bad_alloc);
  FailingAllocator::arm(-1);
  Failing t(1000, 0.125, 5);
  constexpr std::uint64_t n = 3000;
  long refused = 0, cleanups = 0;
  Snapshot before;
  // Shared hash words make the funnel table's overflow area grow as well.
  for (std::uint64_t k = 0; k < n; ++k) {
    for (long fail_at = 0;; ++fail_at) {
      FailingAllocator::arm(fail_at);
      try {
        put(t, key(k), CountedValue(k));
        break;
      } catch (const std::bad_alloc&) {
        ++refused;
        ASSERT_EQ(snapshot(t), before) << "key " << k << ", allocation " << fail_at;
        ASSERT_EQ(LiveCount::live, 2L * k);  // the rejected key and value are gone
        t.check_invariants();
      }
    }
    before = snapshot(t);
  }
  EXPECT_GE(refused, 2);
  FailingAllocator::arm(0);
  EXPECT_EQ(put(t, key(7), CountedValue(7)).value().get(), 7u);  // replacing needs no memory
  const std::uint32_t nominal = t.nominal_slots();
  for (std::uint64_t k = 0; k < n; ++k) {
    if (k % 4 == 3) continue;
    FailingAllocator::arm(0);
    ASSERT_EQ(t.remove(*locate(t, key(k))).value.get(), k);
    cleanups += FailingAllocator::calls;
  }
  FailingAllocator::arm(-1);
  EXPECT_GT(cleanups, 0);
  t.check_invariants();
  for (std::uint64_t k = 0; k < n; ++k) ASSERT_EQ(locate(t, key(k)).has_value(), k % 4 == 3) << k;
  // With memory back, the tombstones are reused or cleared: no growth.
  for (std::uint64_t k = 0; k < n; ++k)
    if (k % 4 != 3) put(t, key(k), CountedValue(k));
  EXPECT_EQ(t.nominal_slots(), nominal);
  t.check_invariants();
}

// popitem and set.pop take the first entry in scan order again and again;
// each must start near where the last one stopped, not at slot 0.
TYPED_TEST(Tables, DrainingFromTheFrontIsLinear) {
  typename TypeParam::template Of<std::uint64_t, std::uint64_t> t(0, 0.125, 19);
  for (std::uint64_t k = 0; k < kDrainKeys; ++k) {
    const std::uint64_t w = k * 0x9E3779B97F4A7C15ull;
    t.insert_unique(w, k, table_hash(w, t.seed()));
  }
  const auto order = scan_all(t);
  // Both tables have fewer than twice their nominal capacity in slots.
  const std::uint64_t groups = 2 * t.nominal_slots() / GROUP_WIDTH;
  std::uint64_t loads = 0;
  for (const auto& want : order) {
    typename decltype(t)::ScanCursor c;
    const auto loc = t.scan_advance(c);
    loads += c.groups_loaded;
    ASSERT_EQ(loc, want);
    t.extract_finish(*loc);
  }
  // Every group is passed once, and reread at most twice per entry taken.
  EXPECT_LE(loads, groups + 2 * order.size());
  t.check_invariants();
  // A rebuild moves entries below where draining scans had got to: fresh
  // scans must start from the bottom again.
  decltype(t) small(0, 0.125, 23);
  for (std::uint64_t k = 0; k < 1000; ++k) small.insert_unique(k, k, table_hash(k, small.seed()));
  for (int i = 0; i < 900; ++i) {
    typename decltype(t)::ScanCursor c;
    small.extract_finish(*small.scan_advance(c));
  }
  small.reserve(small.max_items());
  EXPECT_EQ(scan_all(small).size(), 100u);
  small.check_invariants();
}

// Keys that share one hash word: every operation on them is linear, but none
// may crash, lose an entry or inflate the table.
TYPED_TEST(Tables, ManyKeysWithOneHashWordStayCorrectAndSmall) {
  typename TestFixture::Map m(0, 0.125, 0x5EED);
  for (std::uint64_t id = 0; id < kSharedKeys; ++id) ASSERT_FALSE(m.insert(CountedKey(id, kShared), CountedValue(id)));
  EXPECT_LE(m.max_items(), typename TestFixture::Table(kSharedKeys, 0.125, 1).max_items());
  m.table().check_invariants();
  EXPECT_FALSE(m.get(CountedKey(kSharedKeys, kShared)));
  for (std::uint64_t id = 0; id < kSharedKeys; ++id) {
    auto v = m.remove(CountedKey(id, kShared));
    ASSERT_TRUE(v && v->get() == id) << id;
  }
  m.table().check_invariants();
}

}  // namespace
}  // namespace brindle
