#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

#include "elastic/elastic_table.hpp"
#include "funnel/funnel_table.hpp"
#include "map/hash_map.hpp"
#include "set/hash_set.hpp"
#include "test_support.hpp"

namespace brindle {
namespace {

using test::CountedKey;
using test::CountedValue;
using test::LiveCount;

using Table = FunnelTable<CountedKey, CountedValue>;
using Loc = FunnelLocation;
using Kind = FunnelLocation::Kind;

static_assert(RawTable<Table>);
static_assert(RawTable<FunnelTable<std::uint64_t, Unit>>);

constexpr std::uint64_t SEED = 0x5EED;
constexpr std::uint64_t SHARED = 0xC0FFEE;  // the hash word of every colliding key

#ifdef BRINDLE_SANITIZED
constexpr std::uint32_t SHARED_KEYS = 3000;
constexpr std::uint32_t DRAIN_KEYS = 100000;
#else
constexpr std::uint32_t SHARED_KEYS = 20000;
constexpr std::uint32_t DRAIN_KEYS = 1000000;
#endif

template <class T>
std::optional<CountedValue> put(T& t, std::uint64_t id, std::uint64_t word, std::uint64_t value) {
  return t.insert(CountedKey(id, word), CountedValue(value), table_hash(word, t.seed()));
}
template <class T>
std::optional<Loc> locate(const T& t, std::uint64_t id, std::uint64_t word) {
  const std::uint64_t h = table_hash(word, t.seed());
  return t.find(CountedKey(id, word), h, tag_of(h));
}
template <class T>
std::vector<Loc> scan_all(const T& t) {
  std::vector<Loc> out;
  typename T::ScanCursor c;
  while (auto loc = t.scan_advance(c)) out.push_back(*loc);
  return out;
}
// Scan order as a sortable key: region, level, slot.
std::tuple<int, std::uint32_t, std::uint32_t> order_of(Loc l) { return {static_cast<int>(l.kind), l.level, l.slot}; }

class LiveGuard : public ::testing::Test {
 protected:
  LiveGuard() { LiveCount::live = 0; }
  // Runs after the fixture's own members are gone.
  ~LiveGuard() override { EXPECT_EQ(LiveCount::live, 0); }
};

// ---- placement and scan order ---------------------------------------------

// An independent model of where fresh keys land when nothing is removed: the
// first level whose candidate bucket has room, then the special primary's
// probe groups, then the two special secondary buckets, then the overflow.
class PlacementModel {
 public:
  template <class T>
  explicit PlacementModel(const T& t) : probe_limit_(t.probe_limit()) {
    for (std::uint32_t i = 0; i < t.level_count(); ++i) levels_.push_back(t.level(i));
    primary_ = t.special_primary();
    secondary_ = t.special_secondary();
    secondary_used_.assign(secondary_.slot_count, false);
  }

  Loc place(std::uint64_t h) {
    const auto lo = static_cast<std::uint32_t>(h);
    for (std::uint32_t i = 0; i < levels_.size(); ++i) {
      const BucketLevel& l = levels_[i];
      if (l.slot_count == 0) continue;
      const std::uint32_t stride = 1u << l.bucket_shift;
      const std::uint32_t start = ((lo ^ ((i + 1) * 0x7F4A7C15u)) & (l.slot_count / stride - 1)) * stride;
      std::uint32_t& used = level_used_[{i, start}];
      if (used < stride) return Loc::in_level(i, start + used++);
    }
    if (primary_.slot_count != 0) {
      const std::uint32_t mask = primary_.slot_count / 16 - 1;
      std::uint32_t g = std::rotl(lo, 11) & mask;
      const std::uint32_t step = (static_cast<std::uint32_t>(h >> 21) | 1) & mask;
      for (std::uint32_t j = 0; j < std::min(primary_.slot_count / 16, probe_limit_); ++j, g = (g + step) & mask) {
        std::uint32_t& used = primary_used_[g];
        if (used < 16) return Loc::in_special_primary(16 * g + used++);
      }
    }
    if (secondary_.slot_count != 0) {
      const std::uint32_t width = 1u << secondary_.bucket_shift;
      for (std::uint32_t c :
           {std::rotl(lo, 19) % secondary_.bucket_count, static_cast<std::uint32_t>(h >> 27) % secondary_.bucket_count})
        for (std::uint32_t s = c * width; s < std::min(secondary_.slot_count, (c + 1) * width); ++s)
          if (!secondary_used_[s]) {
            secondary_used_[s] = true;
            return Loc::in_special_secondary(s);
          }
    }
    return Loc::in_overflow(overflow_++);
  }

