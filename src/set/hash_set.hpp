#pragma once

#include "../map/hash_map.hpp"

namespace brindle {

// A set is a map whose values take no room.
template <class T, RawTable R>
class HashSet {
 public:
  using Map = HashMap<T, Unit, R>;
  using Entry = typename Map::Entry;
  using Location = typename Map::Location;

  HashSet() = default;
  HashSet(std::uint64_t items, double reserve_fraction) : map_(items, reserve_fraction) {}
  HashSet(std::uint64_t items, double reserve_fraction, std::uint64_t seed) : map_(items, reserve_fraction, seed) {}

  // See HashMap::clone; copy(src, dst) builds the entry {key, Unit} at dst.
  template <class CopyEntry>
  HashSet clone(CopyEntry&& copy) const {
    return HashSet(map_.clone(std::forward<CopyEntry>(copy)));
  }

  bool contains(const T& key) const { return map_.contains_key(key); }
  std::optional<Location> find(const T& key) const { return map_.find(key); }
  // True when an equal element was already present; the stored one stays.
  template <class Admit = AlwaysAdmit>
  bool insert(T key, Admit&& admit = {}) {
    return map_.insert(std::move(key), Unit{}, std::forward<Admit>(admit)).has_value();
  }
  void insert_unique(T key) { map_.insert_unique(std::move(key), Unit{}); }
  std::optional<Entry> remove_entry(const T& key) { return map_.remove_entry(key); }
  std::optional<Entry> pop_first() { return map_.pop_first(); }

  template <class F>
  void retain(F&& keep) {
    map_.retain([&](const T& k, Unit&) { return keep(k); });
  }
  template <class F>
  void for_each(F&& f) const {
    map_.for_each([&](const T& k, const Unit&) { f(k); });
  }
  auto iter() const { return map_.iter(); }

  std::uint32_t len() const { return map_.len(); }
  std::uint32_t max_items() const { return map_.max_items(); }
  void clear() { map_.clear(); }
  void reserve(std::uint64_t additional) { map_.reserve(additional); }
  R& table() { return map_.table(); }
  const R& table() const { return map_.table(); }
  Map& map() { return map_; }
  const Map& map() const { return map_; }

 private:
  explicit HashSet(Map map) noexcept : map_(std::move(map)) {}

  Map map_;
};

}  // namespace brindle
