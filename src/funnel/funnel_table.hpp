#pragma once
// Funnel hashing: a key has one candidate bucket in each of a sequence of
// shrinking bucket levels and lives in the first level whose bucket had room
// when it arrived; keys that no level takes go to a two-part special array.
// Entries never move except in a rebuild.

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "../common/arena/control.hpp"
#include "../common/arena/layout.hpp"
#include "../common/arena/slot_entry.hpp"
#include "../map/failure.hpp"
#include "../map/hash.hpp"
#include "../map/probe_walk.hpp"
#include "funnel_geometry.hpp"
#include "funnel_storage.hpp"

namespace brindle {

enum class ScanPhase : std::uint8_t { Levels, SpecialPrimary, SpecialSecondary, Overflow, Done };

// A resumable position in a scan.  Plain value; a default-made cursor has not
// started.
struct FunnelScanCursor {
  bool started = false;
  ScanPhase phase = ScanPhase::Levels;
  std::uint32_t level = 0;
  std::uint32_t next_group = 0;  // slot index of the next group to read in the region
  std::uint32_t region_end = 0;
  std::uint32_t group_base = 0u - GROUP_WIDTH;
  std::uint16_t pending = 0;
  std::uint64_t groups_read = 0;  // control groups loaded by this cursor
};

struct BucketProbe {
  enum class Kind : std::uint8_t { Found, Continue, Absent };
  Kind kind;
  std::uint32_t slot = 0;
};

template <class K, class V, class S = std::uint64_t, Allocator A = SystemAllocator>
class FunnelTable : public ProbeWalk<FunnelTable<K, V, S, A>, K, FunnelLocation> {
  friend class ProbeWalk<FunnelTable, K, FunnelLocation>;
  static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>,
                "a rebuild must not fail half way through moving entries");

 public:
  using ProbeWalk<FunnelTable, K, FunnelLocation>::find;
  using key_type = K;
  using mapped_type = V;
  using Entry = SlotEntry<K, V>;
  using Location = FunnelLocation;
  using ScanCursor = FunnelScanCursor;
  using Hint = std::optional<Location>;

  FunnelTable(std::uint64_t capacity, double reserve_fraction, S seed, A alloc = A())
      : delta_(clamp_funnel_reserve_fraction(reserve_fraction)),
        seed_(seed),
        alloc_(alloc),
        regions_(Regions::allocate(funnel_geometry(funnel_nominal_capacity(capacity, delta_), delta_), alloc_)) {}

