// Randomized differential test: every raw table, driven through HashMap by a
// long random mix of operations, must agree with std::unordered_map at every
// step, keep its invariants, and destroy each key and value exactly once.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "map/hash_map.hpp"
#include "table_families.hpp"
#include "test_support.hpp"

namespace brindle {
namespace {

using test::CountedKey;
using test::CountedValue;
using test::LiveCount;

using test::TableFamilies;

#ifdef BRINDLE_SANITIZED
constexpr std::uint32_t kOpsPerRun = 10'000;
#else
constexpr std::uint32_t kOpsPerRun = 30'000;
#endif

enum class Collisions {
  none,       // hash word = id
  one_word,   // the first 400 ids share one hash word
  clustered,  // every run of 256 consecutive ids shares a hash word
};

struct RunConfig {
  std::uint64_t seed;
  double delta;
  Collisions collisions;
  std::uint64_t key_space;
  std::uint64_t initial_capacity;
};

std::vector<RunConfig> runs() {
  std::vector<RunConfig> out;
  const double deltas[] = {0.25, 0.1, 0.5, 0.01, 0.9, 0.000001};
  const Collisions modes[] = {Collisions::none, Collisions::one_word, Collisions::clustered};
  std::uint64_t seed = 1;
  for (double delta : deltas)
    for (Collisions mode : modes)
      for (std::uint64_t key_space : {600u, 5000u}) {
        const std::uint64_t initial = seed % 3 == 0 ? 0 : seed % 3 == 1 ? 100 : 4000;
        out.push_back({seed++, delta, mode, key_space, initial});
      }
  return out;  // 36 runs
}

std::uint64_t hash_word_of(Collisions mode, std::uint64_t id) {
  switch (mode) {
    case Collisions::none:
      return id;
    case Collisions::one_word:
      return id < 400 ? 0xABCDEF : id;
    case Collisions::clustered:
      return id / 256;
  }
  return id;
}

template <class Family>
class Differential : public ::testing::Test {
 protected:
  using Table = typename Family::template Of<CountedKey, CountedValue>;
  using Map = HashMap<CountedKey, CountedValue, Table>;
  using Model = std::unordered_map<std::uint64_t, std::uint64_t>;

  void TearDown() override { EXPECT_EQ(LiveCount::live, 0); }

  static void check_same(const Map& m, const Model& model) {
    ASSERT_EQ(m.len(), model.size());
    ASSERT_GE(m.capacity(), m.len());
    ASSERT_EQ(LiveCount::live, 2 * static_cast<long>(model.size()));
    std::size_t seen = 0;
    auto it = m.iter();
    while (auto kv = it.next()) {
      auto found = model.find(kv->first->id());
      ASSERT_NE(found, model.end()) << "stray key " << kv->first->id();
      ASSERT_EQ(kv->second->get(), found->second);
      ++seen;
    }
    ASSERT_EQ(seen, model.size());
    m.table().check_invariants();
  }

  static void run_one(const RunConfig& run) {
    std::mt19937_64 rng(run.seed);
    auto pick = [&](std::uint64_t n) { return rng() % n; };
    auto key = [&](std::uint64_t id) { return CountedKey(id, hash_word_of(run.collisions, id)); };
    Map m(run.initial_capacity, run.delta, run.seed * 0x9E3779B97F4A7C15ull);
    Model model;
    std::uint64_t next_value = 1;

    for (std::uint32_t op = 0; op < kOpsPerRun; ++op) {
      const std::uint64_t id = pick(run.key_space);
      const std::uint64_t roll = pick(1000);
      if (roll < 330) {  // insert or replace
        const std::uint64_t v = next_value++;
        auto old = m.insert(key(id), CountedValue(v));
        auto it = model.find(id);
        if (it == model.end()) {
          ASSERT_FALSE(old) << "op " << op;
          model.emplace(id, v);
        } else {
          ASSERT_TRUE(old) << "op " << op;
          ASSERT_EQ(old->get(), it->second);
          it->second = v;
        }
      } else if (roll < 380) {  // insert without lookup, for an absent key
        if (!model.count(id)) {
          m.insert_unique(key(id), CountedValue(next_value));
          model.emplace(id, next_value++);
        }
      } else if (roll < 600) {  // lookup
        const CountedValue* v = m.get(key(id));
        auto it = model.find(id);
        ASSERT_EQ(v != nullptr, it != model.end()) << "op " << op << " id " << id;
        if (v) {
          ASSERT_EQ(v->get(), it->second);
        }
      } else if (roll < 880) {  // remove
        auto v = m.remove(key(id));
        auto it = model.find(id);
        ASSERT_EQ(v.has_value(), it != model.end()) << "op " << op << " id " << id;
        if (v) {
          ASSERT_EQ(v->get(), it->second);
          model.erase(it);
        }
      } else if (roll < 950) {  // pop the first entry in scan order
        std::optional<std::uint64_t> first;
        {
          auto it = m.iter();
          if (auto kv = it.next()) first = kv->first->id();
        }
        auto e = m.pop_first();
        ASSERT_EQ(e.has_value(), first.has_value());
        if (e) {
          ASSERT_EQ(e->key.id(), *first);
          ASSERT_EQ(e->value.get(), model.at(*first));
          model.erase(*first);
        }
      } else if (roll < 970) {  // extract a few matching entries, then stop
        const std::uint64_t r = pick(4);
        std::uint64_t limit = pick(8);
        auto ex = m.extract_if([r](const CountedKey& k, CountedValue&) { return k.id() % 4 == r; });
        while (limit-- > 0) {
          auto e = ex.next();
          if (!e) break;
          ASSERT_EQ(e->key.id() % 4, r);
          ASSERT_EQ(model.at(e->key.id()), e->value.get());
          model.erase(e->key.id());
        }
      } else if (roll < 975) {  // retain, changing the survivors' values
        const std::uint64_t r = pick(5);
        m.retain([r](const CountedKey& k, CountedValue& v) {
          v = CountedValue(v.get() + 1);
          return k.id() % 5 != r;
        });
        for (auto it = model.begin(); it != model.end();) {
          if (it->first % 5 == r) {
            it = model.erase(it);
          } else {
            ++it->second;
            ++it;
          }
        }
      } else if (roll < 990) {  // reserve
        const std::uint32_t cap = m.capacity();
        const std::uint64_t more = pick(3000);
        m.reserve(more);
        ASSERT_GE(m.capacity(), std::min<std::uint64_t>(m.len() + more, UINT32_MAX));
        if (m.len() + more <= cap) {
          ASSERT_EQ(m.capacity(), cap);
        }
      } else if (roll < 992) {
        m.clear();
        model.clear();
      } else {
        check_same(m, model);
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
    check_same(m, model);
  }
};
TYPED_TEST_SUITE(Differential, TableFamilies);

TYPED_TEST(Differential, AgreesWithUnorderedMap) {
  for (const RunConfig& run : runs()) {
    SCOPED_TRACE("seed " + std::to_string(run.seed) + ", delta " + std::to_string(run.delta) + ", collisions " +
                 std::to_string(static_cast<int>(run.collisions)) + ", keys " + std::to_string(run.key_space));
    TestFixture::run_one(run);
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_EQ(LiveCount::live, 0);
  }
}

}  // namespace
}  // namespace brindle
