// Clones: the copy is its source slot for slot, the two change independently
// afterwards, a failing copy leaks nothing, and sharing a seed never leaves a
// clustered layout behind.  Growth rebuilds, which place entries by a shorter
// route, leave the table that inserting them one by one would.

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "probe_count.hpp"
#include "set/hash_set.hpp"
#include "test_support.hpp"

namespace brindle {
namespace {

using namespace test;

constexpr std::uint64_t kShared = 0xC0FFEE;
// Every fifth key shares one hash word: enough of them reach the funnel's
// special array and overflow area.
CountedKey key(std::uint64_t k) { return CountedKey(k, k % 5 == 0 ? kShared : k); }

using CountedEntry = SlotEntry<CountedKey, CountedValue>;

// Copies counted entries; the call numbered `fail_at` (from 0) throws instead.
struct CopyCounted {
  long calls = 0, fail_at = -1;
  void operator()(const CountedEntry& e, CountedEntry* dst) {
    if (calls++ == fail_at) throw std::runtime_error("copy refused");
    ::new (static_cast<void*>(dst))
        CountedEntry{CountedKey(e.key.id(), key_hash_word(e.key)), CountedValue(e.value.get())};
  }
};

template <class T>
constexpr bool is_funnel = requires(const T& t) {
  t.overflow_len();
};

// Every control byte of every region the table exposes, tombstones included.
template <class T>
std::vector<std::uint8_t> control_bytes(const T& t) {
  std::vector<std::uint8_t> out;
  if constexpr (is_funnel<T>) {
    auto region = [&](std::uint32_t slots, auto at) {
      for (std::uint32_t s = 0; s < slots; ++s) out.push_back(t.control_at(at(s)));
    };
    for (std::uint32_t i = 0; i < t.level_count(); ++i)
      region(t.level(i).slot_count, [i](std::uint32_t s) { return FunnelLocation::in_level(i, s); });
    region(t.special_primary().slot_count, FunnelLocation::in_special_primary);
    region(t.special_secondary().slot_count, FunnelLocation::in_special_secondary);
    region(t.overflow_slots(), FunnelLocation::in_overflow);
  } else {
    for (std::uint32_t i = 0; i < t.levels().size(); ++i)
      for (std::uint32_t s = 0; s < t.levels()[i].slot_count; ++s) out.push_back(t.control_byte({i, s}));
  }
  return out;
}

// Key, value and location of every entry, in scan order.
template <class T>
auto contents(const T& t) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, typename T::Location>> out;
  for (auto loc : scan_all(t)) out.emplace_back(t.entry_at(loc).key.id(), t.entry_at(loc).value.get(), loc);
  return out;
}

template <class Family>
class Clones : public LiveGuard {
 protected:
  using Table = typename Family::template Of<CountedKey, CountedValue>;

