#pragma once
// What the generic containers need from a table.  Both the elastic and the
// funnel table satisfy this; HashMap and HashSet are written against it only.

#include <concepts>
#include <cstdint>
#include <optional>

#include "../common/arena/slot_entry.hpp"
#include "failure.hpp"
#include "hash.hpp"

namespace brindle {

// Scan contract: a fresh cursor yields every full slot exactly once, in the
// table's fixed scan order, then nothing on every later call.  It stays valid
// across extract_finish of the slot just yielded and across in-place value
// writes, but not across insert, remove, reserve, resize or clear.
template <class R>
concept RawTable = requires(R& r, const R& cr, typename R::key_type k, typename R::mapped_type v,
                            const typename R::key_type& kr, std::uint64_t h, std::uint8_t t, typename R::Location loc,
                            typename R::ScanCursor& cursor, std::uint64_t n,
                            void (*copy)(const typename R::Entry&, typename R::Entry*)) {
  typename R::Entry;
  requires std::same_as<typename R::Entry, SlotEntry<typename R::key_type, typename R::mapped_type>>;
  requires std::default_initializable<typename R::ScanCursor>;
  { cr.find(kr, h, t) } -> std::same_as<std::optional<typename R::Location>>;
  // Insert or replace: an equal stored key stays, the old value comes back.
  { r.insert(std::move(k), std::move(v), h) } -> std::same_as<std::optional<typename R::mapped_type>>;
  // Place a key known to be absent: no equality calls.  Grows when full.
  r.insert_unique(std::move(k), std::move(v), h);
  { r.remove(loc) } -> std::same_as<typename R::Entry>;
  { r.extract_finish(loc) } -> std::same_as<typename R::Entry>;
  { cr.scan_advance(cursor) } -> std::same_as<std::optional<typename R::Location>>;
  { cr.entry_at(loc) } -> std::same_as<typename R::Entry&>;
  // The same table slot for slot, each entry built by copy(src, dst) in
  // place; no hashing, no placement, the same scan order.
  { cr.clone(copy) } -> std::same_as<R>;
  r.clear();
  r.reserve(n);
  { cr.len() } -> std::same_as<std::uint32_t>;
  // The item limit: a new key past it makes the table grow.
  { cr.max_items() } -> std::same_as<std::uint32_t>;
  { cr.seed() } -> std::same_as<std::uint64_t>;
  { cr.reserve_fraction() } -> std::same_as<double>;
  // Bytes held outside the table object itself (arena and descriptors).
  { cr.heap_bytes() } -> std::convertible_to<std::uint64_t>;
  // Throws InvariantFailure naming the first broken invariant; for tests.
  cr.check_invariants();
};

}  // namespace brindle