 private:
  std::uint32_t probe_limit_;
  std::vector<BucketLevel> levels_;
  SpecialPrimary primary_;
  SpecialSecondary secondary_;
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> level_used_;
  std::map<std::uint32_t, std::uint32_t> primary_used_;
  std::vector<bool> secondary_used_;
  std::uint32_t overflow_ = 0;
};

class FunnelPlacement : public ::testing::TestWithParam<double> {};

TEST_P(FunnelPlacement, FreshKeysFollowTheFunnelAndScanInRegionOrder) {
  FunnelTable<std::uint64_t, std::uint64_t> t(3000, GetParam(), SEED);
  PlacementModel model(t);
  std::mt19937_64 rng(7);
  std::vector<Loc> expected;
  // Up to the item limit: the later levels, the special parts and now and
  // then the overflow area take some.
  for (std::uint32_t i = 0; i < t.max_items(); ++i) {
    const std::uint64_t key = rng();
    const std::uint64_t h = table_hash(key, t.seed());
    expected.push_back(model.place(h));
    ASSERT_FALSE(t.insert(key, i, h));
    ASSERT_EQ(t.find(key, h, tag_of(h)), expected.back()) << "key " << i;
  }
  t.check_invariants();
  std::sort(expected.begin(), expected.end(), [](Loc a, Loc b) { return order_of(a) < order_of(b); });
  EXPECT_EQ(scan_all(t), expected);
}

INSTANTIATE_TEST_SUITE_P(Funnel, FunnelPlacement, ::testing::Values(0.125, 0.01, 0.001));

class FunnelSharedHashPlacement : public LiveGuard {};

TEST_F(FunnelSharedHashPlacement, FillsLevelsThenSpecialPartsThenOverflow) {
  Table t(1000, 0.125, SEED);
  PlacementModel model(t);
  const std::uint64_t h = table_hash(SHARED, t.seed());
  std::vector<Loc> expected;
  for (std::uint64_t id = 0; id < 400; ++id) {
    expected.push_back(model.place(h));
    ASSERT_FALSE(put(t, id, SHARED, id));
    ASSERT_EQ(locate(t, id, SHARED), expected.back()) << id;
  }
  // 11 levels of one 16-slot bucket each, 4 primary groups, two secondary
  // buckets of 8 (one if both choices coincide), the rest overflows.
  const std::uint32_t secondary =
      t.special_secondary().first_choice(h) == t.special_secondary().second_choice(h) ? 8 : 16;
  EXPECT_EQ(t.max_populated_level(), 10u);
  EXPECT_EQ(t.special_primary().len, 64u);
  EXPECT_EQ(t.special_secondary().len, secondary);
  EXPECT_EQ(t.overflow_len(), 400 - 176 - 64 - secondary);
  EXPECT_EQ(t.nominal_capacity(), 2048u);
  t.check_invariants();
  std::sort(expected.begin(), expected.end(), [](Loc a, Loc b) { return order_of(a) < order_of(b); });
  EXPECT_EQ(scan_all(t), expected);
}

TEST_F(FunnelSharedHashPlacement, SmallTablesUseThePrimaryThenGrow) {
  Table t(0, 0.125, SEED);
  EXPECT_EQ(t.nominal_capacity(), 0u);
  EXPECT_TRUE(scan_all(t).empty());
  ASSERT_FALSE(put(t, 0, 0, 0));
  EXPECT_EQ(t.nominal_capacity(), 16u);
  for (std::uint64_t id = 1; id < 14; ++id) ASSERT_FALSE(put(t, id, id * 0x9E3779B97F4A7C15ull, id));
  // No level has a bucket at 16: the first 14 keys sit in the primary.
  for (Loc l : scan_all(t)) EXPECT_EQ(l.kind, Kind::InSpecialPrimary);
  EXPECT_EQ(t.len(), 14u);
  // Replacing at the item limit does not grow.
  const auto old = put(t, 3, 3 * 0x9E3779B97F4A7C15ull, 99);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->get(), 3u);
  EXPECT_EQ(t.nominal_capacity(), 16u);
  ASSERT_FALSE(put(t, 14, 14 * 0x9E3779B97F4A7C15ull, 14));
  EXPECT_EQ(t.nominal_capacity(), 32u);
  EXPECT_EQ(t.capacity(), 28u);
  for (std::uint64_t id = 0; id < 15; ++id) {
    auto loc = locate(t, id, id == 0 ? 0 : id * 0x9E3779B97F4A7C15ull);
    ASSERT_TRUE(loc) << id;
    EXPECT_EQ(t.entry_at(*loc).value.get(), id == 3 ? 99u : id);
  }
  t.check_invariants();
}

// ---- removal marking, probe answers, max_populated_level ------------------

class FunnelRemoval : public LiveGuard {
 protected:
  // 2048 nominal: levels 0..10 hold one 16-slot bucket for any given hash.
  Table t{1000, 0.125, SEED};
  std::uint64_t h = table_hash(SHARED, t.seed());
  std::uint8_t tag = tag_of(h);

