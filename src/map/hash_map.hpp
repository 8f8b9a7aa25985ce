#pragma once
// A keyed container over any raw table: hashing of the caller's key,
// ownership on insert and remove, borrowing iteration and removal while
// scanning.  Every difference in behaviour between table kinds comes from R.

#include <concepts>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <utility>

#include "raw_table.hpp"
#include "sizing.hpp"

namespace brindle {

template <class K, class V, RawTable R>
requires std::same_as<typename R::key_type, K> && std::same_as<typename R::mapped_type, V>
class HashMap {
 public:
  using Table = R;
  using Entry = typename R::Entry;
  using Location = typename R::Location;

  HashMap() : table_(0, DEFAULT_RESERVE_FRACTION, next_table_seed()) {}
  HashMap(std::uint64_t items, double reserve_fraction) : table_(items, reserve_fraction, next_table_seed()) {}
  HashMap(std::uint64_t items, double reserve_fraction, std::uint64_t seed) : table_(items, reserve_fraction, seed) {}

  // A copy at the cost of the arena plus one copy(const Entry& src, Entry*
  // dst) per entry, which placement-constructs the entry at dst.  It keeps
  // this map's seed, layout and iteration order.
  template <class CopyEntry>
  HashMap clone(CopyEntry&& copy) const {
    return HashMap(table_.clone(copy));
  }

  BRINDLE_INLINE std::uint64_t hash_of(const K& key) const { return table_hash(key_hash_word(key), table_.seed()); }

  BRINDLE_INLINE std::optional<Location> find(const K& key) const {
    const std::uint64_t h = hash_of(key);
    return table_.find(key, h, tag_of(h));
  }
  BRINDLE_INLINE bool contains_key(const K& key) const { return find(key).has_value(); }

  BRINDLE_INLINE V* get(const K& key) {
    auto loc = find(key);
    return loc ? &table_.entry_at(*loc).value : nullptr;
  }
  BRINDLE_INLINE const V* get(const K& key) const {
    auto loc = find(key);
    return loc ? &table_.entry_at(*loc).value : nullptr;
  }

  // `admit` may veto the store once the search is over (see the tables).
  template <class Admit = AlwaysAdmit>
  std::optional<V> insert(K key, V value, Admit&& admit = {}) {
    const std::uint64_t h = hash_of(key);
    return table_.insert(std::move(key), std::move(value), h, std::forward<Admit>(admit));
  }
  // For keys known to be absent (copies, rebuilds): no equality calls.
  void insert_unique(K key, V value) {
    const std::uint64_t h = hash_of(key);
    table_.insert_unique(std::move(key), std::move(value), h);
  }

  // Takes the whole entry out, so the caller decides when the key and value
  // are destroyed (the Python layer defers that until its borrow is released).
  std::optional<Entry> remove_entry(const K& key) {
    auto loc = find(key);
    if (!loc) return std::nullopt;
    return table_.remove(*loc);
  }
  std::optional<V> remove(const K& key) {
    auto e = remove_entry(key);
    if (!e) return std::nullopt;
    return std::move(e->value);
  }

  BRINDLE_INLINE Entry& entry_at(Location loc) const { return table_.entry_at(loc); }

  class Iter {
   public:
    explicit Iter(const R& t) : table_(&t) {}
    // References into the entry; valid until the table changes.
    std::optional<std::pair<const K*, V*>> next() {
      auto loc = table_->scan_advance(cursor_);
      if (!loc) return std::nullopt;
      Entry& e = table_->entry_at(*loc);
      return std::pair<const K*, V*>(&e.key, &e.value);
    }

   private:
    const R* table_;
    typename R::ScanCursor cursor_{};
  };
  Iter iter() const { return Iter(table_); }

  template <class F>
  void for_each(F&& f) const {
    auto it = iter();
    while (auto kv = it.next()) f(*kv->first, *kv->second);
  }

  class ExtractIf {
   public:
    using Predicate = std::function<bool(const K&, V&)>;
    ExtractIf(R& t, Predicate p) : table_(&t), pred_(std::move(p)) {}
    std::optional<Entry> next() {
      while (auto loc = table_->scan_advance(cursor_)) {
        Entry& e = table_->entry_at(*loc);
        if (pred_(e.key, e.value)) return table_->extract_finish(*loc);
      }
      return std::nullopt;
    }

   private:
    R* table_;
    Predicate pred_;
    typename R::ScanCursor cursor_{};
  };
  ExtractIf extract_if(typename ExtractIf::Predicate p) { return ExtractIf(table_, std::move(p)); }

  // The first entry in scan order, taken out; what popitem and set.pop use.
  std::optional<Entry> pop_first() {
    typename R::ScanCursor cursor{};
    auto loc = table_.scan_advance(cursor);
    if (!loc) return std::nullopt;
    return table_.extract_finish(*loc);
  }

  // Drops every entry the predicate rejects.  Never rebuilds the table.
  template <class F>
  void retain(F&& keep) {
    typename R::ScanCursor cursor{};
    while (auto loc = table_.scan_advance(cursor)) {
      Entry& e = table_.entry_at(*loc);
      if (!keep(static_cast<const K&>(e.key), e.value)) {
        Entry gone = table_.extract_finish(*loc);
        (void)gone;
      }
    }
  }

  std::uint32_t len() const { return table_.len(); }
  std::uint32_t max_items() const { return table_.max_items(); }
  void clear() { table_.clear(); }
  void reserve(std::uint64_t additional) { table_.reserve(additional); }
  double reserve_fraction() const { return table_.reserve_fraction(); }

  R& table() { return table_; }
  const R& table() const { return table_; }

 private:
  explicit HashMap(R table) noexcept : table_(std::move(table)) {}

  R table_;
};

}  // namespace brindle
