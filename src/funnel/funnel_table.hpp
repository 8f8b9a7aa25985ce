#pragma once
// Funnel hashing: a key has one candidate bucket in each of a sequence of
// shrinking bucket levels and lives in the first level whose bucket had room
// when it arrived; keys that no level takes go to a two-part special array.
// Entries never move except in a rebuild.

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "../common/arena/control.hpp"
#include "../common/arena/descriptors.hpp"
#include "../common/arena/layout.hpp"
#include "../common/arena/slot_entry.hpp"
#include "../common/moves.hpp"
#include "../map/failure.hpp"
#include "../map/hash.hpp"
#include "../map/table_base.hpp"
#include "funnel_geometry.hpp"
#include "funnel_storage.hpp"

namespace brindle {

struct BucketProbe {
  enum class Kind : std::uint8_t { Found, Continue, Absent };
  Kind kind;
  std::uint32_t slot = 0;
};

template <class K, class V, class S = std::uint64_t, Allocator A = SystemAllocator>
class FunnelTable : public TableBase<FunnelTable<K, V, S, A>, K, V, FunnelLocation> {
 public:
  using Entry = SlotEntry<K, V>;
  using Location = FunnelLocation;
  using Hint = std::optional<Location>;

  // Room for `items` items before the first growth.
  FunnelTable(std::uint64_t items, double reserve_fraction, S seed, A alloc = A())
      : delta_(clamp_funnel_reserve_fraction(reserve_fraction)),
        seed_(seed),
        alloc_(alloc),
        regions_(Regions::allocate(funnel_geometry(funnel_nominal_slots(items, delta_), delta_), alloc_)) {}

  FunnelTable(const FunnelTable&) = delete;
  FunnelTable& operator=(const FunnelTable&) = delete;
  FunnelTable(FunnelTable&&) noexcept = default;
  FunnelTable& operator=(FunnelTable&& o) noexcept { return assign_by_moving(*this, std::move(o)); }
  ~FunnelTable() { drop_all(); }

  // This table slot for slot: the same geometry, seed, control bytes,
  // special and overflow areas and counters, with copy(const Entry& src,
  // Entry* dst) placement-constructing each entry in the slot its source
  // occupies.  Nothing is hashed or placed, so the copy scans in the same
  // order.  If `copy` throws, the copies made so far are dropped.  Both
  // tables then share a seed until their next clear or rebuild.
  template <class CopyEntry>
  FunnelTable clone(CopyEntry&& copy) const {
    FunnelTable out(CloneTag{}, *this);
    out.regions_ = regions_.clone(copy);
    out.overflow_ = overflow_.clone(copy);  // if this throws, `out` drops the region copies
    out.scan_floor_.reset(this->scan_floor_.position());
    out.seed_ = seed_.share();
    return out;
  }

  // ---- observers -----------------------------------------------------------

  std::uint32_t len() const noexcept { return regions_.len() + overflow_.len; }
  std::uint32_t max_items() const noexcept { return regions_.max_items(); }
  std::uint32_t nominal_slots() const noexcept { return regions_.nominal_slots(); }
  std::uint64_t seed() const noexcept { return static_cast<std::uint64_t>(seed_.get()); }
  double reserve_fraction() const noexcept { return delta_; }
  std::uint32_t probe_limit() const noexcept { return regions_.probe_limit(); }
  std::uint32_t level_count() const noexcept { return regions_.level_count(); }
  const BucketLevel& level(std::uint32_t i) const noexcept { return regions_.level(i); }
  const SpecialPrimary& special_primary() const noexcept { return regions_.special_primary(); }
  const SpecialSecondary& special_secondary() const noexcept { return regions_.special_secondary(); }
  std::uint32_t special_len() const noexcept { return regions_.special_len(); }
  std::uint32_t max_populated_level() const noexcept { return regions_.max_populated_level(); }
  std::uint32_t overflow_len() const noexcept { return overflow_.len; }
  std::uint32_t overflow_slots() const noexcept { return overflow_.slot_count; }
  std::uint64_t heap_bytes() const noexcept { return regions_.heap_bytes() + overflow_.heap_bytes(); }

