// Our two tables against std::unordered_map, absl::flat_hash_map and
// boost::unordered_flat_map on 64-bit integer keys whose hash word is the key.
//
// Every container hashes with the same folded multiply our tables use, so the
// comparison is of table layouts and probing, not of hash functions.  Keys are
// distinct pseudo-random words; lookups visit them in a shuffled order so that
// node-based containers get no locality from allocation order.
//
// Benchmark names are workload/container/N; the scripts/bench-cpp.sh --quick
// filter keeps N = 1000 and 100000.

#include <benchmark/benchmark.h>

#include <absl/container/flat_hash_map.h>
#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "elastic/elastic_table.hpp"
#include "funnel/funnel_table.hpp"
#include "map/hash_map.hpp"

namespace {

using Key = std::uint64_t;
using Value = std::uint64_t;

// Fixed so that runs are comparable; the tables draw their own at random.
constexpr std::uint64_t BASELINE_SEED = 0x243F6A8885A308D3ull;
constexpr std::uint64_t TABLE_SEED = 0x13198A2E03707344ull;

// The hash our tables compute, offered to the baselines.
struct FoldedHash {
  // Tells boost the result is already well mixed, as it is for our tables.
  using is_avalanching = std::true_type;
  std::size_t operator()(Key k) const noexcept { return brindle::table_hash(brindle::key_hash_word(k), BASELINE_SEED); }
};

constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

struct KeySet {
  std::vector<Key> present;   // insertion order
  std::vector<Key> shuffled;  // the same keys, in lookup order
  std::vector<Key> absent;    // never inserted
};

// mix64 is a bijection, so the words of distinct counters are distinct and
// the absent keys can never collide with the present ones.
const KeySet& keys_for(std::size_t n) {
  static std::map<std::size_t, std::unique_ptr<KeySet>> cache;
  auto& slot = cache[n];
  if (!slot) {
    slot = std::make_unique<KeySet>();
    for (std::size_t i = 0; i < n; ++i) slot->present.push_back(mix64(i));
    for (std::size_t i = 0; i < n; ++i) slot->absent.push_back(mix64(n + i));
    slot->shuffled = slot->present;
    std::mt19937_64 rng(n);
    std::shuffle(slot->shuffled.begin(), slot->shuffled.end(), rng);
    std::shuffle(slot->absent.begin(), slot->absent.end(), rng);
  }
  return *slot;
}

// ---- the containers behind one interface ------------------------------------

template <class Map>
struct Baseline {
  using map_type = Map;
  static Map make(double) { return Map(); }
  // Baselines have no item limit to fill to: they get n keys, at whatever
  // load their own growth gives.
  static std::size_t full_count(std::size_t n, double) { return n; }
  static void insert(Map& m, Key k, Value v) { m.try_emplace(k, v); }
  static const Value* find(const Map& m, Key k) {
    auto it = m.find(k);
    return it == m.end() ? nullptr : &it->second;
  }
  static void erase(Map& m, Key k) { m.erase(k); }
};

template <class Table>
struct Ours {
  using map_type = brindle::HashMap<Key, Value, Table>;
  static map_type make(double delta) { return map_type(0, delta, TABLE_SEED); }
  // The item limit of a table made for n items: filling to it leaves the
  // table as full as its reserve fraction allows.
  static std::size_t full_count(std::size_t n, double delta) { return map_type(n, delta, TABLE_SEED).max_items(); }
  static map_type make_for(std::size_t n, double delta) { return map_type(n, delta, TABLE_SEED); }
  static void insert(map_type& m, Key k, Value v) { m.insert(k, v); }
  static const Value* find(const map_type& m, Key k) { return m.get(k); }
  static void erase(map_type& m, Key k) { m.remove(k); }
};

using StdMap = Baseline<std::unordered_map<Key, Value, FoldedHash>>;
using AbslMap = Baseline<absl::flat_hash_map<Key, Value, FoldedHash>>;
using BoostMap = Baseline<boost::unordered_flat_map<Key, Value, FoldedHash>>;
using ElasticT = brindle::ElasticTable<Key, Value, std::uint64_t>;
using FunnelT = brindle::FunnelTable<Key, Value, std::uint64_t>;
using Elastic = Ours<ElasticT>;
using Funnel = Ours<FunnelT>;

// The maps are neither copyable nor, for ours, cheap to copy; every fixture
// is built by inserting, outside the timed region.
template <class C>
typename C::map_type filled(const KeySet& keys, double delta) {
  auto m = C::make(delta);
  for (Key k : keys.present) C::insert(m, k, k);
  return m;
}

// ---- probe groups per lookup ---------------------------------------------------

// Average and maximum groups of control bytes loaded per lookup of `probe`.
// The baselines offer no such count and get no counter.
template <class C, class Map>
void report_probe_groups(benchmark::State& state, const Map& m, const std::vector<Key>& probe) {
  if constexpr (std::is_same_v<C, Elastic> || std::is_same_v<C, Funnel>) {
    std::uint64_t total = 0, most = 0;
    for (Key k : probe) {
      const std::uint64_t h = m.hash_of(k);
      // The tables count the groups their own find loads.
      const std::uint64_t groups = m.table().probe_groups_for(k, h, brindle::tag_of(h));
      total += groups;
      most = std::max(most, groups);
    }
    state.counters["probe_avg"] = static_cast<double>(total) / static_cast<double>(probe.size());
    state.counters["probe_max"] = static_cast<double>(most);
  } else {
    (void)state, (void)m, (void)probe;
  }
}

// ---- workloads ----------------------------------------------------------------

// From an empty container, so growth is part of the cost, as it is for a
// Python dict built key by key.
template <class C>
void bm_insert(benchmark::State& state, double delta) {
  const KeySet& keys = keys_for(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto m = C::make(delta);
    for (Key k : keys.present) C::insert(m, k, k);
    benchmark::DoNotOptimize(m);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.present.size()));
}

