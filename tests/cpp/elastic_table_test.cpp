// Churn at the elastic table's item limit; what it shares with the funnel
// table is tested over both in hash_map_test.cpp.

#include <random>

#include "test_support.hpp"

namespace brindle {
namespace {

using namespace test;

// Counts its own moves: a rebuild moves every entry, so moves per operation
// show what churn costs without asking the table.
struct MoveCountedKey {
  static inline std::uint64_t moves = 0;
  std::uint64_t id;
  explicit MoveCountedKey(std::uint64_t i) : id(i) {}
  MoveCountedKey(MoveCountedKey&& o) noexcept : id(o.id) { ++moves; }
  MoveCountedKey& operator=(MoveCountedKey&& o) noexcept {
    id = o.id;
    ++moves;
    return *this;
  }
  friend bool operator==(const MoveCountedKey&, const MoveCountedKey&) = default;
  friend std::uint64_t key_hash_word(const MoveCountedKey& k) { return k.id; }
};

// Steady churn at the item limit: remove a key, insert a new one.  Same-
// capacity rebuilds keep this going; between them misses must stay within
// twice their cost right after the rebuild, and the rebuilds must stay rare
// enough that churn moves at most 1,024 entries per step.
class ElasticChurn : public ::testing::TestWithParam<std::tuple<double, int>> {};

TEST_P(ElasticChurn, MissesAndMovesStayBounded) {
#ifdef BRINDLE_SANITIZED
  constexpr int kCycles = 2;
#else
  constexpr int kCycles = 4;
#endif
  using Table = ElasticTable<MoveCountedKey, Unit>;
  const auto [delta, log2_capacity] = GetParam();
  const std::uint32_t nominal = 1u << log2_capacity;
  Table t(max_items_for(nominal, delta), delta, 18);
  ASSERT_EQ(t.nominal_slots(), nominal);
  const std::uint32_t cap = t.max_items();
  // splitmix64 is a bijection: distinct counters give distinct keys.
  std::uint64_t next_id = 0;
  auto fresh = [&] { return detail::splitmix64(next_id++); };
  std::vector<std::uint64_t> keys;
  while (t.len() < cap - 1) put(t, MoveCountedKey(keys.emplace_back(fresh())));
  std::vector<MoveCountedKey> absent;
  for (std::uint64_t i = 0; i < 128; ++i) absent.emplace_back(detail::splitmix64((std::uint64_t{1} << 40) + i));
  auto miss_groups = [&] {
    std::uint64_t groups = 0;
    for (const MoveCountedKey& k : absent) {
      const std::uint64_t h = table_hash(k.id, t.seed());
      groups += t.probe_groups_for(k, h, tag_of(h));
    }
    return static_cast<double>(groups) / absent.size();
  };

  std::mt19937_64 rng(123);
  // Returns whether the step rebuilt the table, which moves every entry.
  auto step = [&] {
    std::uint64_t& k = keys[rng() % keys.size()];
    const std::uint64_t before = MoveCountedKey::moves;
    t.remove(locate(t, MoveCountedKey(k)).value());
    put(t, MoveCountedKey(k = fresh()));
    return MoveCountedKey::moves - before > t.len() / 2;
  };
  long first_cycle = 1;
  for (; !step(); ++first_cycle) ASSERT_LT(first_cycle, nominal) << "churn never rebuilt";

  const long steps = kCycles * first_cycle, every = std::max(1L, first_cycle / 16);
  const std::uint64_t moves_before = MoveCountedKey::moves;
  double base = miss_groups(), cycle_sum = 0;
  int cycle_samples = 0, rebuilds = 0;
  auto cycle_mean = [&] { return cycle_samples == 0 ? 0.0 : cycle_sum / cycle_samples; };
  for (long i = 1; i <= steps; ++i) {
    if (step()) {
      ++rebuilds;
      ASSERT_LE(cycle_mean(), 2.0) << "cycle " << rebuilds << ", base " << base;
      base = miss_groups(), cycle_sum = 0, cycle_samples = 0;
    } else if (i % every == 0) {
      const double ratio = miss_groups() / base;
      ASSERT_LE(ratio, 4.0) << "step " << i << ", base " << base;
      cycle_sum += ratio, ++cycle_samples;
    }
  }
  EXPECT_LE(cycle_mean(), 2.0) << "last cycle, base " << base;
  EXPECT_GE(rebuilds, kCycles - 1);
  EXPECT_LE(static_cast<double>(MoveCountedKey::moves - moves_before) / steps, 1024.0);
  EXPECT_EQ(t.max_items(), cap);
  EXPECT_EQ(t.len(), cap - 1);
  t.check_invariants();
}

INSTANTIATE_TEST_SUITE_P(Fractions, ElasticChurn,
                         ::testing::Values(std::tuple(0.25, 12), std::tuple(0.25, 16), std::tuple(0.1, 12),
                                           std::tuple(0.1, 16), std::tuple(0.01, 12), std::tuple(0.01, 16),
                                           std::tuple(0.001, 16), std::tuple(0.001, 20)));

}  // namespace
}  // namespace brindle