  std::uint8_t control_at(Location loc) const noexcept { return *ctrl_ptr(loc); }
  BRINDLE_INLINE Entry& entry_at(Location loc) const noexcept {
    if (loc.kind == Location::Kind::InOverflow) return overflow_.entries()[loc.slot];
    return regions_.entries()[regions_.arena_slot(loc)];
  }

  // ---- lookup --------------------------------------------------------------

  // `groups`, when given, counts the groups of control bytes loaded.
  template <class Q>
  BRINDLE_INLINE BucketProbe find_in_bucket(std::uint32_t i, std::uint64_t h, std::uint8_t t, const Q& key,
                                            std::uint64_t* groups = nullptr) const {
    const BucketLevel& level = regions_.level(i);
    if (level.len == 0) {
      const bool passed = level.slot_count == 0 || level.tombstones != 0;
      return {passed ? BucketProbe::Kind::Continue : BucketProbe::Kind::Absent};
    }
    const std::uint32_t start = level.bucket_start(h);
    const std::uint8_t* ctrl = regions_.ctrl() + level.first_slot;
    const std::uint8_t* passes = regions_.passes() + level.first_slot / GROUP_WIDTH;
    const Entry* entries = regions_.entries() + level.first_slot;
    for (std::uint32_t g = 0; g < level.groups_per_bucket(); ++g) {
      const std::uint32_t at = start + g * GROUP_WIDTH;
      const Group group(ctrl + at);
      if (groups) ++*groups;
      for (std::uint32_t bit : group.match_tag(t))
        if (key == entries[at + bit].key) return {BucketProbe::Kind::Found, at + bit};
      // No key of this pass bit went further; a group never passed may be
      // full, but one with an empty slot never was passed.
      if (!(passes[at / GROUP_WIDTH] & pass_bit(h))) return {BucketProbe::Kind::Absent};
    }
    return {BucketProbe::Kind::Continue};
  }

  // Found: the key is in the special array.  Absent: it is neither there nor
  // in the overflow area.  Exhausted: every candidate was looked at.
  struct SpecialResult {
    enum class Kind : std::uint8_t { Found, Absent, Exhausted };
    Kind kind;
    Location location{};
  };

  // With a hint that is still empty, also notes the first free slot the
  // search meets, in the order a new key would take one.
  template <class Q>
  SpecialResult find_in_special(const Q& key, std::uint64_t h, std::uint8_t t, Hint* hint,
                                std::uint64_t* groups = nullptr) const {
    auto recording = [hint] { return hint != nullptr && !hint->has_value(); };
    const SpecialPrimary& p = regions_.special_primary();
    const std::uint8_t* pctrl = regions_.ctrl() + p.first_slot;
    if (p.slot_count == 0 || p.len == 0) {
      if (recording()) {
        if (auto free = regions_.first_free_in_primary(h)) *hint = free;
      }
    } else {
      const Entry* pentries = regions_.entries() + p.first_slot;
      for (PrimaryProbe probe(p, h, regions_.probe_limit()); !probe.done(); probe.next()) {
        const std::uint32_t at = probe.first_slot();
        const Group group(pctrl + at);
        if (groups) ++*groups;
        if (recording()) {
          const BitMask free = group.match_free();
          if (free) *hint = Location::in_special_primary(at + free.lowest());
        }
        for (std::uint32_t bit : group.match_tag(t))
          if (key == pentries[at + bit].key)
            return {SpecialResult::Kind::Found, Location::in_special_primary(at + bit)};
        if (group.has_empty() && !group.match_tag(CTRL_TOMBSTONE)) return {SpecialResult::Kind::Absent};
      }
    }

    const SpecialSecondary& s = regions_.special_secondary();
    if (s.slot_count == 0 || s.len == 0) {
      if (recording()) {
        if (auto free = regions_.first_free_in_secondary(h)) *hint = free;
      }
      return {SpecialResult::Kind::Exhausted};
    }
    const std::uint8_t* sctrl = regions_.ctrl() + s.first_slot;
    const Entry* sentries = regions_.entries() + s.first_slot;
    // Both buckets are examined in full: nothing marks the end of a key's
    // path here.
    for (const std::uint32_t c : {s.first_choice(h), s.second_choice(h)}) {
      if (recording()) {
        if (auto free = regions_.first_free_in_secondary_bucket(c)) *hint = free;
      }
      const auto [begin, end] = s.bucket_range(c);
      std::uint32_t hit = 0;
      const bool found = any_tag_in(sctrl, begin, end, t, [&](std::uint32_t slot) {
        hit = slot;
        return key == sentries[slot].key;
      });
      if (groups) *groups += ((found ? hit + 1 : end) - begin + GROUP_WIDTH - 1) / GROUP_WIDTH;
      if (found) return {SpecialResult::Kind::Found, Location::in_special_secondary(hit)};
    }
    return {SpecialResult::Kind::Exhausted};
  }

