#pragma once
// The funnel table's slots: one arena carved into bucket levels and the two
// special parts, with the descriptors and counters of each region.  This type
// owns memory only; the entries inside are the table's to drop.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "../common/arena/control.hpp"
#include "../common/arena/descriptors.hpp"
#include "../common/arena/layout.hpp"
#include "../common/moves.hpp"
#include "funnel_geometry.hpp"

namespace brindle {

struct FunnelLocation {
  enum class Kind : std::uint8_t { InLevel, InSpecialPrimary, InSpecialSecondary, InOverflow };
  Kind kind = Kind::InLevel;
  std::uint32_t level = 0;  // meaningful for InLevel only
  std::uint32_t slot = 0;   // index within the region

  static constexpr FunnelLocation in_level(std::uint32_t level, std::uint32_t slot) noexcept {
    return {Kind::InLevel, level, slot};
  }
  static constexpr FunnelLocation in_special_primary(std::uint32_t slot) noexcept {
    return {Kind::InSpecialPrimary, 0, slot};
  }
  static constexpr FunnelLocation in_special_secondary(std::uint32_t slot) noexcept {
    return {Kind::InSpecialSecondary, 0, slot};
  }
  static constexpr FunnelLocation in_overflow(std::uint32_t slot) noexcept { return {Kind::InOverflow, 0, slot}; }
  friend constexpr bool operator==(const FunnelLocation&, const FunnelLocation&) = default;
};

// 32 bytes rather than 28, so that finding level i is a shift: lookups and
// placements do it for every level they visit.
struct alignas(32) BucketLevel : SlotRegion {
  std::uint32_t bucket_mask = 0;
  std::uint32_t bucket_shift = 4;
  std::uint32_t salt = 0;

  std::uint32_t bucket_start(std::uint64_t h) const noexcept {
    return ((static_cast<std::uint32_t>(h) ^ salt) & bucket_mask) << bucket_shift;
  }
  // A bucket is one group for every reserve fraction down to 1/256; below
  // that the stride grows to 32 or 64 and every group of it is used, so the
  // nominal slot count stays reachable.
  std::uint32_t groups_per_bucket() const noexcept { return 1u << (bucket_shift - 4); }
};

struct SpecialPrimary : SlotRegion {
  std::uint32_t group_mask = 0;
};

struct SpecialSecondary : SlotRegion {
  std::uint32_t bucket_count = 0;
  std::uint32_t bucket_shift = 0;

  // Slots [first, second) of bucket c; the last bucket may be cut short.
  std::pair<std::uint32_t, std::uint32_t> bucket_range(std::uint32_t c) const noexcept {
    const std::uint64_t start = static_cast<std::uint64_t>(c) << bucket_shift;
    const std::uint64_t end = std::min<std::uint64_t>(slot_count, start + (1ull << bucket_shift));
    return {static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)};
  }
  std::uint32_t first_choice(std::uint64_t h) const noexcept {
    return std::rotl(static_cast<std::uint32_t>(h), 19) % bucket_count;
  }
  std::uint32_t second_choice(std::uint64_t h) const noexcept {
    return static_cast<std::uint32_t>(h >> 27) % bucket_count;
  }
};

// The special primary's probe sequence: distinct groups (odd step over a
// power-of-two group count), cut after probe_limit of them.
class PrimaryProbe {
 public:
  PrimaryProbe(const SpecialPrimary& p, std::uint64_t h, std::uint32_t probe_limit) noexcept
      : mask_(p.group_mask),
        group_(std::rotl(static_cast<std::uint32_t>(h), 11) & p.group_mask),
        step_((static_cast<std::uint32_t>(h >> 21) | 1u) & p.group_mask),
        left_(std::min(std::max<std::uint32_t>(1, p.slot_count / GROUP_WIDTH), probe_limit)) {}
  bool done() const noexcept { return left_ == 0; }
  std::uint32_t first_slot() const noexcept { return group_ * GROUP_WIDTH; }
  void next() noexcept {
    group_ = (group_ + step_) & mask_;
    --left_;
  }

 private:
  std::uint32_t mask_, group_, step_, left_;
};

// Lowest free slot in control bytes [begin, end), scanned a group at a time
// with a byte-wise tail.
inline std::optional<std::uint32_t> first_free_in(const std::uint8_t* ctrl, std::uint32_t begin,
                                                  std::uint32_t end) noexcept {
  std::uint32_t pos = begin;
  for (; end - pos >= GROUP_WIDTH; pos += GROUP_WIDTH) {
    const BitMask free = Group(ctrl + pos).match_free();
    if (free) return pos + free.lowest();
  }
  for (; pos < end; ++pos)
    if (is_free(ctrl[pos])) return pos;
  return std::nullopt;
}