  void fill(std::uint64_t count) {
    for (std::uint64_t id = 0; id < count; ++id) ASSERT_FALSE(put(t, id, SHARED, id));
  }
  Loc at(std::uint64_t id) { return *locate(t, id, SHARED); }
  BucketProbe::Kind probe(std::uint32_t level, std::uint64_t id) {
    return t.find_in_bucket(level, h, tag, CountedKey(id, SHARED)).kind;
  }
};

TEST_F(FunnelRemoval, FullGroupsKeepTombstonesAndOpenGroupsEmpty) {
  fill(17);
  const Loc in0 = at(3), in1 = at(16);
  ASSERT_EQ(in0.kind, Kind::InLevel);
  ASSERT_EQ(in0.level, 0u);
  ASSERT_EQ(in1.level, 1u);
  EXPECT_EQ(probe(0, 999), BucketProbe::Kind::Continue);
  EXPECT_EQ(probe(1, 999), BucketProbe::Kind::Absent);
  EXPECT_EQ(probe(2, 999), BucketProbe::Kind::Absent);
  EXPECT_EQ(t.max_populated_level(), 1u);

  EXPECT_EQ(t.remove(in0).value.get(), 3u);
  EXPECT_EQ(t.control_at(in0), CTRL_TOMBSTONE);
  EXPECT_EQ(t.level(0).tombstones, 1u);
  EXPECT_EQ(t.remove(in1).value.get(), 16u);
  EXPECT_EQ(t.control_at(in1), CTRL_EMPTY);
  EXPECT_EQ(t.level(1).tombstones, 0u);
  EXPECT_EQ(t.max_populated_level(), 0u);
  // Keys behind the tombstone are still found.
  for (std::uint64_t id : {0, 4, 15}) EXPECT_TRUE(locate(t, id, SHARED)) << id;
  EXPECT_FALSE(locate(t, 3, SHARED));
  EXPECT_FALSE(locate(t, 16, SHARED));

  // A new key reuses the tombstone, the first free slot on its path.
  ASSERT_FALSE(put(t, 100, SHARED, 100));
  EXPECT_EQ(at(100), in0);
  EXPECT_EQ(t.level(0).tombstones, 0u);
  t.check_invariants();
}

TEST_F(FunnelRemoval, EmptiedLevelWithTombstonesStillPassesTheSearchOn) {
  fill(176 + 3);  // levels 0..10, then three in the primary
  std::vector<Loc> level10;
  Table::ScanCursor c;
  while (auto loc = t.scan_advance(c)) {
    if (loc->kind == Kind::InLevel && loc->level == 10) {
      auto gone = t.extract_finish(*loc);
      level10.push_back(*loc);
    }
  }
  ASSERT_EQ(level10.size(), 16u);
  EXPECT_EQ(t.level(10).len, 0u);
  EXPECT_EQ(t.level(10).tombstones, 16u);
  // extract_finish leaves max_populated_level alone; remove lowers it.
  EXPECT_EQ(t.max_populated_level(), 10u);
  EXPECT_EQ(probe(10, 999), BucketProbe::Kind::Continue);
  EXPECT_EQ(probe(11, 999), BucketProbe::Kind::Continue);  // no slots
  for (std::uint64_t id = 0; id < 179; ++id) EXPECT_EQ(locate(t, id, SHARED).has_value(), id < 160 || id >= 176);
  t.check_invariants();

  Table fresh(1000, 0.125, SEED);
  EXPECT_EQ(fresh.find_in_bucket(0, h, tag, CountedKey(1, SHARED)).kind, BucketProbe::Kind::Absent);
}

TEST_F(FunnelRemoval, SpecialPartsReuseTombstones) {
  fill(176 + 64 + 4);  // levels, all four primary groups, four secondary slots
  // Ids 176..239 sit in the primary, 240..243 in the secondary.
  for (auto [kind, victim] : {std::pair{Kind::InSpecialPrimary, 200}, std::pair{Kind::InSpecialSecondary, 240}}) {
    const Loc l = at(victim);
    ASSERT_EQ(l.kind, kind);
    const std::uint32_t before = t.len();
    t.remove(l);
    const auto tombstones = [&] {
      return kind == Kind::InSpecialPrimary ? t.special_primary().tombstones : t.special_secondary().tombstones;
    };
    // Primary groups on the path are full; the secondary bucket still has
    // empty bytes in its group.
    EXPECT_EQ(t.control_at(l), kind == Kind::InSpecialPrimary ? CTRL_TOMBSTONE : CTRL_EMPTY);
    EXPECT_EQ(tombstones(), kind == Kind::InSpecialPrimary ? 1u : 0u);
    ASSERT_FALSE(put(t, 1000 + victim, SHARED, 0));
    EXPECT_EQ(at(1000 + victim), l);
    EXPECT_EQ(tombstones(), 0u);
    EXPECT_EQ(t.len(), before);
    t.check_invariants();
  }
}

TEST_F(FunnelRemoval, HalfTombstonedRegionIsRebuiltInPlace) {
  fill(176);
  // Level 10 is one bucket of 16: the ninth tombstone rebuilds.
  std::vector<std::uint64_t> level10;
  for (std::uint64_t id = 160; id < 176; ++id) level10.push_back(id);
  for (int i = 0; i < 8; ++i) t.remove(at(level10[i]));
  EXPECT_EQ(t.level(10).tombstones, 8u);
  t.remove(at(level10[8]));
  EXPECT_EQ(t.level(10).tombstones, 0u);
  EXPECT_EQ(t.nominal_capacity(), 2048u);
  EXPECT_EQ(t.len(), 176u - 9);
  for (std::uint64_t id = 0; id < 176; ++id) EXPECT_EQ(locate(t, id, SHARED).has_value(), id < 160 || id >= 169);
  t.check_invariants();
}

// ---- whole-table operations -----------------------------------------------

class FunnelWhole : public LiveGuard {};

TEST_F(FunnelWhole, ScanWithExtractionEmptiesTheTable) {
  Table t(0, 0.125, SEED);
  for (std::uint64_t id = 0; id < 3000; ++id) put(t, id, id % 7 == 0 ? SHARED : id, id);
  const std::uint32_t mpl = t.max_populated_level();
  const std::vector<Loc> order = scan_all(t);
  std::vector<Loc> seen;
  Table::ScanCursor c;
  while (auto loc = t.scan_advance(c)) {
    seen.push_back(*loc);
    auto gone = t.extract_finish(*loc);
  }
  EXPECT_EQ(seen, order);
  EXPECT_EQ(t.len(), 0u);
  EXPECT_EQ(t.max_populated_level(), mpl);
  EXPECT_FALSE(t.scan_advance(c));
  EXPECT_FALSE(t.scan_advance(c));
  t.check_invariants();
}

TEST_F(FunnelWhole, ClearKeepsSizeAndReserveRebuildsOnlyWhenNeeded) {
  Table t(0, 0.125, SEED);
  t.reserve(0);
  EXPECT_EQ(t.nominal_capacity(), 0u);
  t.reserve(1000);
  EXPECT_EQ(t.nominal_capacity(), 2048u);
  EXPECT_EQ(t.capacity(), 1792u);
  for (std::uint64_t id = 0; id < 1500; ++id) put(t, id, id, id);
  const CountedKey* first = &t.entry_at(*locate(t, 0, 0)).key;
  t.reserve(292);  // fits exactly
  EXPECT_EQ(&t.entry_at(*locate(t, 0, 0)).key, first);
  t.reserve(293);
  EXPECT_EQ(t.nominal_capacity(), 4096u);
  for (std::uint64_t id = 0; id < 1500; ++id) ASSERT_TRUE(locate(t, id, id));
  t.clear();
  EXPECT_EQ(t.len(), 0u);
  EXPECT_EQ(LiveCount::live, 0);
  EXPECT_EQ(t.nominal_capacity(), 4096u);
  EXPECT_TRUE(scan_all(t).empty());
  EXPECT_FALSE(locate(t, 5, 5));
  t.check_invariants();
}

TEST_F(FunnelWhole, GrowthStopsAtTwoToTheThirtyOne) {
  EXPECT_EQ(Table::grown_capacity(0), 16u);
  EXPECT_EQ(Table::grown_capacity(0x40000000u), 0x80000000u);
  try {
    Table::grown_capacity(0x80000000u);
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_STREQ(e.what(), "capacity overflow");
  }
  Table t(100, 0.125, SEED);
  put(t, 1, 1, 1);
  for (std::uint64_t extra : {std::uint64_t{1} << 31, ~std::uint64_t{0}}) {
    try {
      t.reserve(extra);
      FAIL();
    } catch (const InvariantFailure& e) {
      EXPECT_STREQ(e.what(), "capacity overflow");
    }
  }
  EXPECT_EQ(t.nominal_capacity(), 128u);
  EXPECT_TRUE(locate(t, 1, 1));
}

TEST_F(FunnelWhole, RepeatedFirstEntryRemovalIsLinear) {
  HashMap<std::uint64_t, std::uint64_t, FunnelTable<std::uint64_t, std::uint64_t>> m(0, 0.125, SEED);
  for (std::uint64_t k = 0; k < DRAIN_KEYS; ++k) m.insert(k * 0x9E3779B97F4A7C15ull, k);
  auto& t = m.table();
  const std::vector<Loc> order = scan_all(t);
  std::uint64_t groups = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    FunnelScanCursor c;
    auto loc = t.scan_advance(c);
    ASSERT_EQ(loc, order[i]);
    groups += c.groups_read;
    t.extract_finish(*loc);
  }
  FunnelScanCursor c;
  EXPECT_FALSE(t.scan_advance(c));
  // Every group is passed once, plus one reread per entry.
  EXPECT_LE(groups, t.physical_slots() / 16 + 2 * order.size());
  // Insertions move the bound back.
  m.insert(12345, 1);
  EXPECT_EQ(m.pop_first()->key, 12345u);
}