  template <class Q>
  std::optional<Location> find_in_overflow(const Q& key, std::uint8_t t, std::uint64_t* groups = nullptr) const {
    if (overflow_.len == 0) return std::nullopt;
    if (groups) *groups += overflow_.slot_count / GROUP_WIDTH;
    std::uint32_t hit = 0;
    if (any_tag_in(overflow_.ctrl(), 0, overflow_.slot_count, t, [&](std::uint32_t slot) {
          hit = slot;
          return key == overflow_.entries()[slot].key;
        }))
      return Location::in_overflow(hit);
    return std::nullopt;
  }

  std::optional<Location> choose_slot_for_new_key(std::uint64_t h) const noexcept {
    return regions_.choose_slot_for_new_key(h);
  }

  // ---- insertion -----------------------------------------------------------

  // Insert or replace.  One search both looks for an equal key and notes the
  // first free slot on the key's path; all key comparisons happen before the
  // table changes.  `admit` is asked once, after the last comparison; when it
  // refuses, nothing is stored and the key and value are dropped.
  template <class Admit = AlwaysAdmit>
  std::optional<V> insert(K key, V value, std::uint64_t h, Admit&& admit = {}) {
    auto replace = [&](Location loc) -> std::optional<V> {
      if (!admit()) return std::nullopt;
      return replace_existing_value(loc, std::move(value));
    };
    const std::uint8_t t = tag_of(h);
    const std::uint8_t pass = pass_bit(h);
    Hint hint;
    bool stopped = false;
    const std::uint8_t* ctrl = regions_.ctrl();
    std::uint8_t* passes = regions_.passes();
    const Entry* entries = regions_.entries();
    for (std::uint32_t i = 0; i < regions_.level_count() && !stopped; ++i) {
      const BucketLevel& level = regions_.level(i);
      if (level.slot_count == 0) continue;
      const std::uint32_t start = level.bucket_start(h);
      if (level.len == 0) {
        if (!hint) hint = Location::in_level(i, start);
        stopped = level.tombstones == 0;
        continue;
      }
      for (std::uint32_t g = 0; g < level.groups_per_bucket(); ++g) {
        const std::uint32_t at = start + g * GROUP_WIDTH;
        const Group group(ctrl + level.first_slot + at);
        for (std::uint32_t bit : group.match_tag(t))
          if (key == entries[level.first_slot + at + bit].key) return replace(Location::in_level(i, at + bit));
        if (!hint) {
          const BitMask free = group.match_free();
          if (free) hint = Location::in_level(i, at + free.lowest());
        }
        if (group.has_empty()) {
          stopped = true;
          break;
        }
        // The search goes past a full group, and so does the key unless it
        // lands at an earlier free slot: marked now, the walk need not be
        // repeated.  A key found further on marked it when it was stored.
        passes[(level.first_slot + at) / GROUP_WIDTH] |= pass;
      }
    }
    if (!stopped) {
      bool absent = false;
      if (!hint || regions_.special_len() != 0) {
        const SpecialResult r = find_in_special(key, h, t, &hint);
        if (r.kind == SpecialResult::Kind::Found) return replace(r.location);
        absent = r.kind == SpecialResult::Kind::Absent;
      }
      if (!absent) {
        if (auto loc = find_in_overflow(key, t)) return replace(*loc);
      }
    }
    if (!admit()) return std::nullopt;
    insert_at_location_after_resize_check(hint, h, std::move(key), std::move(value));
    return std::nullopt;
  }