// Calls f(slot) for every slot in [begin, end) whose control byte is `tag`,
// in ascending order, until f returns true; returns whether it did.
template <class F>
bool any_tag_in(const std::uint8_t* ctrl, std::uint32_t begin, std::uint32_t end, std::uint8_t tag, F&& f) {
  std::uint32_t pos = begin;
  for (; end - pos >= GROUP_WIDTH; pos += GROUP_WIDTH)
    for (std::uint32_t bit : Group(ctrl + pos).match_tag(tag))
      if (f(pos + bit)) return true;
  for (; pos < end; ++pos)
    if (ctrl[pos] == tag && f(pos)) return true;
  return false;
}

// The counters of the regions, kept together so that a move hands them over
// with the arena they describe.
struct FunnelRegionCounters {
  SpecialPrimary primary_;
  SpecialSecondary secondary_;
  // Entries in all the regions, and in the special parts.
  std::uint32_t len_ = 0, special_len_ = 0;
  std::uint32_t max_populated_level_ = 0;
  std::uint32_t total_slots_ = 0;
  std::uint32_t nominal_slots_ = 0, max_items_ = 0;
  std::uint32_t probe_limit_ = 1;
};

template <class Entry, Allocator A>
class FunnelRegions : private ResetOnMove<FunnelRegionCounters> {
 public:
  using Location = FunnelLocation;

  // Allocates the arena and the level array of a geometry, all counters 0.
  // Throws std::bad_alloc with nothing allocated.
  static FunnelRegions allocate(const FunnelGeometry& g, A alloc) {
    const std::uint64_t total = g.total_slots();
    if (total >= MAX_ARENA_SLOTS) throw std::bad_alloc();
    FunnelRegions r;
    r.arena_ = Arena<Entry, A>::allocate(total, alloc);
    r.levels_ = DescriptorArray<BucketLevel, A>::allocate(g.level_count(), alloc);
    const auto stride_shift = static_cast<std::uint32_t>(std::countr_zero(g.bucket_stride));
    std::uint32_t offset = 0;
    for (std::uint32_t i = 0; i < g.level_count(); ++i) {
      BucketLevel& level = r.levels_[i];
      level.first_slot = offset;
      level.slot_count = g.level_slots[i];
      const std::uint32_t buckets = level.slot_count >> stride_shift;
      level.bucket_mask = buckets == 0 ? 0 : buckets - 1;
      level.bucket_shift = stride_shift;
      level.salt = static_cast<std::uint32_t>((i + 1ull) * 0x7F4A7C15ull);
      offset += level.slot_count;
    }
    r.primary_.first_slot = offset;
    r.primary_.slot_count = g.primary_slots;
    r.primary_.group_mask = g.primary_slots == 0 ? 0 : g.primary_slots / GROUP_WIDTH - 1;
    offset += g.primary_slots;
    r.secondary_.first_slot = offset;
    r.secondary_.slot_count = g.secondary_slots;
    r.secondary_.bucket_shift = g.secondary_bucket_shift;
    r.secondary_.bucket_count = g.secondary_bucket_count;
    r.total_slots_ = static_cast<std::uint32_t>(total);
    r.nominal_slots_ = g.nominal_slots;
    r.max_items_ = g.max_items;
    r.probe_limit_ = g.probe_limit;
    return r;
  }

  // The same regions with the same counters and control bytes, each full
  // slot's entry built by copy(src, dst) in the same slot (see Arena::clone).
  template <class CopyEntry>
  FunnelRegions clone(CopyEntry& copy) const {
    FunnelRegions r;
    r.levels_ = DescriptorArray<BucketLevel, A>::copy_of(levels_, arena_.allocator());
    r.arena_ = arena_.clone(copy);
    static_cast<FunnelRegionCounters&>(r) = *this;
    return r;
  }

  std::uint8_t* ctrl() const noexcept { return arena_.ctrl(); }
  std::uint8_t* passes() const noexcept { return arena_.passes(); }
  Entry* entries() const noexcept { return arena_.entries(); }
  std::uint32_t level_count() const noexcept { return static_cast<std::uint32_t>(levels_.size()); }
  const BucketLevel& level(std::uint32_t i) const noexcept { return levels_[i]; }
  const SpecialPrimary& special_primary() const noexcept { return primary_; }
  const SpecialSecondary& special_secondary() const noexcept { return secondary_; }
  std::uint32_t len() const noexcept { return len_; }
  std::uint32_t special_len() const noexcept { return special_len_; }
  std::uint32_t max_populated_level() const noexcept { return max_populated_level_; }
  std::uint32_t nominal_slots() const noexcept { return nominal_slots_; }
  std::uint32_t max_items() const noexcept { return max_items_; }
  std::uint32_t probe_limit() const noexcept { return probe_limit_; }
  std::uint64_t heap_bytes() const noexcept {
    return (arena_.allocated() ? arena_.layout().size : 0) + levels_.bytes();
  }