// ---- keys that share a hash, and allocation failures ----------------------

struct AllocPlan {
  long calls = 0;
  long fail_at = -1;
};
struct FailingAllocator {
  AllocPlan* plan = nullptr;
  void* allocate(std::size_t size, std::size_t align) {
    if (plan != nullptr && plan->calls++ == plan->fail_at) throw std::bad_alloc();
    return SystemAllocator().allocate(size, align);
  }
  void deallocate(void* p, std::size_t size, std::size_t align) noexcept {
    SystemAllocator().deallocate(p, size, align);
  }
};
using FailingTable = FunnelTable<CountedKey, CountedValue, std::uint64_t, FailingAllocator>;

class FunnelRebuildFailure : public LiveGuard {
 protected:
  // The table's full contents in scan order, as (id, value, location).
  static std::vector<std::tuple<std::uint64_t, std::uint64_t, Loc>> snapshot(const FailingTable& t) {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, Loc>> out;
    for (Loc l : scan_all(t)) out.emplace_back(t.entry_at(l).key.id(), t.entry_at(l).value.get(), l);
    return out;
  }
  static std::uint64_t word(std::uint64_t id) { return id % 4 == 0 ? SHARED : id; }
};

TEST_F(FunnelRebuildFailure, FailedGrowthKeepsEveryEntry) {
  AllocPlan plan;
  FailingTable t(1000, 0.125, SEED, FailingAllocator{&plan});
  // A quarter of the keys share one hash, so the rebuild needs an overflow
  // area too.
  for (std::uint64_t id = 0; id < t.max_items(); ++id) put(t, id, word(id), id);
  ASSERT_GT(t.overflow_len(), 0u);
  const auto before = snapshot(t);
  const std::uint32_t nominal = t.nominal_capacity();
  long failures = 0;
  for (long k = 0;; ++k) {
    plan.calls = 0;
    plan.fail_at = k;
    try {
      put(t, 1u << 30, 77, 1);
    } catch (const std::bad_alloc&) {
      ++failures;
      ASSERT_EQ(snapshot(t), before) << "allocation " << k;
      ASSERT_EQ(t.nominal_capacity(), nominal);
      ASSERT_EQ(LiveCount::live, 2 * static_cast<long>(before.size()));
      t.check_invariants();
      continue;
    }
    break;
  }
  // Arena, level array, placement array, overflow area.
  EXPECT_EQ(failures, 4);
  EXPECT_EQ(t.nominal_capacity(), 2 * nominal);
  for (std::uint64_t id = 0; id < before.size(); ++id) ASSERT_EQ(t.entry_at(*locate(t, id, word(id))).value.get(), id);
  EXPECT_TRUE(locate(t, 1u << 30, 77));
  t.check_invariants();
}