  // An empty table, a reserved empty one, a moved-from one, and one grown
  // by insertion with tombstones left by removal (on the funnel table with
  // entries in its special array and overflow area).
  static std::vector<std::pair<std::string, Table>> sources() {
    std::vector<std::pair<std::string, Table>> out;
    out.emplace_back("empty", Table(0, 0.125, 1));
    out.emplace_back("reserved", Table(700, 0.25, 2));
    Table moved(100, 0.125, 3);
    for (std::uint64_t k = 0; k < 50; ++k) put(moved, key(k), CountedValue(k));
    Table sink(std::move(moved));
    out.emplace_back("moved-from", std::move(moved));
    Table t(0, 0.125, 4);
    for (std::uint64_t k = 0; k < 3000; ++k) put(t, key(k), CountedValue(k));
    for (std::uint64_t k = 3; k < 3000; k += 7) t.remove(*locate(t, key(k)));
    out.emplace_back("tombstones", std::move(t));
    return out;
  }
};
TYPED_TEST_SUITE(Clones, TableFamilies);

TYPED_TEST(Clones, AreTheirSourceSlotForSlot) {
  for (auto& [name, t] : TestFixture::sources()) {
    SCOPED_TRACE(name);
    if (name == "tombstones") {
      const auto bytes = control_bytes(t);
      ASSERT_NE(std::count(bytes.begin(), bytes.end(), CTRL_TOMBSTONE), 0);
      if constexpr (is_funnel<decltype(t)>) {
        ASSERT_GT(t.overflow_len(), 0u);
        ASSERT_GT(t.special_len(), 0u);
      }
    }
    const long live = LiveCount::live;
    CopyCounted copy;
    auto c = t.clone(copy);
    EXPECT_EQ(copy.calls, static_cast<long>(t.len()));
    EXPECT_EQ(LiveCount::live - live, 2L * t.len());
    EXPECT_EQ(c.seed(), t.seed());
    EXPECT_EQ(std::tuple(c.len(), c.max_items(), c.nominal_slots(), c.reserve_fraction(), c.heap_bytes()),
              std::tuple(t.len(), t.max_items(), t.nominal_slots(), t.reserve_fraction(), t.heap_bytes()));
    EXPECT_EQ(control_bytes(c), control_bytes(t));
    EXPECT_EQ(contents(c), contents(t));
    for (auto loc : scan_all(t)) ASSERT_EQ(locate(c, t.entry_at(loc).key), loc);
    c.check_invariants();

    // The counters that steer placement came along too: the same removals
    // and insertions, short of any rebuild, put keys in the same slots.
    for (auto* x : {&t, &c}) {
      typename TestFixture::Table::ScanCursor cur;
      while (auto loc = x->scan_advance(cur))
        if (x->entry_at(*loc).key.id() % 11 == 1) x->extract_finish(*loc);
      const std::uint32_t room = std::min<std::uint32_t>(x->max_items() - x->len(), 300);
      for (std::uint64_t k = 10'000; k < 10'000 + room; ++k) put(*x, key(k), CountedValue(k));
    }
    EXPECT_EQ(control_bytes(c), control_bytes(t));
    EXPECT_EQ(contents(c), contents(t));
    t.check_invariants();
    c.check_invariants();
  }
}

TYPED_TEST(Clones, ChangeIndependentlyOfTheirSource) {
  auto sources = TestFixture::sources();
  auto& t = sources.back().second;
  const auto before = contents(t);
  auto c = t.clone(CopyCounted{});
  auto expect_source_untouched = [&] {
    EXPECT_EQ(contents(t), before);
    t.check_invariants();
    c.check_invariants();  // which also finds keys stored under a stale hash
  };
  // Growth comes first, while the clone still shares its source's seed: the
  // key that makes it rebuild is placed afterwards, and must be found at once
  // (a later rebuild would move it where it belongs).
  for (std::uint64_t k = 5000; k < 9000; ++k) {
    put(c, key(k), CountedValue(k));
    ASSERT_TRUE(locate(c, key(k))) << k;
  }
  EXPECT_GT(c.max_items(), t.max_items());
  expect_source_untouched();
  for (std::uint64_t k = 0; k < 9000; k += 2)
    if (auto loc = locate(c, key(k))) c.remove(*loc);
  expect_source_untouched();
  c.reserve(20'000);
  expect_source_untouched();
  c.clear();
  expect_source_untouched();

  auto d = t.clone(CopyCounted{});
  const auto copied = contents(d);
  t.clear();
  for (std::uint64_t k = 0; k < 100; ++k) put(t, key(k), CountedValue(k + 1));
  t.reserve(10'000);
  EXPECT_EQ(contents(d), copied);
  // The same through insert_unique, which the funnel table implements apart.
  const std::uint32_t capacity = d.max_items();
  for (std::uint64_t k = 20'000; d.max_items() == capacity; ++k) {
    d.insert_unique(key(k), CountedValue(k), table_hash(key_hash_word(key(k)), d.seed()));
    ASSERT_TRUE(locate(d, key(k))) << k;
  }
  for (const auto& [id, value, loc] : copied) ASSERT_EQ(d.entry_at(*locate(d, key(id))).value.get(), value);
  d.check_invariants();
  EXPECT_EQ(LiveCount::live, 2L * (t.len() + d.len()));
}

TYPED_TEST(Clones, ThrowingCopyDropsTheCopiesMadeSoFar) {
  auto sources = TestFixture::sources();
  const auto& t = sources.back().second;
  const auto before = contents(t);
  if constexpr (is_funnel<std::remove_cvref_t<decltype(t)>>) {
    ASSERT_EQ(std::get<2>(before.back()).kind, FunnelLocation::Kind::InOverflow);  // copied after the regions
  }
  for (long fail_at : {0L, static_cast<long>(t.len() / 2), static_cast<long>(t.len()) - 1}) {
    CopyCounted copy{0, fail_at};
    EXPECT_THROW(t.clone(copy), std::runtime_error) << fail_at;
    EXPECT_EQ(copy.calls, fail_at + 1);
    EXPECT_EQ(LiveCount::live, 2L * t.len()) << fail_at;
  }
  EXPECT_EQ(contents(t), before);
  t.check_invariants();
}

// ---- a shared seed ----------------------------------------------------------

// A clone hashes like its source, so refilling one from the other's scan
// order hands the table keys sorted by their probe positions.  Misses in
// every table that results must stay within twice those of a table with a
// seed of its own holding the same keys.

// Counts its moves: a step that moves most entries rebuilt the table.
struct Word {
  static inline std::uint64_t moves = 0;
  std::uint64_t v;
  explicit Word(std::uint64_t x) : v(x) {}
  Word(const Word&) = default;
  Word(Word&& o) noexcept : v(o.v) { ++moves; }
  Word& operator=(Word&& o) noexcept {
    v = o.v;
    ++moves;
    return *this;
  }
  friend bool operator==(const Word&, const Word&) = default;
  friend std::uint64_t key_hash_word(const Word& w) { return w.v; }
};

template <class Family>
class SharedSeed : public ::testing::Test {};
TYPED_TEST_SUITE(SharedSeed, TableFamilies);

TYPED_TEST(SharedSeed, NeverLeavesAClusteredLayout) {
  // The elastic table's worst case needs a large churned table at the
  // default reserve fraction; below 2^21 slots it stays under the bound.
#ifdef BRINDLE_SANITIZED
  constexpr std::uint32_t kNominal = 1u << 16;
#else
  constexpr std::uint32_t kNominal = 1u << 21;
#endif
  using Table = typename TypeParam::template Of<Word, Unit>;
  const std::uint64_t n = kNominal / 4 * 3;
  Table m(n, 0.25, 11);
  ASSERT_EQ(m.nominal_slots(), kNominal);
  std::uint64_t next = 0;
  auto fresh_word = [&] { return Word(detail::splitmix64(next++)); };
  auto add = [](Table& t, Word w) { t.insert_unique(w, Unit{}, table_hash(w.v, t.seed())); };
  std::vector<Word> keys;
  while (m.len() + 1 < m.max_items()) add(m, keys.emplace_back(fresh_word()));
  std::vector<Word> absent;
  for (int i = 0; i < 2000; ++i) absent.push_back(fresh_word());

  // Churn at the item limit through one same-capacity rebuild, to learn how
  // far apart they are, and then up to one step short of the next, where
  // the elastic table's levels are densest.
  std::mt19937_64 rng(3);
  auto step = [&] {
    Word& k = keys[rng() % keys.size()];
    const std::uint64_t moves = Word::moves;
    m.remove(*locate(m, k));
    add(m, k = fresh_word());
    return Word::moves - moves > m.len() / 2;
  };
  long cycle = 1;
  while (cycle < kNominal / 8 && !step()) ++cycle;
  for (long i = 1; i < cycle; ++i)
    if (step()) break;

  auto order = [](const Table& t) {
    std::vector<Word> out;
    for (auto loc : scan_all(t)) out.push_back(t.entry_at(loc).key);
    return out;
  };
  auto refill = [&](Table& t, const std::vector<Word>& from) {
    for (const Word& w : from) add(t, w);
  };
  auto miss_groups = [&](const Table& t) {
    std::uint64_t groups = 0;
    for (const Word& w : absent) {
      const ProbeCount p = probe_groups(t, w, table_hash(w.v, t.seed()));
      EXPECT_FALSE(p.found);
      groups += p.groups;
    }
    for (std::size_t i = 0; i < keys.size(); i += keys.size() / 64)
      EXPECT_TRUE(probe_groups(t, keys[i], table_hash(keys[i].v, t.seed())).found);
    return static_cast<double>(groups) / absent.size();
  };
  // A clone's scan order is its source's: every table below is refilled
  // from it.
  const std::vector<Word> source_order = order(m);
  Table own(n, 0.25, 12);
  refill(own, source_order);
  const double base = miss_groups(own);
  auto copy = [](const auto& e, auto* dst) { ::new (static_cast<void*>(dst)) SlotEntry<Word, Unit>(e); };
  Table c = m.clone(copy);
  Table d = c.clone(copy);
  ASSERT_EQ(d.seed(), m.seed());

  c.clear();
  refill(c, source_order);
  EXPECT_LE(miss_groups(c) / base, 2.0) << "clone cleared, base " << base;

  // Emptied the way popitem does, which never rebuilds: the elastic table
  // rebuilds early in the refill instead, its churn allowance being spent.
  typename Table::ScanCursor cursor;
  while (auto loc = d.scan_advance(cursor)) d.extract_finish(*loc);
  refill(d, source_order);
  EXPECT_LE(miss_groups(d) / base, 2.0) << "clone emptied by extraction, base " << base;

  m.clear();
  refill(m, source_order);
  EXPECT_LE(miss_groups(m) / base, 2.0) << "source cleared, base " << base;

  c.reserve(c.max_items());
  own.reserve(own.max_items());
  EXPECT_LE(miss_groups(c) / miss_groups(own), 2.0) << "clone grown";
  for (const Table* t : {&m, &c, &d}) t->check_invariants();
}

// Placement state beyond the slots: per-level counters and the plan position.
template <class T>
auto placement_state(const T& t) {
  std::vector<std::uint64_t> out;
  if constexpr (is_funnel<T>) {
    for (std::uint32_t i = 0; i < t.level_count(); ++i) out.insert(out.end(), {t.level(i).len, t.level(i).tombstones});
    out.insert(out.end(), {t.special_len(), t.overflow_len(), t.max_populated_level(), t.scan_floor()});
  } else {
    for (const ElasticLevel& lv : t.levels()) out.insert(out.end(), {lv.len, lv.tombstones, lv.max_probe_groups});
    out.insert(out.end(), {t.batch_index(), t.batch_remaining(), t.max_populated_level()});
  }
  return out;
}

template <class Family>
class GrowthRebuilds : public LiveGuard {};
TYPED_TEST_SUITE(GrowthRebuilds, TableFamilies);

// A rebuild to twice the capacity against an empty table of that capacity
// filled with the same entries, in the same order, by insert_unique.  Both
// must agree slot for slot, in their counters, in what lookups load, and in
// where the next keys go.
TYPED_TEST(GrowthRebuilds, LeaveTheTableThatInsertionWould) {
  using Table = typename TypeParam::template Of<CountedKey, CountedValue>;
  for (const double delta : {0.5, 0.25, 0.1, 0.01}) {
    for (const std::uint64_t n : {40u, 3000u}) {
      SCOPED_TRACE(::testing::Message() << "delta=" << delta << " n=" << n);
      Table grown(0, delta, 11);
      for (std::uint64_t k = 0; k < n; ++k) put(grown, key(k), CountedValue(k));
      for (std::uint64_t k = 2; k < n; k += 9) grown.remove(*locate(grown, key(k)));
      const std::uint32_t c = grown.nominal_slots() * 2;
      Table inserted(0, delta, grown.seed());
      inserted.resize(c);
      for (auto loc : scan_all(grown)) {
        const CountedKey& k = grown.entry_at(loc).key;
        inserted.insert_unique(key(k.id()), CountedValue(k.id()), table_hash(key_hash_word(k), inserted.seed()));
      }
      grown.resize(c);
      ASSERT_EQ(grown.seed(), inserted.seed());
      auto same = [&] {
        EXPECT_EQ(control_bytes(grown), control_bytes(inserted));
        EXPECT_EQ(contents(grown), contents(inserted));
        EXPECT_EQ(placement_state(grown), placement_state(inserted));
        for (std::uint64_t k = 0; k < 2 * n; ++k) {
          const CountedKey probe = key(k);
          const std::uint64_t h = table_hash(key_hash_word(probe), grown.seed());
          ASSERT_EQ(probe_groups(grown, probe, h).groups, probe_groups(inserted, probe, h).groups) << k;
        }
        grown.check_invariants();
      };
      same();
      for (std::uint64_t k = n; k < n + 200; ++k)
        for (Table* t : {&grown, &inserted}) put(*t, key(k), CountedValue(k));
      same();
    }
  }
}

}  // namespace
}  // namespace brindle