  // The region a location lies in; the overflow area is none of them.
  const SlotRegion& region_of(Location loc) const noexcept {
    switch (loc.kind) {
      case Location::Kind::InLevel:
        return levels_[loc.level];
      case Location::Kind::InSpecialPrimary:
        return primary_;
      default:
        return secondary_;
    }
  }
  SlotRegion& region_of(Location loc) noexcept {
    return const_cast<SlotRegion&>(static_cast<const FunnelRegions&>(*this).region_of(loc));
  }

  // Position of a region slot within the arena.
  std::uint32_t arena_slot(Location loc) const noexcept { return region_of(loc).first_slot + loc.slot; }

  std::optional<Location> first_free_in_primary(std::uint64_t h) const noexcept {
    if (primary_.len >= primary_.slot_count) return std::nullopt;
    const std::uint8_t* ctrl = arena_.ctrl() + primary_.first_slot;
    for (PrimaryProbe p(primary_, h, probe_limit_); !p.done(); p.next()) {
      const BitMask free = Group(ctrl + p.first_slot()).match_free();
      if (free) return Location::in_special_primary(p.first_slot() + free.lowest());
    }
    return std::nullopt;
  }

  std::optional<Location> first_free_in_secondary_bucket(std::uint32_t c) const noexcept {
    const auto [begin, end] = secondary_.bucket_range(c);
    if (auto s = first_free_in(arena_.ctrl() + secondary_.first_slot, begin, end))
      return Location::in_special_secondary(*s);
    return std::nullopt;
  }

  std::optional<Location> first_free_in_secondary(std::uint64_t h) const noexcept {
    if (secondary_.len >= secondary_.slot_count) return std::nullopt;
    if (auto s = first_free_in_secondary_bucket(secondary_.first_choice(h))) return s;
    return first_free_in_secondary_bucket(secondary_.second_choice(h));
  }

  // The first free slot of a key known to be absent, in the order in which
  // an insertion's search meets free slots: levels, then the special array.
  std::optional<Location> choose_slot_for_new_key(std::uint64_t h) const noexcept { return walk_for_new_key(*this, h); }

  // The same choice, recorded, in one walk that marks each level group the
  // key goes past; the special array keeps its own stopping rule.  When no
  // region slot is free the key went past every level, and those are marked
  // all the same.
  std::optional<Location> place_new_key(std::uint64_t h) noexcept { return walk_for_new_key(*this, h); }

  // Counts a store of a new entry of hash h at a region slot: its control
  // byte and counters, not the pass bytes.  The entry itself is written by
  // the caller.
  void count_store(Location loc, std::uint64_t h) noexcept {
    SlotRegion& r = region_of(loc);
    std::uint8_t& c = arena_.ctrl()[r.first_slot + loc.slot];
    if (c == CTRL_TOMBSTONE) --r.tombstones;
    c = tag_of(h);
    ++r.len;
    ++len_;
    if (loc.kind == Location::Kind::InLevel)
      max_populated_level_ = std::max(max_populated_level_, loc.level);
    else
      ++special_len_;
  }

  // Marks a slot whose entry was just taken out: a tombstone when its group
  // has no empty byte left (a later key's probe may have passed through it),
  // else empty.  Returns the region's tombstones and slot count afterwards.
  std::pair<std::uint32_t, std::uint32_t> record_removal(Location loc) noexcept {
    SlotRegion& r = region_of(loc);
    std::uint8_t* ctrl = arena_.ctrl();
    const std::uint32_t at = r.first_slot + loc.slot;
    const bool keep_path = !Group(ctrl + (at & ~(GROUP_WIDTH - 1))).has_empty();
    ctrl[at] = keep_path ? CTRL_TOMBSTONE : CTRL_EMPTY;
    r.tombstones += keep_path ? 1 : 0;
    --r.len;
    --len_;
    if (loc.kind != Location::Kind::InLevel) --special_len_;
    return {r.tombstones, r.slot_count};
  }

  // Like a removal, but the slot becomes empty: used only while the whole
  // table is being cleared.
  void record_clear(Location loc) noexcept {
    SlotRegion& r = region_of(loc);
    arena_.ctrl()[r.first_slot + loc.slot] = CTRL_EMPTY;
    --r.len;
    --len_;
    if (loc.kind != Location::Kind::InLevel) --special_len_;
  }

  void shrink_max_populated_level() noexcept {
    while (max_populated_level_ > 0 && levels_[max_populated_level_].len == 0) --max_populated_level_;
  }

