#pragma once
// Key and value types for table tests: they count live objects so a test can
// prove that every entry is destroyed exactly once, and keys carry an explicit
// hash word so tests can make keys collide on purpose.

#include <cstdint>
#include <utility>

#include "map/hash.hpp"

namespace brindle::test {

struct LiveCount {
  static inline long live = 0;
};

// A move-only key: equal when ids are equal, hashed by an explicit word.
class CountedKey {
 public:
  CountedKey(std::uint64_t id, std::uint64_t hash) : id_(id), hash_(hash) { ++LiveCount::live; }
  explicit CountedKey(std::uint64_t id) : CountedKey(id, id) {}
  CountedKey(CountedKey&& o) noexcept : id_(o.id_), hash_(o.hash_) { ++LiveCount::live; }
  CountedKey& operator=(CountedKey&& o) noexcept {
    id_ = o.id_;
    hash_ = o.hash_;
    return *this;
  }
  CountedKey(const CountedKey&) = delete;
  CountedKey& operator=(const CountedKey&) = delete;
  ~CountedKey() { --LiveCount::live; }

  std::uint64_t id() const { return id_; }
  friend bool operator==(const CountedKey& a, const CountedKey& b) { return a.id_ == b.id_; }
  friend std::uint64_t key_hash_word(const CountedKey& k) { return k.hash_; }

 private:
  std::uint64_t id_;
  std::uint64_t hash_;
};

class CountedValue {
 public:
  explicit CountedValue(std::uint64_t v = 0) : v_(v) { ++LiveCount::live; }
  CountedValue(CountedValue&& o) noexcept : v_(o.v_) { ++LiveCount::live; }
  CountedValue& operator=(CountedValue&& o) noexcept {
    v_ = o.v_;
    return *this;
  }
  CountedValue(const CountedValue&) = delete;
  CountedValue& operator=(const CountedValue&) = delete;
  ~CountedValue() { --LiveCount::live; }
  std::uint64_t get() const { return v_; }

 private:
  std::uint64_t v_;
};

}  // namespace brindle::test