  // Places a key known to be absent: no key comparisons.
  void insert_unique(K key, V value, std::uint64_t h) {
    if (len() >= regions_.max_items()) grow_for(key, h);
    place(h, std::move(key), std::move(value));
  }

  // A slot found before the growth check is used only when no growth is
  // needed.  A key with no free candidate slot goes to the overflow area: only
  // the item limit makes the table grow.  The search that found `location`
  // marked the groups before it, so only a slot chosen here needs marking on
  // its way.
  void insert_at_location_after_resize_check(Hint location, std::uint64_t h, K key, V value) {
    if (len() >= regions_.max_items()) {
      grow_for(key, h);
      location.reset();
    }
    if (location) {
      regions_.count_store(*location, h);
      store(*location, std::move(key), std::move(value));
    } else {
      place(h, std::move(key), std::move(value));
    }
  }

  std::optional<V> replace_existing_value(Location loc, V value) {
    V& stored = entry_at(loc).value;
    std::optional<V> old(std::move(stored));
    stored = std::move(value);
    return old;
  }

  // ---- removal -------------------------------------------------------------

  Entry remove(Location loc) {
    std::uint32_t tombstones = 0, slots = 0;
    Entry out = take(loc, tombstones, slots);
    regions_.shrink_max_populated_level();
    if (tombstones > slots / 2) {
      // The removal itself is complete; a clean-up that cannot get memory is
      // left for a later removal rather than losing the entry taken out.
      try {
        resize(regions_.nominal_slots());
      } catch (const std::bad_alloc&) {
      }
    }
    return out;
  }

  // Removal during a scan: no clean-up, so the cursor stays valid.
  Entry extract_finish(Location loc) {
    std::uint32_t tombstones = 0, slots = 0;
    return take(loc, tombstones, slots);
  }

  // ---- whole-table operations ----------------------------------------------

  // Rebuilds with n nominal slots, keeping every entry.  The new arena, the
  // placement of every entry and the overflow area are all prepared before
  // the first entry moves, so a failed allocation leaves the table as it was.
  void resize(std::uint32_t n) {
    const S new_seed = seed_.for_rebuild();
    auto hash = [new_seed](const Entry& e) {
      return table_hash(key_hash_word(e.key), static_cast<std::uint64_t>(new_seed));
    };
    Regions fresh = Regions::allocate(funnel_geometry(n, delta_), alloc_);
    auto target = DescriptorArray<std::uint32_t, A>::allocate(len(), alloc_);
    constexpr std::uint32_t SPILL = U32_MAX;
    std::uint32_t spilled = 0, i = 0;
    // Within one pass slots only fill up, so a hash that found no slot will
    // find none again: keys sharing a hash cost O(1) each after the first.
    std::optional<std::uint64_t> no_room_hash;
    for_each_full([&](Location, Entry& e) {
      const std::uint64_t h = hash(e);
      std::optional<Location> to;
      if (no_room_hash != h) to = fresh.place_new_key(h);
      if (to) {
        target[i] = fresh.arena_slot(*to);
      } else {
        no_room_hash = h;
        target[i] = SPILL;
        ++spilled;
      }
      ++i;
    });
    Overflow spill;
    if (spilled != 0) spill = Overflow::allocate(Overflow::slots_for(spilled), alloc_);

    i = 0;
    Entry* dest = fresh.entries();
    for_each_full([&](Location loc, Entry& e) {
      if (target[i] == SPILL) {
        const std::uint32_t slot = spill.len++;
        spill.ctrl()[slot] = tag_of(hash(e));
        relocate(e, *ctrl_ptr(loc), spill.entries() + slot);
      } else {
        relocate(e, *ctrl_ptr(loc), dest + target[i]);
      }
      ++i;
    });
    spill.free_from = spill.len;
    regions_ = std::move(fresh);
    overflow_ = std::move(spill);
    this->scan_floor_.reset(0);
    seed_.rebuilt_with(new_seed);
  }