  // Forgets every entry (the caller has dropped or moved them) and every
  // tombstone; the geometry stays.
  void wipe() noexcept {
    if (total_slots_ != 0) std::memset(arena_.ctrl(), CTRL_EMPTY, total_slots_);
    arena_.clear_passes();
    for (std::uint32_t i = 0; i < level_count(); ++i) levels_[i].len = levels_[i].tombstones = 0;
    primary_.len = primary_.tombstones = 0;
    secondary_.len = secondary_.tombstones = 0;
    len_ = special_len_ = 0;
    max_populated_level_ = 0;
  }

  // Calls f(location, entry) for every full slot in scan order.
  template <class F>
  void for_each_full(F&& f) const {
    const std::uint8_t* ctrl = arena_.ctrl();
    Entry* entries = arena_.entries();
    auto region = [&](std::uint32_t offset, std::uint32_t count, auto make) {
      for (std::uint32_t g = 0; g < count; g += GROUP_WIDTH)
        for (std::uint32_t bit : Group(ctrl + offset + g).match_full()) f(make(g + bit), entries[offset + g + bit]);
    };
    for (std::uint32_t i = 0; i < level_count(); ++i)
      region(levels_[i].first_slot, levels_[i].slot_count, [i](std::uint32_t s) { return Location::in_level(i, s); });
    region(primary_.first_slot, primary_.slot_count, Location::in_special_primary);
    region(secondary_.first_slot, secondary_.slot_count, Location::in_special_secondary);
  }

 private:
  // choose_slot_for_new_key on a const table; place_new_key, which also
  // records the store and marks the groups passed, on a mutable one.
  template <class Self>
  static std::optional<Location> walk_for_new_key(Self& self, std::uint64_t h) noexcept {
    constexpr bool record = !std::is_const_v<Self>;
    const std::uint8_t pass = pass_bit(h);
    const std::uint8_t* ctrl = self.arena_.ctrl();
    std::uint8_t* passes = self.arena_.passes();
    for (std::uint32_t i = 0; i < self.level_count(); ++i) {
      const BucketLevel& level = self.levels_[i];
      if (level.slot_count == 0) continue;
      const std::uint32_t start = level.bucket_start(h);
      const bool full = level.len >= level.slot_count;
      if (full && !record) continue;
      for (std::uint32_t g = 0; g < level.groups_per_bucket(); ++g) {
        const std::uint32_t at = level.first_slot + start + g * GROUP_WIDTH;
        if (!full) {
          if (const BitMask free = Group(ctrl + at).match_free()) {
            const Location loc = Location::in_level(i, start + g * GROUP_WIDTH + free.lowest());
            if constexpr (record) self.count_store(loc, h);
            return loc;
          }
        }
        if constexpr (record) passes[at / GROUP_WIDTH] |= pass;
      }
    }
    std::optional<Location> loc = self.first_free_in_primary(h);
    if (!loc) loc = self.first_free_in_secondary(h);
    if constexpr (record) {
      if (loc) self.count_store(*loc, h);
    }
    return loc;
  }

  Arena<Entry, A> arena_;
  DescriptorArray<BucketLevel, A> levels_;
};

// Keys whose every candidate slot was taken when they arrived (in practice:
// many keys sharing one hash).  Searched in full, and only when not empty;
// removal never needs a tombstone here because no lookup stops early in it.
struct FunnelOverflowCounters {
  std::uint32_t slot_count = 0;
  std::uint32_t len = 0;
  std::uint32_t free_from = 0;  // every slot below is full
};

template <class Entry, Allocator A>
struct FunnelOverflow : ResetOnMove<FunnelOverflowCounters> {
  Arena<Entry, A> arena;

  static FunnelOverflow allocate(std::uint32_t slots, A alloc) {
    FunnelOverflow o;
    o.arena = Arena<Entry, A>::allocate(slots, alloc);
    o.slot_count = slots;
    return o;
  }
  template <class CopyEntry>
  FunnelOverflow clone(CopyEntry& copy) const {
    FunnelOverflow o;
    o.arena = arena.clone(copy);
    static_cast<FunnelOverflowCounters&>(o) = *this;
    return o;
  }
  static std::uint32_t slots_for(std::uint32_t entries) noexcept {
    return std::max<std::uint32_t>(GROUP_WIDTH, funnel_detail::next_power_of_two(entries));
  }

  std::uint8_t* ctrl() const noexcept { return arena.ctrl(); }
  Entry* entries() const noexcept { return arena.entries(); }
  std::uint64_t heap_bytes() const noexcept { return arena.allocated() ? arena.layout().size : 0; }

  // The slot the next entry goes to; the caller made sure one is free.
  std::uint32_t next_free() noexcept {
    const std::uint32_t begin = free_from & ~(GROUP_WIDTH - 1);
    free_from = *first_free_in(arena.ctrl(), begin, slot_count);
    return free_from;
  }
};

}  // namespace brindle
