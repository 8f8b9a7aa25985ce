// Randomized differential test: every raw table, driven through HashMap by a
// long random mix of operations, must agree with std::unordered_map at every
// step, keep its invariants, and destroy each key and value exactly once.

#include <random>
#include <string>
#include <unordered_map>

#include "test_support.hpp"

namespace brindle {
namespace {

using namespace test;

#ifdef BRINDLE_SANITIZED
constexpr std::uint32_t kOpsPerRun = 10'000;
#else
constexpr std::uint32_t kOpsPerRun = 30'000;
#endif

enum class Collisions { none, one_word, clustered };

std::uint64_t hash_word_of(Collisions mode, std::uint64_t id) {
  if (mode == Collisions::one_word) return id < 400 ? 0xABCDEF : id;  // hundreds of keys share one word
  return mode == Collisions::clustered ? id / 256 : id;               // runs of 256 ids share a word
}

template <class Family>
class Differential : public LiveGuard {
 protected:
  using Table = typename Family::template Of<CountedKey, CountedValue>;
  using Map = HashMap<CountedKey, CountedValue, Table>;
  using Model = std::unordered_map<std::uint64_t, std::uint64_t>;

  // Iteration yields exactly the model's entries, each once.
  static void check_same(const Map& m, Model left) {
    ASSERT_EQ(m.len(), left.size());
    ASSERT_GE(m.max_items(), m.len());
    ASSERT_EQ(LiveCount::live, 2 * static_cast<long>(left.size()));
    m.for_each([&](const CountedKey& k, const CountedValue& v) {
      auto found = left.find(k.id());
      ASSERT_TRUE(found != left.end() && found->second == v.get()) << "stray or repeated key " << k.id();
      left.erase(found);
    });
    ASSERT_TRUE(left.empty());
    m.table().check_invariants();
  }

  static void run_one(std::uint64_t seed, double delta, Collisions mode, std::uint64_t key_space,
                      std::uint64_t initial_capacity) {
    std::mt19937_64 rng(seed);
    auto pick = [&](std::uint64_t n) { return rng() % n; };
    auto key = [&](std::uint64_t id) { return CountedKey(id, hash_word_of(mode, id)); };
    Map m(initial_capacity, delta, seed * 0x9E3779B97F4A7C15ull);
    Model model;
    std::uint64_t next_value = 1;  // so that 0 can stand for "absent"
    auto expected = [&](std::uint64_t id) -> std::uint64_t {
      auto it = model.find(id);
      return it == model.end() ? 0 : it->second;
    };

    for (std::uint32_t op = 0; op < kOpsPerRun; ++op) {
      const std::uint64_t id = pick(key_space);
      const std::uint64_t roll = pick(1000);
      if (roll < 330) {  // insert or replace
        auto old = m.insert(key(id), CountedValue(next_value));
        ASSERT_EQ(old ? old->get() : 0, expected(id)) << "op " << op;
        model[id] = next_value++;
      } else if (roll < 380) {  // insert without lookup, for an absent key
        if (!model.count(id)) {
          m.insert_unique(key(id), CountedValue(next_value));
          model.emplace(id, next_value++);
        }
      } else if (roll < 600) {  // lookup
        const CountedValue* v = m.get(key(id));
        ASSERT_EQ(v ? v->get() : 0, expected(id)) << "op " << op << " id " << id;
      } else if (roll < 880) {  // remove
        auto v = m.remove(key(id));
        ASSERT_EQ(v ? v->get() : 0, expected(id)) << "op " << op << " id " << id;
        model.erase(id);
      } else if (roll < 950) {  // pop the first entry in scan order
        auto kv = m.iter().next();
        const std::uint64_t first = kv ? kv->first->id() : ~std::uint64_t{0};
        auto e = m.pop_first();
        ASSERT_EQ(e ? e->key.id() : ~std::uint64_t{0}, first);
        ASSERT_EQ(e ? e->value.get() : 0, expected(first));
        model.erase(first);
      } else if (roll < 970) {  // extract a few matching entries, then stop
        const std::uint64_t r = pick(4);
        std::uint64_t limit = pick(8);
        auto ex = m.extract_if([r](const CountedKey& k, CountedValue&) { return k.id() % 4 == r; });
        while (limit-- > 0) {
          auto e = ex.next();
          if (!e) break;
          ASSERT_EQ(e->key.id() % 4, r);
          ASSERT_EQ(e->value.get(), expected(e->key.id()));
          model.erase(e->key.id());
        }
      } else if (roll < 975) {  // retain, changing the survivors' values
        const std::uint64_t r = pick(5);
        m.retain([r](const CountedKey& k, CountedValue& v) {
          v = CountedValue(v.get() + 1);
          return k.id() % 5 != r;
        });
        std::erase_if(model, [r](const auto& kv) { return kv.first % 5 == r; });
        for (auto& kv : model) ++kv.second;
      } else if (roll < 990) {  // reserve
        const std::uint32_t cap = m.max_items();
        const std::uint64_t more = pick(3000);
        m.reserve(more);
        ASSERT_GE(m.max_items(), std::min<std::uint64_t>(m.len() + more, UINT32_MAX));
        if (m.len() + more <= cap) {
          ASSERT_EQ(m.max_items(), cap);
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

// 36 runs of every collision mode over six reserve fractions, two key spaces
// and three starting capacities.
TYPED_TEST(Differential, AgreesWithUnorderedMap) {
  std::uint64_t seed = 1;
  for (double delta : {0.25, 0.1, 0.5, 0.01, 0.9, 0.000001})
    for (Collisions mode : {Collisions::none, Collisions::one_word, Collisions::clustered})
      for (std::uint64_t key_space : {600u, 5000u}) {
        const std::uint64_t s = seed++;
        SCOPED_TRACE("seed " + std::to_string(s) + ", delta " + std::to_string(delta) + ", collisions " +
                     std::to_string(static_cast<int>(mode)) + ", keys " + std::to_string(key_space));
        TestFixture::run_one(s, delta, mode, key_space, s % 3 == 0 ? 0 : s % 3 == 1 ? 100 : 4000);
        if (::testing::Test::HasFatalFailure()) return;
        ASSERT_EQ(LiveCount::live, 0);
      }
}

}  // namespace
}  // namespace brindle