  void reserve(std::uint64_t additional) {
    const std::uint32_t needed = sat_add(len(), saturate_u32(additional));
    if (needed <= regions_.max_items()) return;
    resize(grown_nominal_slots(needed));
  }

  void clear() noexcept {
    // Counters follow each drop, so the table is consistent whenever an
    // entry's destructor runs.
    for_each_full([&](Location loc, Entry& e) {
      if (loc.kind == Location::Kind::InOverflow) {
        release_overflow_slot(loc.slot);
      } else {
        regions_.record_clear(loc);
      }
      e.~Entry();
    });
    regions_.wipe();
    overflow_ = Overflow();
    this->scan_floor_.reset(0);
    seed_.cleared();
  }

  // Where growth that must hold `needed` items goes.
  std::uint32_t grown_nominal_slots(std::uint32_t needed) const {
    return nominal_slots_reaching(nominal_slots(), needed,
                                  [this](std::uint32_t n) { return funnel_max_items(n, delta_); });
  }

  // ---- checking ------------------------------------------------------------

  void check_invariants() const {
    auto fail = [](const std::string& what) { throw InvariantFailure("funnel table: " + what); };
    const std::uint8_t* ctrl = regions_.ctrl();
    std::uint64_t level_sum = 0;
    auto count_region = [&](const char* name, const SlotRegion& r) {
      if (r.slot_count % GROUP_WIDTH != 0) fail(std::string(name) + " is not a whole number of groups");
      std::uint32_t full = 0, tomb = 0;
      for (std::uint32_t s = 0; s < r.slot_count; ++s) {
        full += is_full(ctrl[r.first_slot + s]) ? 1 : 0;
        tomb += ctrl[r.first_slot + s] == CTRL_TOMBSTONE ? 1 : 0;
      }
      if (full != r.len) fail(std::string(name) + " len does not match its full slots");
      if (tomb != r.tombstones) fail(std::string(name) + " tombstones do not match its control bytes");
      if (static_cast<std::uint64_t>(r.len) + r.tombstones > r.slot_count) fail(std::string(name) + " is over-full");
    };
    for (std::uint32_t i = 0; i < regions_.level_count(); ++i) {
      const BucketLevel& level = regions_.level(i);
      count_region("level", level);
      if (i > regions_.max_populated_level() && level.len != 0) fail("entries above max_populated_level");
      level_sum += level.len;
    }
    const SpecialPrimary& p = regions_.special_primary();
    const SpecialSecondary& s = regions_.special_secondary();
    count_region("special primary", p);
    count_region("special secondary", s);
    if (regions_.special_len() != p.len + s.len) fail("special_len is not the sum of both special parts");

    std::uint32_t overflow_full = 0;
    for (std::uint32_t slot = 0; slot < overflow_.slot_count; ++slot) {
      const std::uint8_t c = overflow_.ctrl()[slot];
      if (c == CTRL_TOMBSTONE) fail("tombstone in the overflow area");
      if (is_full(c)) {
        ++overflow_full;
      } else if (slot < overflow_.free_from) {
        fail("free overflow slot below its free bound");
      }
    }
    if (overflow_full != overflow_.len) fail("overflow len does not match its full slots");
    if (level_sum + regions_.special_len() != regions_.len()) fail("region lens do not add up to len");
    if (len() > regions_.max_items()) fail("len above max_items");
    if (regions_.max_items() != funnel_max_items(regions_.nominal_slots(), delta_)) fail("max_items does not match");

    std::uint64_t scanned = 0;
    for_each_full([&](Location loc, Entry& e) {
      const std::uint64_t h = table_hash(key_hash_word(e.key), seed());
      if (control_at(loc) != tag_of(h)) fail("a full slot's tag is not its key's tag");
      if (scan_position(scan_region_of(loc), loc.slot) < this->scan_floor_.position())
        fail("an entry lies below the scan floor");
      if (!placement_reachable(loc, h)) fail("an entry is off its key's probe path");
      ++scanned;
    });
    if (scanned != len()) fail("scan does not visit len entries");
  }