TEST_F(FunnelRebuildFailure, FailedOverflowGrowthAndCleanUpLoseNothing) {
  AllocPlan plan;
  FailingTable t(1000, 0.125, SEED, FailingAllocator{&plan});
  std::uint64_t id = 0;
  for (; t.overflow_len() != 16; ++id) put(t, id, SHARED, id);
  plan.calls = 0;
  plan.fail_at = 0;
  EXPECT_THROW(put(t, id, SHARED, id), std::bad_alloc);
  EXPECT_EQ(t.len(), id);
  EXPECT_FALSE(locate(t, id, SHARED));
  t.check_invariants();

  // Level 10 holds ids 160..175; the ninth removal would rebuild, and the
  // rebuild cannot get memory: the removal still completes.
  for (std::uint64_t victim = 160; victim < 169; ++victim) {
    plan.calls = 0;
    plan.fail_at = 0;
    auto e = t.remove(*locate(t, victim, SHARED));
    EXPECT_EQ(e.key.id(), victim);
  }
  EXPECT_EQ(t.level(10).tombstones, 9u);
  t.check_invariants();
  plan.fail_at = -1;
  t.remove(*locate(t, 169, SHARED));
  EXPECT_EQ(t.level(10).tombstones, 0u);
  t.check_invariants();
}