template <class C>
void bm_lookup_hit(benchmark::State& state, double delta) {
  const KeySet& keys = keys_for(static_cast<std::size_t>(state.range(0)));
  const auto m = filled<C>(keys, delta);
  for (auto _ : state) {
    Value sum = 0;
    for (Key k : keys.shuffled) sum += *C::find(m, k);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.shuffled.size()));
  report_probe_groups<C>(state, m, keys.shuffled);
}

template <class C>
void bm_lookup_miss(benchmark::State& state, double delta) {
  const KeySet& keys = keys_for(static_cast<std::size_t>(state.range(0)));
  const auto m = filled<C>(keys, delta);
  for (auto _ : state) {
    std::size_t found = 0;
    for (Key k : keys.absent) found += C::find(m, k) != nullptr;
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.absent.size()));
  report_probe_groups<C>(state, m, keys.absent);
}

// Lookups in a table filled to its item limit for capacity N (N to 1.05 N
// keys), the ground the reserve fraction exists for; the baselines hold N
// keys at their own load.  `absent` picks misses.
template <class C>
void bm_full(benchmark::State& state, double delta, bool absent) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const KeySet& keys = keys_for(C::full_count(n, delta));
  auto m = [&] {
    if constexpr (requires { C::make_for(n, delta); }) {
      auto t = C::make_for(n, delta);
      for (Key k : keys.present) C::insert(t, k, k);
      return t;
    } else {
      return filled<C>(keys, delta);
    }
  }();
  const std::vector<Key>& probe = absent ? keys.absent : keys.shuffled;
  for (auto _ : state) {
    std::size_t found = 0;
    for (Key k : probe) found += C::find(m, k) != nullptr;
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(probe.size()));
  report_probe_groups<C>(state, m, probe);
}

template <class C>
void bm_full_hit(benchmark::State& state, double delta) {
  bm_full<C>(state, delta, false);
}

template <class C>
void bm_full_miss(benchmark::State& state, double delta) {
  bm_full<C>(state, delta, true);
}

// Removes every other key, then looks up all N: half hits, half misses over
// a table that now carries tombstones (or has rebuilt itself to shed them).
template <class C>
void bm_erase_half_lookup(benchmark::State& state, double delta) {
  const KeySet& keys = keys_for(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto m = filled<C>(keys, delta);
    state.ResumeTiming();
    for (std::size_t i = 0; i < keys.shuffled.size(); i += 2) C::erase(m, keys.shuffled[i]);
    std::size_t found = 0;
    for (Key k : keys.present) found += C::find(m, k) != nullptr;
    benchmark::DoNotOptimize(found);
    state.PauseTiming();
    // The teardown of a million-entry node map is not what is measured.
    { auto gone = std::move(m); }
    state.ResumeTiming();
  }
  const std::size_t ops = (keys.shuffled.size() + 1) / 2 + keys.present.size();
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(ops));
  auto m = filled<C>(keys, delta);
  for (std::size_t i = 0; i < keys.shuffled.size(); i += 2) C::erase(m, keys.shuffled[i]);
  report_probe_groups<C>(state, m, keys.present);
}

// ---- registration ---------------------------------------------------------------

template <class C>
void register_all(const std::string& label, double delta, bool full) {
  struct Workload {
    const char* name;
    void (*fn)(benchmark::State&, double);
  };
  const Workload workloads[] = {
      {"insert", &bm_insert<C>},           {"lookup_hit", &bm_lookup_hit<C>},
      {"lookup_miss", &bm_lookup_miss<C>}, {"erase_half_lookup", &bm_erase_half_lookup<C>},
      {"full_hit", &bm_full_hit<C>},       {"full_miss", &bm_full_miss<C>},
  };
  for (const Workload& w : workloads) {
    if (std::string(w.name).starts_with("full") != full) continue;
    const std::string name = std::string(w.name) + "/" + label;
    benchmark::RegisterBenchmark(name.c_str(), w.fn, delta)
        ->Arg(1000)
        ->Arg(100000)
        ->Arg(1000000)
        ->Unit(benchmark::kMicrosecond);
  }
}

std::string delta_label(double d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", d);
  return buf;
}

void register_everything() {
  for (bool full : {false, true}) {
    if (!full) register_all<StdMap>("std_unordered", 0, full);
    if (!full) register_all<AbslMap>("absl_flat", 0, full);
    register_all<BoostMap>("boost_flat", 0, full);
    for (double d : {0.25, 0.1, 0.01})
      if (!full || d == 0.01) register_all<Elastic>("elastic_d" + delta_label(d), d, full);
    for (double d : {0.125, 0.01, 0.001})
      if (!full || d == 0.01) register_all<Funnel>("funnel_d" + delta_label(d), d, full);
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_everything();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