  // The regions a scan walks: the levels, the two special parts, the
  // overflow area.
  std::uint32_t scan_regions() const noexcept { return regions_.level_count() + 3; }
  ScanRegion scan_region(std::uint32_t r) const noexcept {
    const std::uint32_t levels = regions_.level_count();
    if (r < levels) return {regions_.ctrl() + regions_.level(r).first_slot, regions_.level(r).slot_count};
    if (r == levels) return {regions_.ctrl() + special_primary().first_slot, special_primary().slot_count};
    if (r == levels + 1) return {regions_.ctrl() + special_secondary().first_slot, special_secondary().slot_count};
    return {overflow_.ctrl(), overflow_.slot_count};
  }
  Location scan_location(std::uint32_t r, std::uint32_t slot) const noexcept {
    const std::uint32_t levels = regions_.level_count();
    if (r < levels) return Location::in_level(r, slot);
    if (r == levels) return Location::in_special_primary(slot);
    if (r == levels + 1) return Location::in_special_secondary(slot);
    return Location::in_overflow(slot);
  }

 private:
  using Regions = FunnelRegions<Entry, A>;
  using Overflow = FunnelOverflow<Entry, A>;

  struct CloneTag {};
  // The reserve fraction, seed and allocator of `o`, and no memory yet.
  FunnelTable(CloneTag, const FunnelTable& o) : delta_(o.delta_), seed_(o.seed_.get()), alloc_(o.alloc_) {}

  std::uint32_t scan_region_of(Location loc) const noexcept {
    switch (loc.kind) {
      case Location::Kind::InLevel:
        return loc.level;
      case Location::Kind::InSpecialPrimary:
        return regions_.level_count();
      case Location::Kind::InSpecialSecondary:
        return regions_.level_count() + 1;
      default:
        return regions_.level_count() + 2;
    }
  }

  std::uint8_t* ctrl_ptr(Location loc) const noexcept {
    if (loc.kind == Location::Kind::InOverflow) return overflow_.ctrl() + loc.slot;
    return regions_.ctrl() + regions_.arena_slot(loc);
  }

  template <class F>
  void for_each_full(F&& f) const {
    regions_.for_each_full(f);
    for (std::uint32_t g = 0; g < overflow_.slot_count; g += GROUP_WIDTH)
      for (std::uint32_t bit : Group(overflow_.ctrl() + g).match_full())
        f(Location::in_overflow(g + bit), overflow_.entries()[g + bit]);
  }

  // The source slot stops reading full before the moved-from entry is
  // destroyed: its destructor may run code that scans the table, which must
  // meet a live entry in every full slot (see clear).  Counters may lag.
  static void relocate(Entry& from, std::uint8_t& from_ctrl, Entry* to) noexcept {
    ::new (static_cast<void*>(to)) Entry(std::move(from));
    from_ctrl = CTRL_EMPTY;
    from.~Entry();
  }