template <class R>
class SharedHashKeys : public LiveGuard {};
using SharedHashTables =
    ::testing::Types<FunnelTable<CountedKey, CountedValue>, ElasticTable<CountedKey, CountedValue>>;
TYPED_TEST_SUITE(SharedHashKeys, SharedHashTables);

TYPED_TEST(SharedHashKeys, ManyKeysWithOneHashWordStayCorrectAndSmall) {
  {
    HashMap<CountedKey, CountedValue, TypeParam> m(0, 0.125, SEED);
    for (std::uint64_t id = 0; id < SHARED_KEYS; ++id) ASSERT_FALSE(m.insert(CountedKey(id, SHARED), CountedValue(id)));
    EXPECT_EQ(m.len(), SHARED_KEYS);
    EXPECT_LE(m.capacity(), TypeParam(SHARED_KEYS, 0.125, SEED).capacity());
    m.table().check_invariants();
    for (std::uint64_t id = 0; id < SHARED_KEYS; ++id) {
      const CountedValue* v = m.get(CountedKey(id, SHARED));
      ASSERT_TRUE(v) << id;
      ASSERT_EQ(v->get(), id);
    }
    EXPECT_FALSE(m.get(CountedKey(SHARED_KEYS, SHARED)));
    std::vector<int> seen(SHARED_KEYS, 0);
    auto it = m.iter();
    while (auto kv = it.next()) ++seen[kv->first->id()];
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(SHARED_KEYS));
    for (std::uint64_t id = 0; id < SHARED_KEYS; ++id) {
      auto v = m.remove(CountedKey(id, SHARED));
      ASSERT_TRUE(v) << id;
      ASSERT_EQ(v->get(), id);
    }
    EXPECT_EQ(m.len(), 0u);
    m.table().check_invariants();
  }
}

}  // namespace
}  // namespace brindle