  FunnelTable(const FunnelTable&) = delete;
  FunnelTable& operator=(const FunnelTable&) = delete;
  FunnelTable(FunnelTable&& o) noexcept
      : delta_(o.delta_),
        seed_(o.seed_),
        alloc_(o.alloc_),
        regions_(std::move(o.regions_)),
        overflow_(std::move(o.overflow_)),
        len_(std::exchange(o.len_, 0)),
        scan_floor_(o.scan_floor_.exchange(0, std::memory_order_relaxed)),
        shares_seed_(o.shares_seed_.load(std::memory_order_relaxed)) {}
  FunnelTable& operator=(FunnelTable&& o) noexcept {
    if (this != &o) {
      drop_all();
      delta_ = o.delta_;
      seed_ = o.seed_;
      alloc_ = o.alloc_;
      regions_ = std::move(o.regions_);
      overflow_ = std::move(o.overflow_);
      len_ = std::exchange(o.len_, 0);
      scan_floor_.store(o.scan_floor_.exchange(0, std::memory_order_relaxed), std::memory_order_relaxed);
      shares_seed_.store(o.shares_seed_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    return *this;
  }
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
    out.len_ = len_;
    out.scan_floor_.store(scan_floor(), std::memory_order_relaxed);
    out.shares_seed_.store(true, std::memory_order_relaxed);
    shares_seed_.store(true, std::memory_order_relaxed);
    return out;
  }

  // ---- observers -----------------------------------------------------------

  std::uint32_t len() const noexcept { return len_; }
  std::uint32_t capacity() const noexcept { return regions_.max_items(); }
  std::uint32_t max_items() const noexcept { return regions_.max_items(); }
  std::uint32_t nominal_capacity() const noexcept { return regions_.capacity(); }
  std::uint64_t seed() const noexcept { return static_cast<std::uint64_t>(seed_); }
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
  std::uint32_t physical_slots() const noexcept { return regions_.total_slots(); }
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
    const std::uint8_t* ctrl = regions_.ctrl() + level.offset;
    const std::uint8_t* passes = regions_.passes() + level.offset / GROUP_WIDTH;
    const Entry* entries = regions_.entries() + level.offset;
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
    const std::uint8_t* pctrl = regions_.ctrl() + p.offset;
    if (p.slot_count == 0 || p.len == 0) {
      if (recording()) {
        if (auto free = regions_.first_free_in_primary(h)) *hint = free;
      }
    } else {
      const Entry* pentries = regions_.entries() + p.offset;
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
    const std::uint8_t* sctrl = regions_.ctrl() + s.offset;
    const Entry* sentries = regions_.entries() + s.offset;
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
        const Group group(ctrl + level.offset + at);
        for (std::uint32_t bit : group.match_tag(t))
          if (key == entries[level.offset + at + bit].key) return replace(Location::in_level(i, at + bit));
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
        passes[(level.offset + at) / GROUP_WIDTH] |= pass;
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
    if (len_ >= regions_.max_items()) {
      const S before = seed_;
      grow();
      if (seed_ != before) h = table_hash(key_hash_word(key), seed());
    }
    place(h, std::move(key), std::move(value));
  }

  // A slot found before the growth check is used only when no growth is
  // needed.  A key with no free candidate slot goes to the overflow area: only
  // the item limit makes the table grow.  The search that found `location`
  // marked the groups before it, so only a slot chosen here needs marking on
  // its way.
  void insert_at_location_after_resize_check(Hint location, std::uint64_t h, K key, V value) {
    if (len_ >= regions_.max_items()) {
      const S before = seed_;
      grow();
      if (seed_ != before) h = table_hash(key_hash_word(key), seed());
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
        resize(regions_.capacity());
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

  // Rebuilds for nominal capacity n, keeping every entry.  The new arena, the
  // placement of every entry and the overflow area are all prepared before
  // the first entry moves, so a failed allocation leaves the table as it was.
  void resize(std::uint32_t n) {
    // Every key is hashed anew here, so a seed shared with a clone costs
    // nothing to give up.
    const S new_seed = shares_seed_.load(std::memory_order_relaxed) ? static_cast<S>(next_table_seed()) : seed_;
    auto hash = [new_seed](const Entry& e) {
      return table_hash(key_hash_word(e.key), static_cast<std::uint64_t>(new_seed));
    };
    Regions fresh = Regions::allocate(funnel_geometry(n, delta_), alloc_);
    auto target = AllocBuffer<std::uint32_t, A>::allocate(len_, alloc_);
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
    scan_floor_.store(0, std::memory_order_relaxed);
    seed_ = new_seed;
    shares_seed_.store(false, std::memory_order_relaxed);
  }

  void reserve(std::uint64_t additional) {
    const std::uint32_t needed = sat_add(len_, saturate_u32(additional));
    if (needed <= regions_.max_items()) return;
    resize(funnel_capacity_for(std::max<std::uint32_t>(regions_.capacity(), 16), needed, delta_));
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
      --len_;
      e.~Entry();
    });
    regions_.wipe();
    overflow_ = Overflow();
    len_ = 0;
    scan_floor_.store(0, std::memory_order_relaxed);
    if (shares_seed_.exchange(false, std::memory_order_relaxed)) seed_ = static_cast<S>(next_table_seed());
  }

  // The capacity a growth goes to; nominal capacities stay powers of two and
  // end at 2^31.
  static std::uint32_t grown_capacity(std::uint32_t capacity) {
    if (capacity == 0) return 16;
    if (capacity >= FUNNEL_MAX_CAPACITY) fail_capacity_overflow();
    return capacity * 2;
  }

  // ---- scanning ------------------------------------------------------------

  // Next full slot in scan order: levels, special primary, special secondary,
  // overflow area, each in ascending slot order.  A fresh cursor starts at the
  // first group that may hold an entry, and a scan that walks over empty
  // groups from there moves that point on, so that taking the first entry
  // again and again costs linear time overall.
  BRINDLE_INLINE std::optional<Location> scan_advance(ScanCursor& c) const {
    if (!c.started) start_scan(c);
    for (;;) {
      if (c.pending != 0) {
        const auto bit = static_cast<std::uint32_t>(std::countr_zero(c.pending));
        c.pending = static_cast<std::uint16_t>(c.pending & (c.pending - 1));
        const std::uint32_t slot = c.group_base + bit;
        switch (c.phase) {
          case ScanPhase::Levels:
            return Location::in_level(c.level, slot);
          case ScanPhase::SpecialPrimary:
            return Location::in_special_primary(slot);
          case ScanPhase::SpecialSecondary:
            return Location::in_special_secondary(slot);
          default:
            return Location::in_overflow(slot);
        }
      }
      if (c.phase == ScanPhase::Done) return std::nullopt;
      const Region r = region(c.phase, c.level);
      while (c.next_group < c.region_end) {
        c.group_base = c.next_group;
        c.pending = static_cast<std::uint16_t>(Group(r.ctrl + c.next_group).match_full().bits());
        ++c.groups_read;
        const std::uint32_t global_group = (r.scan_start + c.next_group) / GROUP_WIDTH;
        c.next_group += GROUP_WIDTH;
        if (c.pending != 0) break;
        std::uint32_t expected = global_group;
        scan_floor_.compare_exchange_strong(expected, global_group + 1, std::memory_order_relaxed);
      }
      if (c.pending == 0) next_region(c);
    }
  }

  std::uint32_t scan_floor() const noexcept { return scan_floor_.load(std::memory_order_relaxed); }

  // ---- checking ------------------------------------------------------------

  void check_invariants() const {
    auto fail = [](const std::string& what) { throw InvariantFailure("funnel table: " + what); };
    const std::uint8_t* ctrl = regions_.ctrl();
    std::uint64_t level_sum = 0;
    auto count_region = [&](const char* name, std::uint32_t offset, std::uint32_t slots, std::uint32_t len,
                            std::uint32_t tombstones) {
      if (slots % GROUP_WIDTH != 0) fail(std::string(name) + " is not a whole number of groups");
      std::uint32_t full = 0, tomb = 0;
      for (std::uint32_t s = 0; s < slots; ++s) {
        full += is_full(ctrl[offset + s]) ? 1 : 0;
        tomb += ctrl[offset + s] == CTRL_TOMBSTONE ? 1 : 0;
      }
      if (full != len) fail(std::string(name) + " len does not match its full slots");
      if (tomb != tombstones) fail(std::string(name) + " tombstones do not match its control bytes");
      if (static_cast<std::uint64_t>(len) + tombstones > slots) fail(std::string(name) + " is over-full");
    };
    for (std::uint32_t i = 0; i < regions_.level_count(); ++i) {
      const BucketLevel& level = regions_.level(i);
      count_region("level", level.offset, level.slot_count, level.len, level.tombstones);
      if (i > regions_.max_populated_level() && level.len != 0) fail("entries above max_populated_level");
      level_sum += level.len;
    }
    const SpecialPrimary& p = regions_.special_primary();
    const SpecialSecondary& s = regions_.special_secondary();
    count_region("special primary", p.offset, p.slot_count, p.len, p.tombstones);
    count_region("special secondary", s.offset, s.slot_count, s.len, s.tombstones);
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
    if (level_sum + regions_.special_len() + overflow_.len != len_) fail("region lens do not add up to len");
    if (len_ > regions_.max_items()) fail("len above max_items");
    if (regions_.max_items() != funnel_max_items(regions_.capacity(), delta_)) fail("max_items does not match");

    std::uint64_t scanned = 0;
    const std::uint64_t floor_slot = static_cast<std::uint64_t>(scan_floor()) * GROUP_WIDTH;
    for_each_full([&](Location loc, Entry& e) {
      const std::uint64_t h = table_hash(key_hash_word(e.key), seed());
      if (control_at(loc) != tag_of(h)) fail("a full slot's tag is not its key's tag");
      if (scan_position(loc) < floor_slot) fail("an entry lies below the scan floor");
      if (!placement_reachable(loc, h)) fail("an entry is off its key's probe path");
      ++scanned;
    });
    if (scanned != len_) fail("scan does not visit len entries");
  }

 private:
  using Regions = FunnelRegions<Entry, A>;
  using Overflow = FunnelOverflow<Entry, A>;

  struct CloneTag {};
  // The reserve fraction, seed and allocator of `o`, and no memory yet.
  FunnelTable(CloneTag, const FunnelTable& o) : delta_(o.delta_), seed_(o.seed_), alloc_(o.alloc_) {}

  struct Region {
    const std::uint8_t* ctrl;
    std::uint32_t slot_count;
    std::uint32_t scan_start;  // position of the region's first slot in scan order
  };

  Region region(ScanPhase phase, std::uint32_t level) const noexcept {
    switch (phase) {
      case ScanPhase::Levels: {
        const BucketLevel& l = regions_.level(level);
        return {regions_.ctrl() + l.offset, l.slot_count, l.offset};
      }
      case ScanPhase::SpecialPrimary: {
        const SpecialPrimary& p = regions_.special_primary();
        return {regions_.ctrl() + p.offset, p.slot_count, p.offset};
      }
      case ScanPhase::SpecialSecondary: {
        const SpecialSecondary& s = regions_.special_secondary();
        return {regions_.ctrl() + s.offset, s.slot_count, s.offset};
      }
      default:
        return {overflow_.ctrl(), overflow_.slot_count, regions_.total_slots()};
    }
  }

  std::uint64_t scan_position(Location loc) const noexcept {
    if (loc.kind == Location::Kind::InOverflow) return static_cast<std::uint64_t>(regions_.total_slots()) + loc.slot;
    return regions_.arena_slot(loc);
  }

  void enter(ScanCursor& c, ScanPhase phase, std::uint32_t level, std::uint32_t first_slot) const noexcept {
    c.phase = phase;
    c.level = level;
    c.next_group = first_slot;
    c.region_end = phase == ScanPhase::Done ? 0 : region(phase, level).slot_count;
    c.group_base = first_slot - GROUP_WIDTH;
    c.pending = 0;
  }

  void next_region(ScanCursor& c) const noexcept {
    switch (c.phase) {
      case ScanPhase::Levels:
        if (c.level + 1 < regions_.level_count()) return enter(c, ScanPhase::Levels, c.level + 1, 0);
        return enter(c, ScanPhase::SpecialPrimary, 0, 0);
      case ScanPhase::SpecialPrimary:
        return enter(c, ScanPhase::SpecialSecondary, 0, 0);
      case ScanPhase::SpecialSecondary:
        return enter(c, ScanPhase::Overflow, 0, 0);
      default:
        return enter(c, ScanPhase::Done, 0, 0);
    }
  }

  // Everything below the scan floor is known to be free, so a fresh scan
  // starts in the region that holds the floor.
  void start_scan(ScanCursor& c) const noexcept {
    c.started = true;
    const std::uint64_t pos = static_cast<std::uint64_t>(scan_floor()) * GROUP_WIDTH;
    auto within = [pos](std::uint32_t offset, std::uint32_t slots) -> std::optional<std::uint32_t> {
      if (pos >= static_cast<std::uint64_t>(offset) + slots) return std::nullopt;
      return pos > offset ? static_cast<std::uint32_t>(pos - offset) : 0;
    };
    if (regions_.level_count() == 0) return enter(c, ScanPhase::SpecialPrimary, 0, 0);
    for (std::uint32_t i = 0; i < regions_.level_count(); ++i) {
      const BucketLevel& l = regions_.level(i);
      if (auto at = within(l.offset, l.slot_count)) return enter(c, ScanPhase::Levels, i, *at);
    }
    const SpecialPrimary& p = regions_.special_primary();
    if (auto at = within(p.offset, p.slot_count)) return enter(c, ScanPhase::SpecialPrimary, 0, *at);
    const SpecialSecondary& s = regions_.special_secondary();
    if (auto at = within(s.offset, s.slot_count)) return enter(c, ScanPhase::SpecialSecondary, 0, *at);
    if (auto at = within(regions_.total_slots(), overflow_.slot_count)) return enter(c, ScanPhase::Overflow, 0, *at);
    enter(c, ScanPhase::Done, 0, 0);
  }

  void lower_scan_floor(std::uint64_t position) noexcept {
    const auto group = static_cast<std::uint32_t>(position / GROUP_WIDTH);
    if (group < scan_floor_.load(std::memory_order_relaxed)) scan_floor_.store(group, std::memory_order_relaxed);
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

  // The lookup walk behind find and probe_groups_for (see ProbeWalk).  When
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
    --len_;
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
    ++len_;
    lower_scan_floor(scan_position(loc));
  }

  // The only allocation happens before anything changes.  The key's walk
  // has marked every level passed.
  void store_in_overflow(std::uint64_t h, K&& key, V&& value) {
    if (overflow_.len == overflow_.slot_count) grow_overflow();
    const std::uint32_t slot = overflow_.next_free();
    ::new (static_cast<void*>(overflow_.entries() + slot)) Entry{std::move(key), std::move(value)};
    overflow_.ctrl()[slot] = tag_of(h);
    ++overflow_.len;
    ++len_;
    lower_scan_floor(static_cast<std::uint64_t>(regions_.total_slots()) + slot);
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

  void grow() { resize(grown_capacity(regions_.capacity())); }

  // Whether find() would reach an entry of hash h at loc: every region
  // probed before it must let the search go on.
  bool placement_reachable(Location loc, std::uint64_t h) const {
    const std::uint8_t* ctrl = regions_.ctrl();
    auto passed = [&](const BucketLevel& level, std::uint32_t at) {
      return !Group(ctrl + level.offset + at).has_empty() &&
             (regions_.passes()[(level.offset + at) / GROUP_WIDTH] & pass_bit(h)) != 0;
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
        const Group group(ctrl + p.offset + probe.first_slot());
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
    len_ = 0;
    dying.for_each_full([](Location, Entry& e) { e.~Entry(); });
    for (std::uint32_t g = 0; g < dying_overflow.slot_count; g += GROUP_WIDTH)
      for (std::uint32_t bit : Group(dying_overflow.ctrl() + g).match_full())
        dying_overflow.entries()[g + bit].~Entry();
  }

  double delta_;
  S seed_;
  [[no_unique_address]] A alloc_;
  Regions regions_;
  Overflow overflow_;
  std::uint32_t len_ = 0;
  // Groups below this one in scan order hold no entry.  Mutable because
  // scans are const; atomic because concurrent readers may all advance it.
  mutable std::atomic<std::uint32_t> scan_floor_{0};
  // Set in a table and its clone; whichever is cleared or rebuilt first
  // draws a fresh seed, so that neither is refilled in an order sorted by
  // its own probe positions (see the elastic table, where that clusters).
  mutable std::atomic<bool> shares_seed_{false};
};

}  // namespace brindle