 public:
  // The lookup walk behind find and probe (see ProbeWalk).  When
  // counting, a partial group of the special secondary counts as one, and a
  // search of the overflow area as all of its groups.
  template <bool Count, class Q>
  BRINDLE_INLINE std::optional<Location> find_impl(const Q& key, std::uint64_t h, std::uint8_t t,
                                                   std::uint64_t* groups) const {
    const std::uint32_t count = regions_.level_count();
    const std::uint32_t last = count == 0 ? 0 : std::min(count - 1, regions_.max_populated_level());
    for (std::uint32_t i = 0; i < count && i <= last; ++i) {
      const BucketProbe p = find_in_bucket(i, h, t, key, Count ? groups : nullptr);
      if (p.kind == BucketProbe::Kind::Found) return Location::in_level(i, p.slot);
      if (p.kind == BucketProbe::Kind::Absent) return std::nullopt;
    }
    if (regions_.special_len() != 0) {
      const SpecialResult r = find_in_special(key, h, t, nullptr, Count ? groups : nullptr);
      if (r.kind == SpecialResult::Kind::Found) return r.location;
      if (r.kind == SpecialResult::Kind::Absent) return std::nullopt;
    }
    return find_in_overflow(key, t, Count ? groups : nullptr);
  }

 private:
  // Takes the entry out and records the removal; for a region slot, reports
  // the region's tombstones and slot count afterwards.
  Entry take(Location loc, std::uint32_t& tombstones, std::uint32_t& slots) noexcept {
    Entry& slot = entry_at(loc);
    Entry out(std::move(slot));
    if (loc.kind == Location::Kind::InOverflow) {
      release_overflow_slot(loc.slot);
    } else {
      std::tie(tombstones, slots) = regions_.record_removal(loc);
    }
    slot.~Entry();  // only now that the slot no longer reads full
    return out;
  }

  // A key known to be absent goes to the first free slot on its path, or to
  // the overflow area.
  void place(std::uint64_t h, K&& key, V&& value) {
    if (auto loc = regions_.place_new_key(h)) {
      store(*loc, std::move(key), std::move(value));
    } else {
      store_in_overflow(h, std::move(key), std::move(value));
    }
  }

  // Builds the entry of a region slot whose store is already recorded.
  void store(Location loc, K&& key, V&& value) noexcept {
    ::new (static_cast<void*>(&entry_at(loc))) Entry{std::move(key), std::move(value)};
    this->scan_floor_.lower(scan_region_of(loc), loc.slot);
  }

  // The only allocation happens before anything changes.  The key's walk
  // has marked every level passed.
  void store_in_overflow(std::uint64_t h, K&& key, V&& value) {
    if (overflow_.len == overflow_.slot_count) grow_overflow();
    const std::uint32_t slot = overflow_.next_free();
    ::new (static_cast<void*>(overflow_.entries() + slot)) Entry{std::move(key), std::move(value)};
    overflow_.ctrl()[slot] = tag_of(h);
    ++overflow_.len;
    this->scan_floor_.lower(scan_region_of(Location::in_overflow(slot)), slot);
  }

  void grow_overflow() {
    Overflow bigger = Overflow::allocate(Overflow::slots_for(overflow_.slot_count + 1), alloc_);
    for (std::uint32_t g = 0; g < overflow_.slot_count; g += GROUP_WIDTH)
      for (std::uint32_t bit : Group(overflow_.ctrl() + g).match_full()) {
        bigger.ctrl()[g + bit] = overflow_.ctrl()[g + bit];
        relocate(overflow_.entries()[g + bit], overflow_.ctrl()[g + bit], bigger.entries() + g + bit);
      }
    bigger.len = overflow_.len;
    bigger.free_from = overflow_.free_from;
    overflow_ = std::move(bigger);
  }

  void release_overflow_slot(std::uint32_t slot) noexcept {
    overflow_.ctrl()[slot] = CTRL_EMPTY;
    --overflow_.len;
    overflow_.free_from = std::min(overflow_.free_from, slot);
  }

