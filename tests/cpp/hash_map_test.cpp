// Behaviour every raw table must share, run over each table type, together
// with what HashMap and HashSet add on top.  Plain keyed operations are the
// differential test's business.

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "set/hash_set.hpp"
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
  moved.reserve(0);
  EXPECT_EQ(moved.max_items(), 0u);
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
  t.reserve(cap - t.len() + 1);
  EXPECT_GT(t.max_items(), cap);
  for (std::uint64_t extra : {std::uint64_t{1} << 31, ~std::uint64_t{0}}) {
    try {
      t.reserve(extra);
      ADD_FAILURE() << "reserved " << extra;
    } catch (const InvariantFailure& e) {
      EXPECT_STREQ(e.what(), "capacity overflow");
    }
  }
  EXPECT_EQ(t.len(), before.size());
  const std::uint32_t grown = t.max_items();
  m.retain([](const CountedKey&, CountedValue&) { return false; });
  t.clear();
  EXPECT_EQ(LiveCount::live, 2);  // the moved-from table's entry
  EXPECT_EQ(t.max_items(), grown);
  t.check_invariants();
}

TYPED_TEST(Tables, FailedGrowthKeepsEveryEntry) {
  using Failing = typename TestFixture::template Of<FailingAllocator>;
  FailingAllocator::arm(-1);
  Failing t(1000, 0.125, 5);
  const std::uint32_t n = t.max_items();
  fill(t, n);
  if constexpr (requires { t.overflow_len(); }) {
    ASSERT_GT(t.overflow_len(), 0u);  // the funnel rebuild must place those too
  }
  const auto before = snapshot(t);
  FailingAllocator::arm(0);
  EXPECT_EQ(put(t, key(7), CountedValue(7)).value().get(), 7u);  // replacing at the limit does not grow
  long failures = 0;
  for (long k = 0;; ++k) {
    FailingAllocator::arm(k);
    try {
      put(t, CountedKey(1u << 30, 77), CountedValue(1u << 30));
      break;
    } catch (const std::bad_alloc&) {
      ++failures;
      ASSERT_EQ(snapshot(t), before) << "allocation " << k;
      ASSERT_EQ(t.max_items(), n);
      ASSERT_EQ(LiveCount::live, 2L * n);  // the rejected key and value are gone
      t.check_invariants();
    }
  }
  EXPECT_GE(failures, 2);  // the arena and the level descriptors at least
  EXPECT_GT(t.max_items(), n);
  for (std::uint64_t k = 0; k < n; ++k) ASSERT_TRUE(locate(t, key(k))) << k;
  EXPECT_TRUE(locate(t, CountedKey(1u << 30, 77)));
  t.check_invariants();

  FailingAllocator::arm(0);
  EXPECT_THROW(Failing(100, 0.25, 16), std::bad_alloc);
  FailingAllocator::arm(-1);
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
  std::vector<int> seen(kSharedKeys);
  auto it = m.iter();
  for (std::uint32_t left = kSharedKeys; auto kv = it.next();) {
    ++seen[kv->first->id()];
    ASSERT_EQ(it.remaining(), --left);
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(kSharedKeys));
  for (std::uint64_t id = 0; id < kSharedKeys; ++id) {
    auto v = m.remove(CountedKey(id, kShared));
    ASSERT_TRUE(v && v->get() == id) << id;
  }
  m.table().check_invariants();
}

// A value whose destructor scans the table it lives in: in the Python layer
// a destructor can release an object whose finalizer walks the table (the
// collector's traversal does), and it must find a live entry in every slot
// that reads full.
struct ScanOnDrop {
  static inline std::set<const ScanOnDrop*> live;
  static inline std::function<void()> scan;
  ScanOnDrop() { live.insert(this); }
  ScanOnDrop(ScanOnDrop&&) noexcept { live.insert(this); }
  ScanOnDrop& operator=(ScanOnDrop&&) noexcept = default;
  ~ScanOnDrop() {
    live.erase(this);
    if (scan) scan();
  }
};

TYPED_TEST(Tables, DestructorsNeverMeetAFullSlotWithoutALiveEntry) {
  using Table = typename TypeParam::template Of<CountedKey, ScanOnDrop>;
  using Map = HashMap<CountedKey, ScanOnDrop, Table>;
  auto m = std::make_unique<Map>(0, 0.125, 21);
  const Table* table = &m->table();  // still reachable while the map is destroyed
  const char* phase = "";
  std::string seen;  // phases in which a scan met a dead entry
  ScanOnDrop::scan = [&] {
    typename Table::ScanCursor c;
    while (auto loc = table->scan_advance(c)) {
      if (!ScanOnDrop::live.contains(&table->entry_at(*loc).value)) {
        if (seen.find(phase) == std::string::npos) seen.append(seen.empty() ? "" : ", ").append(phase);
        return;
      }
    }
  };
  struct StopScanning {
    ~StopScanning() { ScanOnDrop::scan = nullptr; }
  } stop_scanning;
  // Half the keys share one hash word, enough to reach the funnel's overflow area.
  auto key_of = [](std::uint64_t k) { return CountedKey(k, k % 2 ? kShared : k); };
  auto fill = [&] {
    for (std::uint64_t k = 0; k < 600; ++k) m->insert(key_of(k), ScanOnDrop());
  };

  phase = "growth", fill();
  if constexpr (requires { m->table().overflow_len(); }) {
    ASSERT_GT(m->table().overflow_len(), 0u);
  }
  phase = "removal";
  for (std::uint64_t k = 0; k < 600; k += 7) m->remove(key_of(k));
  phase = "retain", m->retain([](const CountedKey& k, ScanOnDrop&) { return k.id() % 3 != 0; });
  phase = "clear", m->clear();
  EXPECT_TRUE(ScanOnDrop::live.empty());
  phase = "growth", fill();
  phase = "destruction", m.reset();
  EXPECT_TRUE(ScanOnDrop::live.empty());
  EXPECT_EQ(seen, "");
}

}  // namespace
}  // namespace brindle
