#pragma once
// Key hashing shared by both tables: the cached hash word of a key, folded
// with a process-wide seed and a per-table seed into the 64-bit table hash.

#include <atomic>
#include <bit>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <random>

#include "../common/inline.hpp"

namespace brindle {

// Keys expose their cached hash as an unsigned word through key_hash_word,
// found by argument-dependent lookup.  Integers hash to themselves.
template <std::integral T>
constexpr std::uint64_t key_hash_word(T v) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(v));
}

template <class K>
concept TableKey = std::movable<K> && requires(const K& a, const K& b) {
  { key_hash_word(a) } -> std::convertible_to<std::uint64_t>;
  { a == b } -> std::convertible_to<bool>;
};

// The four 32x32 partial products are combined by XOR; this is not the fold of
// a 128-bit product, and must not be "simplified" into one.
constexpr std::uint64_t folded_multiply(std::uint64_t x, std::uint64_t y) noexcept {
  const std::uint64_t lx = x & 0xFFFFFFFFu, hx = x >> 32;
  const std::uint64_t ly = y & 0xFFFFFFFFu, hy = y >> 32;
  const std::uint64_t ll = lx * ly, hh = hx * hy, lh = lx * hy, hl = hx * ly;
  return (hh ^ ll) ^ std::rotl(hl ^ lh, 32);
}

constexpr std::uint8_t tag_of(std::uint64_t h) noexcept {
  const auto t = static_cast<std::uint8_t>(h >> 57);
  return t == 0 ? 1 : t;
}

namespace detail {
constexpr std::uint64_t splitmix64(std::uint64_t z) noexcept {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

inline std::uint64_t random_word() {
  std::random_device rd;
  std::uint64_t v = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  // random_device may be deterministic on some platforms; mix in the clock.
  v ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return splitmix64(v);
}
}  // namespace detail

// Drawn once per process; the local static makes concurrent first use safe.
BRINDLE_INLINE std::uint64_t fold_seed() {
  static const std::uint64_t seed = detail::random_word();
  return seed;
}

// Every call gives a different seed: splitmix64 is a bijection, so distinct
// counter values give distinct outputs.
inline std::uint64_t next_table_seed() {
  static const std::uint64_t base = detail::random_word();
  static std::atomic<std::uint64_t> counter{0};
  return detail::splitmix64(base + counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull);
}

// A table's seed.  A clone copies its source's slots as they are, so it
// starts with the same seed.  Refilling one of the two from the other's scan
// order then hands its placement keys sorted by their positions, which
// clusters them (in the elastic table misses then cost over twice a fresh
// table's), so whichever is cleared or rebuilt first draws a fresh seed.
// Atomic because a clone is made from a const table, beside other readers.
template <class S>
class TableSeed {
 public:
  explicit TableSeed(S seed) noexcept : seed_(seed) {}
  TableSeed(const TableSeed&) = delete;
  TableSeed& operator=(const TableSeed&) = delete;
  TableSeed(TableSeed&& o) noexcept : seed_(o.seed_), shared_(o.shared_.load(std::memory_order_relaxed)) {}
  TableSeed& operator=(TableSeed&& o) noexcept {
    seed_ = o.seed_;
    shared_.store(o.shared_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return *this;
  }

  S get() const noexcept { return seed_; }
  // The seed of a new clone; from now on the two share it.
  TableSeed share() const noexcept {
    shared_.store(true, std::memory_order_relaxed);
    TableSeed clone(seed_);
    clone.shared_.store(true, std::memory_order_relaxed);
    return clone;
  }
  // What a rebuild hashes every key with: a shared seed costs nothing to give
  // up then.
  S for_rebuild() const { return shared_.load(std::memory_order_relaxed) ? static_cast<S>(next_table_seed()) : seed_; }
  void rebuilt_with(S seed) noexcept {
    seed_ = seed;
    shared_.store(false, std::memory_order_relaxed);
  }
  void cleared() {
    if (shared_.exchange(false, std::memory_order_relaxed)) seed_ = static_cast<S>(next_table_seed());
  }

 private:
  S seed_;
  mutable std::atomic<bool> shared_{false};
};

constexpr std::uint64_t table_hash_of(std::uint64_t hash_word, std::uint64_t per_table_seed,
                                      std::uint64_t fold) noexcept {
  return folded_multiply(per_table_seed ^ hash_word, fold);
}

BRINDLE_INLINE std::uint64_t table_hash(std::uint64_t hash_word, std::uint64_t per_table_seed) {
  return table_hash_of(hash_word, per_table_seed, fold_seed());
}

}  // namespace brindle
