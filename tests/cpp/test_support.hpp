#pragma once
// Shared by the table tests (and included by each for its gtest, table and
// container headers): keys and values that count live objects (so a
// test can prove every entry is destroyed exactly once) and carry an explicit
// hash word (so tests can make keys collide), an allocator that fails on
// demand, lookup helpers, and the table families the generic tests run over.

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "elastic/elastic_table.hpp"
#include "funnel/funnel_table.hpp"
#include "map/hash_map.hpp"

namespace brindle::test {

struct LiveCount {
  static inline long live = 0;
  LiveCount() noexcept { ++live; }
  LiveCount(const LiveCount&) noexcept { ++live; }
  LiveCount& operator=(const LiveCount&) noexcept = default;
  ~LiveCount() { --live; }
};

// Move-only: equal when ids are equal, hashed by an explicit word.
class CountedKey : LiveCount {
 public:
  CountedKey(std::uint64_t id, std::uint64_t hash) : id_(id), hash_(hash) {}
  explicit CountedKey(std::uint64_t id) : CountedKey(id, id) {}
  CountedKey(CountedKey&&) noexcept = default;
  CountedKey& operator=(CountedKey&&) noexcept = default;
  std::uint64_t id() const { return id_; }
  friend bool operator==(const CountedKey& a, const CountedKey& b) { return a.id_ == b.id_; }
  friend std::uint64_t key_hash_word(const CountedKey& k) { return k.hash_; }

 private:
  std::uint64_t id_, hash_;
};

class CountedValue : LiveCount {
 public:
  explicit CountedValue(std::uint64_t v = 0) : v_(v) {}
  CountedValue(CountedValue&&) noexcept = default;
  CountedValue& operator=(CountedValue&&) noexcept = default;
  std::uint64_t get() const { return v_; }

 private:
  std::uint64_t v_;
};

// After arm(n), the allocation numbered n (from 0) throws; all others succeed.
struct FailingAllocator {
  static inline long calls = 0, fail_at = -1;
  static void arm(long n) { calls = 0, fail_at = n; }
  void* allocate(std::size_t size, std::size_t align) {
    if (calls++ == fail_at) throw std::bad_alloc();
    return SystemAllocator().allocate(size, align);
  }
  void deallocate(void* p, std::size_t n, std::size_t a) noexcept { SystemAllocator().deallocate(p, n, a); }
  friend bool operator==(const FailingAllocator&, const FailingAllocator&) = default;
};

template <class T, class K>
std::optional<typename T::Location> locate(const T& t, const K& key) {
  const std::uint64_t h = table_hash(key_hash_word(key), t.seed());
  return t.find(key, h, tag_of(h));
}
template <class T, class K, class V = typename T::mapped_type>
std::optional<V> put(T& t, K key, V value = V()) {
  const std::uint64_t h = table_hash(key_hash_word(key), t.seed());
  return t.insert(std::move(key), std::move(value), h);
}
template <class T>
std::vector<typename T::Location> scan_all(const T& t) {
  std::vector<typename T::Location> out;
  typename T::ScanCursor c;
  while (auto loc = t.scan_advance(c)) out.push_back(*loc);
  return out;
}

template <template <class, class, class, class> class Table>
struct TableFamily {
  template <class K, class V, class A = SystemAllocator>
  using Of = Table<K, V, std::uint64_t, A>;
};
using TableFamilies = ::testing::Types<TableFamily<ElasticTable>, TableFamily<FunnelTable>>;

// Checks that the test left no key or value alive.
class LiveGuard : public ::testing::Test {
 protected:
  LiveGuard() { LiveCount::live = 0; }
  ~LiveGuard() override { EXPECT_EQ(LiveCount::live, 0); }
};

}  // namespace brindle::test