  // Grows for one more key.  The rebuild may draw a new seed, and then `key`
  // hashes anew.
  void grow_for(const K& key, std::uint64_t& h) {
    const S before = seed_.get();
    resize(grown_nominal_slots(sat_add(len(), 1)));
    if (seed_.get() != before) h = table_hash(key_hash_word(key), seed());
  }

  // Whether find() would reach an entry of hash h at loc: every region
  // probed before it must let the search go on.
  bool placement_reachable(Location loc, std::uint64_t h) const {
    const std::uint8_t* ctrl = regions_.ctrl();
    auto passed = [&](const BucketLevel& level, std::uint32_t at) {
      return !Group(ctrl + level.first_slot + at).has_empty() &&
             (regions_.passes()[(level.first_slot + at) / GROUP_WIDTH] & pass_bit(h)) != 0;
    };
    auto level_passes = [&](std::uint32_t i) {
      const BucketLevel& level = regions_.level(i);
      if (level.slot_count == 0) return true;
      if (level.len == 0) return level.tombstones != 0;
      const std::uint32_t start = level.bucket_start(h);
      for (std::uint32_t g = 0; g < level.groups_per_bucket(); ++g)
        if (!passed(level, start + g * GROUP_WIDTH)) return false;
      return true;
    };
    const std::uint32_t levels_before =
        loc.kind == Location::Kind::InLevel ? loc.level : std::min(regions_.level_count(), max_populated_level() + 1);
    for (std::uint32_t i = 0; i < levels_before; ++i)
      if (!level_passes(i)) return false;
    if (loc.kind == Location::Kind::InLevel) {
      const BucketLevel& level = regions_.level(loc.level);
      const std::uint32_t start = level.bucket_start(h);
      if (loc.slot < start || loc.slot >= start + level.groups_per_bucket() * GROUP_WIDTH) return false;
      for (std::uint32_t at = start; at + GROUP_WIDTH <= loc.slot; at += GROUP_WIDTH)
        if (!passed(level, at)) return false;
      return true;
    }
    const SpecialPrimary& p = regions_.special_primary();
    const bool in_primary = loc.kind == Location::Kind::InSpecialPrimary;
    bool met = false;
    if (p.slot_count != 0 && p.len != 0) {
      for (PrimaryProbe probe(p, h, regions_.probe_limit()); !probe.done(); probe.next()) {
        if (in_primary && loc.slot / GROUP_WIDTH == probe.first_slot() / GROUP_WIDTH) {
          met = true;
          break;
        }
        const Group group(ctrl + p.first_slot + probe.first_slot());
        if (group.has_empty() && !group.match_tag(CTRL_TOMBSTONE)) return false;
      }
    }
    if (in_primary) return met;
    if (loc.kind == Location::Kind::InSpecialSecondary) {
      const SpecialSecondary& s = regions_.special_secondary();
      for (const std::uint32_t c : {s.first_choice(h), s.second_choice(h)}) {
        const auto [begin, end] = s.bucket_range(c);
        if (loc.slot >= begin && loc.slot < end) return true;
      }
      return false;
    }
    return true;
  }

  void drop_all() noexcept {
    // Detached first, so a destructor that looks at the table sees it empty.
    Regions dying = std::move(regions_);
    Overflow dying_overflow = std::move(overflow_);
    dying.for_each_full([](Location, Entry& e) { e.~Entry(); });
    for (std::uint32_t g = 0; g < dying_overflow.slot_count; g += GROUP_WIDTH)
      for (std::uint32_t bit : Group(dying_overflow.ctrl() + g).match_full())
        dying_overflow.entries()[g + bit].~Entry();
  }

  double delta_;
  TableSeed<S> seed_;
  [[no_unique_address]] A alloc_;
  Regions regions_;
  Overflow overflow_;
};

}  // namespace brindle
