// Repeats one workload on one container, for callgrind.  Setup runs outside
// run_workload, so `--toggle-collect=*run_workload*` counts only the
// operations themselves:
//
//   valgrind --tool=callgrind --branch-sim=yes --cache-sim=yes
//     --toggle-collect='*run_workload*' build/bench/brindle_profile hit elastic 100000 0.25 10
//
// (one command line).
//
// Divide the reported totals by N * reps for the cost of one operation.

#include <absl/container/flat_hash_map.h>
#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "elastic/elastic_table.hpp"
#include "funnel/funnel_table.hpp"
#include "map/hash_map.hpp"

namespace {

using Key = std::uint64_t;

struct FoldedHash {
  using is_avalanching = std::true_type;
  std::size_t operator()(Key k) const noexcept { return brindle::table_hash(brindle::key_hash_word(k), 1); }
};

constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

template <class Table>
struct Ours {
  brindle::HashMap<Key, Key, Table> m;
  Ours(std::size_t, double delta) : m(0, delta, 7) {}
  void insert(Key k) { m.insert(k, k); }
  bool has(Key k) const { return m.get(k) != nullptr; }
};

template <class Map>
struct Theirs {
  Map m;
  Theirs(std::size_t, double) {}
  void insert(Key k) { m.try_emplace(k, k); }
  bool has(Key k) const { return m.find(k) != m.end(); }
};

template <class C>
[[gnu::noinline]] std::size_t run_workload(const std::string& what, C& c, const std::vector<Key>& keys, std::size_t n,
                                           double delta, int reps) {
  std::size_t found = 0;
  for (int r = 0; r < reps; ++r) {
    if (what == "insert") {
      C fresh(n, delta);
      for (std::size_t i = 0; i < n; ++i) fresh.insert(keys[i]);
      found += fresh.has(keys[0]);
    } else {
      const std::size_t from = what == "miss" ? n : 0;
      for (std::size_t i = 0; i < n; ++i) found += c.has(keys[from + i]);
    }
  }
  return found;
}

template <class C>
int run(const std::string& what, std::size_t n, double delta, int reps) {
  std::vector<Key> keys(2 * n);
  for (std::size_t i = 0; i < 2 * n; ++i) keys[i] = mix64(i);
  C c(n, delta);
  if (what != "insert")
    for (std::size_t i = 0; i < n; ++i) c.insert(keys[i]);
  std::printf("%zu\n", run_workload(what, c, keys, n, delta, reps));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s insert|hit|miss elastic|funnel|boost|absl N delta reps\n", argv[0]);
    return 2;
  }
  const std::string what = argv[1], table = argv[2];
  const std::size_t n = std::strtoull(argv[3], nullptr, 10);
  const double delta = std::strtod(argv[4], nullptr);
  const int reps = std::atoi(argv[5]);
  using ElasticMap = Ours<brindle::ElasticTable<Key, Key>>;
  using FunnelMap = Ours<brindle::FunnelTable<Key, Key>>;
  if (table == "elastic") return run<ElasticMap>(what, n, delta, reps);
  if (table == "funnel") return run<FunnelMap>(what, n, delta, reps);
  if (table == "boost") return run<Theirs<boost::unordered_flat_map<Key, Key, FoldedHash>>>(what, n, delta, reps);
  if (table == "absl") return run<Theirs<absl::flat_hash_map<Key, Key, FoldedHash>>>(what, n, delta, reps);
  std::fprintf(stderr, "unknown container %s\n", table.c_str());
  return 2;
}
