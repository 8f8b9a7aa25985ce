#pragma once
// The elastic table: open addressing without reordering over levels of
// falling size, filled by a precomputed batch plan so that an insertion
// normally probes two adjacent levels and the fuller one only a few groups
// deep.  Entries move only when the whole table is rebuilt, or one at a time
// to make room for a key that arrives after the plan is used up.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "../common/arena/control.hpp"
#include "../common/arena/descriptors.hpp"
#include "../common/arena/layout.hpp"
#include "../common/arena/slot_entry.hpp"
#include "../common/moves.hpp"
#include "../common/saturate.hpp"
#include "../map/failure.hpp"
#include "../map/hash.hpp"
#include "../map/table_base.hpp"
#include "elastic_geometry.hpp"

namespace brindle {

struct ElasticLocation {
  std::uint32_t level = 0;
  std::uint32_t slot = 0;
  friend bool operator==(const ElasticLocation&, const ElasticLocation&) = default;
};

// The table's counters, kept together so that a move hands them over with
// the arena they describe.
struct ElasticCounters {
  std::uint32_t len_ = 0;
  std::uint32_t nominal_slots_ = 0;  // 0 or a power of two of at least 16
  std::uint32_t max_items_ = 0;
  std::uint32_t batch_index_ = 0;
  std::uint32_t batch_remaining_ = 0;
  std::uint32_t max_populated_level_ = 0;
  std::uint32_t placements_since_rebuild_ = 0;
  std::uint32_t churn_limit_ = 0;
};

template <class K, class V, class S = std::uint64_t, Allocator A = SystemAllocator>
class ElasticTable : public TableBase<ElasticTable<K, V, S, A>, K, V, ElasticLocation>,
                     private ResetOnMove<ElasticCounters> {
 public:
  using Entry = SlotEntry<K, V>;
  using Location = ElasticLocation;

  struct Placement {
    std::uint32_t level;
    std::uint32_t slot;
    std::uint32_t probe_length;  // groups walked from the home group, inclusive
  };

 private:
  using LevelArray = DescriptorArray<ElasticLevel, A>;
  using PlanArray = DescriptorArray<std::uint32_t, A>;
  using SlotList = DescriptorArray<std::uint32_t, A>;
  using ArenaType = Arena<Entry, A>;

  // What a lookup needs of a level, with its places in the arena worked out
  // once per arena rather than on every probe.
  struct LevelView {
    const std::uint8_t* ctrl = nullptr;
    const std::uint8_t* passes = nullptr;
    Entry* entries = nullptr;
    std::uint32_t salt = 0;
    std::uint32_t group_mask = 0;
  };
  using ViewArray = DescriptorArray<LevelView, A>;

  enum class RebuildOrder { scan, by_tag };

  struct Geometry {
    ArenaType arena;
    LevelArray levels;
    ViewArray views;
    PlanArray plan;
    std::uint32_t nominal_slots;
    std::uint32_t max_items;
  };

  // Owns a detached arena while a rebuild moves its entries out; drops
  // whatever is still full when it goes.
  struct ArenaDropGuard {
    ArenaType arena;
    LevelArray levels;
    ArenaDropGuard(ArenaType a, LevelArray l) noexcept : arena(std::move(a)), levels(std::move(l)) {}
    ArenaDropGuard(const ArenaDropGuard&) = delete;
    ArenaDropGuard& operator=(const ArenaDropGuard&) = delete;
    ~ArenaDropGuard() { drop_entries(arena, levels); }
  };

  struct CloneTag {};
  // The reserve fraction, seed and allocator of `o`, and no memory yet.
  ElasticTable(CloneTag, const ElasticTable& o) : delta_(o.delta_), seed_(o.seed_.get()), alloc_(o.alloc_) {}

 public:
  // Room for `items` items before the first growth.
  ElasticTable(std::uint64_t items, double reserve_fraction, S seed, A alloc = A())
      : delta_(clamp_elastic_reserve_fraction(reserve_fraction)), seed_(seed), alloc_(alloc) {
    install(allocate_geometry(nominal_slots_for(saturate_u32(items), delta_)));
  }

  ElasticTable(const ElasticTable&) = delete;
  ElasticTable& operator=(const ElasticTable&) = delete;
  ElasticTable(ElasticTable&&) noexcept = default;
  ElasticTable& operator=(ElasticTable&& o) noexcept { return assign_by_moving(*this, std::move(o)); }
  ~ElasticTable() { drop_entries(arena_, levels_); }

  // This table slot for slot: the same geometry, seed, control bytes, plan
  // position and counters, with copy(const Entry& src, Entry* dst)
  // placement-constructing each entry in the slot its source occupies.
  // Nothing is hashed or placed, so the copy scans in the same order.  If
  // `copy` throws, the copies made so far are dropped and nothing leaks.
  // Both tables then share a seed until their next clear or rebuild (see
  // TableSeed).
  template <class CopyEntry>
  ElasticTable clone(CopyEntry&& copy) const {
    ElasticTable out(CloneTag{}, *this);
    // Descriptors first: once the arena holds copies, nothing may throw
    // before `out` owns both and its destructor can find the entries.
    LevelArray levels = LevelArray::copy_of(levels_, alloc_);
    ViewArray views = ViewArray::allocate(views_.size(), alloc_);
    PlanArray plan = PlanArray::copy_of(plan_, alloc_);
    out.arena_ = arena_.clone(copy);
    point_views(views, levels, out.arena_);
    out.levels_ = std::move(levels);
    out.views_ = std::move(views);
    out.plan_ = std::move(plan);
    static_cast<ElasticCounters&>(out) = *this;
    out.scan_floor_.reset(this->scan_floor_.position());
    out.seed_ = seed_.share();
    return out;
  }

  // ---- lookup -------------------------------------------------------------

  BRINDLE_INLINE Entry& entry_at(Location loc) const { return views_[loc.level].entries[loc.slot]; }

  // ---- insertion ----------------------------------------------------------

  // Replaces the value of an equal stored key (which stays) and returns the
  // old value; otherwise adds the entry, growing first when full.  `admit` is
  // asked once, after every key comparison and before the table changes; when
  // it refuses, nothing is stored and the key and value are dropped.
  template <class Admit = AlwaysAdmit>
  std::optional<V> insert(K key, V value, std::uint64_t h, Admit&& admit = {}) {
    if (auto loc = this->find(key, h, tag_of(h))) {
      if (!admit()) return std::nullopt;
      Entry& e = entry_at(*loc);
      std::optional<V> old(std::move(e.value));
      e.value = std::move(value);
      return old;
    }
    if (!admit()) return std::nullopt;
    insert_unique(std::move(key), std::move(value), h);
    return std::nullopt;
  }

  // Adds an entry whose key is known to be absent; never compares keys.
  void insert_unique(K key, V value, std::uint64_t h) {
    const S before = seed_.get();
    make_room_for_new_key();
    if (seed_.get() != before) h = table_hash(key_hash_word(key), seed());
    place(h, "no free slot found after resize", [&](Entry* p) noexcept {
      ::new (static_cast<void*>(p)) Entry{std::move(key), std::move(value)};
    });
  }

  // ---- removal ------------------------------------------------------------

  Entry remove(Location loc) {
    if (loc.level >= levels_.size()) throw InvariantFailure("location outside the table");
    Entry e = take(loc);
    while (max_populated_level_ > 0 && levels_[max_populated_level_].len == 0 &&
           levels_[max_populated_level_].tombstones == 0)
      --max_populated_level_;
    const ElasticLevel& lv = levels_[loc.level];
    if (lv.tombstones > lv.slot_count / 2) tidy(RebuildOrder::scan);
    return e;
  }

  // Removal for a running scan: no reorganisation, so the cursor stays valid.
  Entry extract_finish(Location loc) { return take(loc); }

  // ---- whole-table operations ---------------------------------------------

  // Rebuilds with c nominal slots; every entry survives.  All new memory is
  // obtained before the old arena is touched, so running out of memory
  // leaves the table as it was.
  void resize(std::uint32_t c) { rebuild(c, RebuildOrder::scan); }

  // Makes room for `additional` more new keys without growth in between.
  void reserve(std::uint64_t additional) {
    const std::uint32_t needed = sat_add(len_, saturate_u32(additional));
    if (needed <= max_items_) return;
    resize(grown_nominal_slots(needed));
  }

  // Drops every entry; keeps the slots, levels, plan and arena, and the seed
  // unless it is shared with a clone.
  void clear() {
    drop_entries(arena_, levels_);
    for (ElasticLevel& lv : levels_) {
      std::memset(ctrl_of(arena_, lv), CTRL_EMPTY, lv.slot_count);
      lv.len = 0;
      lv.tombstones = 0;
    }
    arena_.clear_passes();
    len_ = 0;
    restart_plan();
    seed_.cleared();
  }

  // ---- observers ----------------------------------------------------------

  std::uint32_t len() const noexcept { return len_; }
  std::uint32_t max_items() const noexcept { return max_items_; }
  std::uint32_t nominal_slots() const noexcept { return nominal_slots_; }
  std::uint64_t seed() const noexcept { return static_cast<std::uint64_t>(seed_.get()); }
  double reserve_fraction() const noexcept { return delta_; }
  std::uint32_t max_populated_level() const noexcept { return max_populated_level_; }
  std::uint64_t heap_bytes() const noexcept {
    return (arena_.allocated() ? arena_.layout().size : 0) + levels_.bytes() + views_.bytes() + plan_.bytes();
  }

  // Throws InvariantFailure naming the first broken invariant.  Walks every
  // slot and every stored entry's probe path; meant for tests.
  void check_invariants() const {
    auto fail = [](const char* what) { throw InvariantFailure(what); };
    std::uint64_t lens = 0;
    std::uint64_t first_full = end_position();
    if (views_.size() != levels_.size()) fail("level views out of step with the levels");
    for (std::uint32_t i = 0; i < levels_.size(); ++i) {
      const ElasticLevel& lv = levels_[i];
      const LevelView& view = views_[i];
      if (view.ctrl != ctrl_of(lv) || view.passes != passes_of(lv) || view.entries != entries_of(lv) ||
          view.salt != static_cast<std::uint32_t>(lv.salt) || view.group_mask != lv.group_mask)
        fail("a level view does not describe its level");
      lens += lv.len;
      if (static_cast<std::uint64_t>(lv.len) + lv.tombstones > lv.slot_count)
        fail("level len plus tombstones exceeds its slot count");
      if (i > max_populated_level_ && (lv.len != 0 || lv.tombstones != 0))
        fail("level above max_populated_level holds entries or tombstones");
      const std::uint8_t* ctrl = ctrl_of(arena_, lv);
      std::uint32_t full = 0, tombstones = 0;
      for (std::uint32_t s = 0; s < lv.slot_count; ++s) {
        if (ctrl[s] == CTRL_TOMBSTONE) ++tombstones;
        if (!is_full(ctrl[s])) continue;
        ++full;
        first_full = std::min(first_full, scan_position(i, s));
        const std::uint64_t h = table_hash(key_hash_word(entries_of(arena_, lv)[s].key), seed());
        if (ctrl[s] != tag_of(h)) fail("stored tag does not match the key's hash");
        std::uint32_t g = home_group(lv, h);
        for (std::uint32_t k = 0;; ++k) {
          if (k != 0) g = (g + k) & lv.group_mask;
          if (k >= lv.max_probe_groups) fail("entry lies beyond its level's max_probe_groups");
          if (g == s / GROUP_WIDTH) break;
          if (Group(ctrl + g * GROUP_WIDTH).has_empty()) fail("empty slot on an entry's probe path");
          if (!(passes_of(lv)[g] & pass_bit(h))) fail("a group on an entry's probe path is not marked passed");
        }
      }
      if (full != lv.len || tombstones != lv.tombstones) fail("control bytes disagree with level counters");
    }
    if (lens != len_) fail("level lens do not sum to len");
    if (len_ > max_items_) fail("len above max_items");
    if (!levels_.empty() && max_items_ > 0) {
      std::uint64_t sum = 0;
      for (std::uint32_t b : plan_) sum += b;
      if (sum != max_items_) fail("batch plan does not sum to max_items");
    }
    if (!plan_.empty() && batch_remaining_ > plan_[batch_index_]) fail("batch_remaining exceeds its batch");
    if (this->scan_floor_.position() > first_full) fail("scan floor lies past a full slot");
  }

 private:
  static std::uint8_t* ctrl_of(const ArenaType& arena, const ElasticLevel& lv) noexcept {
    return arena.ctrl() + lv.first_slot;
  }
  static Entry* entries_of(const ArenaType& arena, const ElasticLevel& lv) noexcept {
    return arena.entries() + lv.first_slot;
  }
  std::uint8_t* ctrl_of(const ElasticLevel& lv) const noexcept { return ctrl_of(arena_, lv); }
  std::uint8_t* passes_of(const ElasticLevel& lv) const noexcept {
    return arena_.passes() + lv.first_slot / GROUP_WIDTH;
  }

  // Records that a key of hash h went past the first `groups` groups of its
  // probe sequence in a level.
  void mark_passed(const ElasticLevel& lv, std::uint64_t h, std::uint32_t groups) noexcept {
    std::uint8_t* passes = passes_of(lv);
    const std::uint8_t pass = pass_bit(h);
    std::uint32_t g = home_group(lv, h);
    for (std::uint32_t k = 0; k < groups; ++k) {
      if (k != 0) g = (g + k) & lv.group_mask;
      passes[g] |= pass;
    }
  }
  Entry* entries_of(const ElasticLevel& lv) const noexcept { return entries_of(arena_, lv); }

  static std::uint32_t home_group(const ElasticLevel& lv, std::uint64_t h) noexcept {
    return (static_cast<std::uint32_t>(h) ^ static_cast<std::uint32_t>(lv.salt)) & lv.group_mask;
  }

  std::uint64_t end_position() const noexcept { return scan_position(scan_regions(), 0); }

  // An entry's destructor may run code that scans the table (the Python
  // layer's finalizers reach it through the collector), so each slot stops
  // reading full before its entry goes; a tombstone rather than an empty
  // byte keeps the entries not yet dropped where lookups find them.  The
  // counters catch up afterwards.
  static void drop_entries(const ArenaType& arena, const LevelArray& levels) noexcept {
    if constexpr (!std::is_trivially_destructible_v<Entry>) {
      for (const ElasticLevel& lv : levels) {
        std::uint8_t* ctrl = ctrl_of(arena, lv);
        Entry* entries = entries_of(arena, lv);
        for (std::uint32_t base = 0; base < lv.slot_count; base += GROUP_WIDTH)
          for (std::uint32_t bit : Group(ctrl + base).match_full()) {
            ctrl[base + bit] = CTRL_TOMBSTONE;
            std::destroy_at(&entries[base + bit]);
          }
      }
    }
  }

  Geometry allocate_geometry(std::uint32_t c) const {
    const std::vector<std::uint32_t> sizes = partition_levels(c);
    const std::uint32_t max_items = max_items_for(c, delta_);
    const std::vector<std::uint32_t> plan = build_batch_plan(sizes, max_items, delta_);
    std::uint64_t total = 0;
    for (std::uint32_t s : sizes) total += s;
    Geometry g{ArenaType::allocate(total, alloc_),
               LevelArray::allocate(sizes.size(), alloc_),
               ViewArray::allocate(sizes.size(), alloc_),
               PlanArray::copy_of(plan, alloc_),
               c,
               max_items};
    std::uint32_t first = 0;
    for (std::uint32_t i = 0; i < sizes.size(); ++i) {
      g.levels[i] = make_elastic_level(i, first, sizes[i], delta_);
      first += sizes[i];
    }
    point_views(g.views, g.levels, g.arena);
    return g;
  }

  static void point_views(ViewArray& views, const LevelArray& levels, const ArenaType& arena) noexcept {
    for (std::size_t i = 0; i < levels.size(); ++i) {
      const ElasticLevel& lv = levels[i];
      views[i] = LevelView{ctrl_of(arena, lv), arena.passes() + lv.first_slot / GROUP_WIDTH, entries_of(arena, lv),
                           static_cast<std::uint32_t>(lv.salt), lv.group_mask};
    }
  }

  void install(Geometry&& g) noexcept {
    arena_ = std::move(g.arena);
    levels_ = std::move(g.levels);
    views_ = std::move(g.views);
    plan_ = std::move(g.plan);
    nominal_slots_ = g.nominal_slots;
    max_items_ = g.max_items;
    // The plan places exactly max_items keys; later ones take slots that
    // removals freed (see choose_after_plan), and so wear away the empty
    // slots at which misses stop.  A same-size rebuild after a quarter
    // of the reserve more placements restores them, keeping misses within a
    // small factor of a fresh table at O(1/delta) amortised moves per
    // insertion.  Below delta = 1/64 the cadence is capped instead, so churn
    // never costs more than ~256 moves per insertion.
    const std::uint32_t slack = std::max({reserved_part(nominal_slots_, delta_ / 4), nominal_slots_ / 256, 1u});
    churn_limit_ = sat_add(max_items_, slack);
    len_ = 0;
    restart_plan();
  }

  void restart_plan() noexcept {
    batch_index_ = 0;
    batch_remaining_ = plan_.empty() ? 0 : plan_[0];
    max_populated_level_ = 0;
    placements_since_rebuild_ = 0;
    this->scan_floor_.reset(end_position());
  }

  // Where growth that must hold `needed` items goes.
  std::uint32_t grown_nominal_slots(std::uint32_t needed) const {
    return nominal_slots_reaching(nominal_slots_, needed, [this](std::uint32_t c) { return max_items_for(c, delta_); });
  }

  void make_room_for_new_key() {
    // Near delta = 1 a doubling adds about (1 - delta) * c items, which can
    // round to none; growth goes as far as the new key needs, as reserve does.
    if (len_ >= max_items_)
      resize(grown_nominal_slots(sat_add(len_, 1)));
    else if (placements_since_rebuild_ >= churn_limit_)
      tidy(RebuildOrder::by_tag);
  }

  // A same-size rebuild only tidies up; the table is sound without it,
  // so running out of memory for it is no reason to fail the caller.
  void tidy(RebuildOrder order) {
    try {
      rebuild(nominal_slots_, order);
    } catch (const std::bad_alloc&) {
    }
  }

  // Scan order moves a level's entries sorted by home group.  Growth spreads
  // them over twice the groups, but at the same size every new home in
  // level 0 equals the old one: the first batch then fills the front of
  // level 0 solid and the plan strands the rest, and each further rebuild of
  // that shape reproduces it.  Ordering by tag (hash bits that homes never
  // use) gives the plan what a random insertion order would.

  void rebuild(std::uint32_t c, RebuildOrder order) {
    Geometry fresh = allocate_geometry(c);
    SlotList by_tag;
    if (order == RebuildOrder::by_tag) by_tag = full_slots_by_tag();
    const S new_seed = seed_.for_rebuild();
    ArenaDropGuard old{std::move(arena_), std::move(levels_)};
    install(std::move(fresh));
    seed_.rebuilt_with(new_seed);
    FirstBatchFill first(*this);
    auto move = [&](std::uint32_t slot) {
      if (!first.move(old.arena, slot)) move_from(old.arena, slot);
    };
    if (order == RebuildOrder::by_tag) {
      for (std::uint32_t slot : by_tag) move(slot);
    } else {
      for (const ElasticLevel& lv : old.levels) {
        const std::uint8_t* ctrl = ctrl_of(old.arena, lv);
        for (std::uint32_t base = 0; base < lv.slot_count; base += GROUP_WIDTH)
          for (std::uint32_t bit : Group(ctrl + base).match_full()) move(lv.first_slot + base + bit);
      }
    }
    first.close();
  }

  // Moves entries into a fresh geometry while its first batch lasts.  The
  // plan then sends every key to the first free slot of its probe sequence
  // in level 0, so place() and its plan machinery are skipped, and the
  // counters are brought up to date once, when the batch is used up.  The
  // result is what place() would have made, slot for slot.
  class FirstBatchFill {
   public:
    explicit FirstBatchFill(ElasticTable& t) noexcept
        : t_(t), room_(t.levels_.empty() || t.batch_index_ != 0 ? 0 : t.batch_remaining_) {}
    FirstBatchFill(const FirstBatchFill&) = delete;
    FirstBatchFill& operator=(const FirstBatchFill&) = delete;

    // Moves the entry at arena slot `slot` of a detached arena into level 0;
    // false, with nothing done, once the batch is used up.
    bool move(const ArenaType& old, std::uint32_t slot) noexcept {
      if (placed_ == room_) return close(), false;
      Entry& src = old.entries()[slot];
      const std::uint64_t h = table_hash(key_hash_word(src.key), t_.seed());
      const ElasticLevel& lv = t_.levels_[0];
      std::uint8_t* ctrl = t_.ctrl_of(lv);
      std::uint8_t* passes = t_.passes_of(lv);
      const std::uint8_t pass = pass_bit(h);
      std::uint32_t g = home_group(lv, h);
      for (std::uint32_t k = 0; k < lv.group_count; ++k) {
        if (k != 0) g = (g + k) & lv.group_mask;
        // A fresh level has no tombstones: free means empty.
        if (const BitMask free = Group(ctrl + g * GROUP_WIDTH).match_free()) {
          const std::uint32_t to = g * GROUP_WIDTH + free.lowest();
          ::new (static_cast<void*>(t_.entries_of(lv) + to)) Entry(std::move(src));
          ctrl[to] = tag_of(h);
          old.ctrl()[slot] = CTRL_EMPTY;
          std::destroy_at(&src);
          ++placed_;
          probe_groups_ = std::max(probe_groups_, k + 1);
          first_group_ = std::min(first_group_, g);
          return true;
        }
        passes[g] |= pass;
      }
      return close(), false;  // not reached while the batch has room
    }

    void close() noexcept {
      if (placed_ == 0) return;
      ElasticLevel& lv = t_.levels_[0];
      lv.len += placed_;
      lv.max_probe_groups = std::max(lv.max_probe_groups, probe_groups_);
      t_.len_ += placed_;
      t_.batch_remaining_ -= placed_;
      t_.placements_since_rebuild_ = sat_add(t_.placements_since_rebuild_, placed_);
      t_.scan_floor_.lower(0, first_group_ * GROUP_WIDTH);
      room_ -= placed_;
      placed_ = 0;
    }

   private:
    ElasticTable& t_;
    std::uint32_t room_;
    std::uint32_t placed_ = 0;
    std::uint32_t probe_groups_ = 0;
    std::uint32_t first_group_ = U32_MAX;
  };

  // Moves the entry at arena slot `slot` of a detached arena into this table.
  // On failure the entry is still in the old arena, whose guard drops it.
  void move_from(const ArenaType& old, std::uint32_t slot) {
    Entry& src = old.entries()[slot];
    place(table_hash(key_hash_word(src.key), seed()), "no free slot found in freshly-allocated map",
          [&](Entry* p) noexcept { ::new (static_cast<void*>(p)) Entry(std::move(src)); });
    old.ctrl()[slot] = CTRL_EMPTY;
    std::destroy_at(&src);
  }

  // Arena slot indices of all full slots, by ascending tag (counting sort).
  SlotList full_slots_by_tag() const {
    std::uint32_t start[129] = {};
    auto for_each_full = [&](auto&& f) {
      for (const ElasticLevel& lv : levels_) {
        const std::uint8_t* ctrl = ctrl_of(lv);
        for (std::uint32_t base = 0; base < lv.slot_count; base += GROUP_WIDTH)
          for (std::uint32_t bit : Group(ctrl + base).match_full()) f(lv.first_slot + base + bit, ctrl[base + bit]);
      }
    };
    for_each_full([&](std::uint32_t, std::uint8_t tag) { ++start[(tag & 0x7F) + 1]; });
    for (int t = 1; t < 129; ++t) start[t] += start[t - 1];
    SlotList slots = SlotList::allocate(len_, alloc_);
    for_each_full([&](std::uint32_t slot, std::uint8_t tag) { slots[start[tag & 0x7F]++] = slot; });
    return slots;
  }

  void advance_batch() noexcept {
    if (batch_remaining_ != 0) return;
    for (std::uint32_t j = batch_index_ + 1; j < plan_.size(); ++j) {
      batch_index_ = j;
      batch_remaining_ = plan_[j];
      if (batch_remaining_ != 0) break;
    }
  }

  template <class Construct>
  BRINDLE_INLINE void place(std::uint64_t h, const char* failure, Construct&& construct) {
    advance_batch();
    std::optional<Placement> p;
    if (placements_since_rebuild_ < max_items_) {
      p = choose_slot_for_new_key(h);
    } else if (const std::optional<AfterPlan> a = choose_after_plan(h)) {
      if (a->evict_to) relocate(Location{a->slot.level, a->slot.slot}, *a->evict_to);
      p = a->slot;
    }
    if (!p) throw InvariantFailure(failure);
    ElasticLevel& lv = levels_[p->level];
    std::uint8_t& ctrl = ctrl_of(lv)[p->slot];
    construct(entries_of(lv) + p->slot);
    if (ctrl == CTRL_TOMBSTONE) --lv.tombstones;
    ctrl = tag_of(h);
    mark_passed(lv, h, p->probe_length - 1);
    lv.max_probe_groups = std::max(lv.max_probe_groups, p->probe_length);
    ++lv.len;
    max_populated_level_ = std::max(max_populated_level_, p->level);
    ++len_;
    if (batch_remaining_ > 0) --batch_remaining_;
    placements_since_rebuild_ = sat_add(placements_since_rebuild_, 1);
    this->scan_floor_.lower(p->level, p->slot);
  }

  // Once the plan has placed its max_items keys only removals make room, and
  // they free slots all over the table.  Left to the plan's fallback, every
  // such key would take the first free slot of a full probe of level 0,
  // which keeps about delta/4 of the table free: with a small reserve the
  // level fills up well within one churn cycle, its max_probe_groups grows
  // with each late arrival, and misses end up walking all of it.  So a key
  // after the plan takes a free slot that lookups already reach, within
  // max_probe_groups of its path in some level; failing that, the slot of
  // an entry on its path that can move to such a slot of its own.  Only
  // when neither exists does a level's probe limit grow, where it grows
  // least.
  struct AfterPlan {
    Placement slot;
    std::optional<Placement> evict_to;  // where the entry now in `slot` moves first
  };

  // Entries on a new key's path that are asked whether they can move.
  static constexpr std::uint32_t EVICTION_CANDIDATES = 256;

  // What taking a free slot costs later misses.  A tombstone, or an empty
  // slot whose group keeps another, costs nothing.  The last empty slot of a
  // group makes misses that stopped there walk on, up to the level's
  // max_probe_groups: little in a level probed about as far as its budget,
  // but in one whose last keys needed long probes its few empty groups are
  // what keeps misses short.
  enum class MissCost : std::uint8_t { none, bounded, high };

  struct Reachable {
    Placement slot;
    MissCost cost;
  };

  std::optional<AfterPlan> choose_after_plan(std::uint64_t h) const {
    const std::optional<Reachable> own = reachable_free_slot(h);
    if (own && own->cost != MissCost::high) return AfterPlan{own->slot, std::nullopt};
    std::uint32_t asked = 0;
    for (std::uint32_t i = 0; i < levels_.size() && asked < EVICTION_CANDIDATES; ++i) {
      const ElasticLevel& lv = levels_[i];
      if (lv.len == 0) continue;
      const std::uint8_t* ctrl = ctrl_of(lv);
      const Entry* entries = entries_of(lv);
      std::uint32_t g = home_group(lv, h);
      // One entry per group is asked: keys with the same home group have the
      // same home in every smaller level too, so its neighbours would mostly
      // answer alike.
      for (std::uint32_t k = 0; k < lv.max_probe_groups && asked < EVICTION_CANDIDATES; ++k) {
        if (k != 0) g = (g + k) & lv.group_mask;
        const Group group(ctrl + g * GROUP_WIDTH);
        if (const BitMask full = group.match_full()) {
          const std::uint32_t slot = g * GROUP_WIDTH + full.lowest();
          const std::optional<Reachable> to = reachable_free_slot(table_hash(key_hash_word(entries[slot].key), seed()));
          if (to && to->cost != MissCost::high) return AfterPlan{Placement{i, slot, k + 1}, to->slot};
          ++asked;
        }
        if (group.has_empty()) break;  // the key's lookups stop here
      }
    }
    if (own) return AfterPlan{own->slot, std::nullopt};
    if (auto p = least_growth_slot(h)) return AfterPlan{*p, std::nullopt};
    return std::nullopt;
  }

  // The cheapest free slot within max_probe_groups of the key's path in any
  // level; the first one found among equals.
  std::optional<Reachable> reachable_free_slot(std::uint64_t h) const {
    std::optional<Reachable> best;
    for (std::uint32_t i = 0; i < levels_.size(); ++i) {
      const ElasticLevel& lv = levels_[i];
      if (lv.len >= lv.slot_count || lv.max_probe_groups == 0) continue;
      const std::uint8_t* ctrl = ctrl_of(lv);
      std::uint32_t g = home_group(lv, h);
      for (std::uint32_t k = 0; k < lv.max_probe_groups; ++k) {
        if (k != 0) g = (g + k) & lv.group_mask;
        const Group group(ctrl + g * GROUP_WIDTH);
        if (const BitMask tombstones = group.match_tag(CTRL_TOMBSTONE))
          return Reachable{Placement{i, g * GROUP_WIDTH + tombstones.lowest(), k + 1}, MissCost::none};
        if (!group.has_empty()) continue;
        // Lookups stop at this group, so nothing further along is reachable.
        const BitMask empty = group.match_free();
        const MissCost cost = empty.count() > 1                            ? MissCost::none
                              : lv.max_probe_groups <= 2 * lv.probe_budget ? MissCost::bounded
                                                                           : MissCost::high;
        if (cost == MissCost::none) return Reachable{Placement{i, g * GROUP_WIDTH + empty.lowest(), k + 1}, cost};
        if (!best || cost < best->cost) best = Reachable{Placement{i, g * GROUP_WIDTH + empty.lowest(), k + 1}, cost};
        break;
      }
    }
    return best;
  }

  // A free slot that raises some level's max_probe_groups the least (a level
  // nobody probes yet counts its whole probe length), looked for with a
  // doubling allowance so that the cost stays near what is finally added.
  std::optional<Placement> least_growth_slot(std::uint64_t h) const {
    for (std::uint32_t extra = 1;; extra = sat_mul(extra, 2)) {
      std::optional<Placement> best;
      std::uint32_t best_growth = U32_MAX;
      bool whole_levels = true;
      for (std::uint32_t i = 0; i < levels_.size(); ++i) {
        const ElasticLevel& lv = levels_[i];
        if (lv.len >= lv.slot_count) continue;
        const std::uint32_t limit = std::min(sat_add(lv.max_probe_groups, extra), lv.group_count);
        whole_levels = whole_levels && limit == lv.group_count;
        const std::optional<Placement> p = probe_level(i, h, limit);
        if (p && p->probe_length - std::min(p->probe_length, lv.max_probe_groups) < best_growth) {
          best_growth = p->probe_length - std::min(p->probe_length, lv.max_probe_groups);
          best = p;
        }
      }
      if (best || whole_levels) return best;
    }
  }

  // Moves the entry at `from` to the free slot `to`; `from` is left a
  // tombstone, marked before the moved-from entry is destroyed.
  void relocate(Location from, const Placement& to) noexcept {
    ElasticLevel& src = levels_[from.level];
    ElasticLevel& dst = levels_[to.level];
    Entry* e = entries_of(src) + from.slot;
    std::uint8_t& dst_ctrl = ctrl_of(dst)[to.slot];
    ::new (static_cast<void*>(entries_of(dst) + to.slot)) Entry(std::move(*e));
    if (dst_ctrl == CTRL_TOMBSTONE) --dst.tombstones;
    dst_ctrl = ctrl_of(src)[from.slot];
    mark_passed(dst, table_hash(key_hash_word(entries_of(dst)[to.slot].key), seed()), to.probe_length - 1);
    dst.max_probe_groups = std::max(dst.max_probe_groups, to.probe_length);
    ++dst.len;
    max_populated_level_ = std::max(max_populated_level_, to.level);
    this->scan_floor_.lower(to.level, to.slot);
    ctrl_of(src)[from.slot] = CTRL_TOMBSTONE;
    --src.len;
    ++src.tombstones;
    std::destroy_at(e);
  }

 public:
  // A free slot for a key known to be absent, steered by the batch plan.
  BRINDLE_INLINE std::optional<Placement> choose_slot_for_new_key(std::uint64_t h) const {
    const auto level_count = static_cast<std::uint32_t>(levels_.size());
    if (level_count == 0) return std::nullopt;
    auto full_probe = [&](std::uint32_t i) -> std::optional<Placement> {
      const ElasticLevel& lv = levels_[i];
      if (lv.len >= lv.slot_count) return std::nullopt;
      return probe_level(i, h, lv.group_count);
    };
    const std::uint32_t b = batch_index_;
    std::optional<Placement> found;
    if (b == 0) {
      found = full_probe(0);
    } else if (b >= level_count) {
      found = full_probe(level_count - 1);
    } else {
      const ElasticLevel& prev = levels_[b - 1];
      const ElasticLevel& cur = levels_[b];
      const std::uint32_t free_prev = sat_sub(prev.slot_count, prev.len);
      const std::uint32_t free_cur = sat_sub(cur.slot_count, cur.len);
      if (free_prev <= prev.reserve_slots) {
        // The previous level is as full as its batch allows.
        if (!(found = full_probe(b))) found = full_probe(b - 1);
      } else if (sat_mul(4, free_cur) <= cur.slot_count) {
        // The current level is at least three quarters full.
        if (!(found = full_probe(b - 1))) found = full_probe(b);
      } else {
        if (prev.len < prev.slot_count) {
          // A few groups of the fuller level first; how many shrinks as it fills.
          const std::uint32_t limit =
              std::min(std::max<std::uint32_t>(prev.group_count, 1), prev.first_try_groups(free_prev));
          if (limit >= 1) found = probe_level(b - 1, h, limit);
        }
        if (!found) found = full_probe(b);
        if (!found) found = full_probe(b - 1);
      }
    }
    for (std::uint32_t i = 0; !found && i < level_count; ++i) found = full_probe(i);
    return found;
  }

  // The first free slot within the first `limit` groups of the level's probe sequence.
  BRINDLE_INLINE std::optional<Placement> probe_level(std::uint32_t level, std::uint64_t h, std::uint32_t limit) const {
    const ElasticLevel& lv = levels_[level];
    const std::uint8_t* ctrl = ctrl_of(lv);
    std::uint32_t g = home_group(lv, h);
    for (std::uint32_t k = 0; k < limit; ++k) {
      if (k != 0) g = (g + k) & lv.group_mask;
      if (const BitMask free = Group(ctrl + g * GROUP_WIDTH).match_free()) {
        const std::uint32_t slot = g * GROUP_WIDTH + free.lowest();
        if (slot < lv.slot_count) return Placement{level, slot, k + 1};
      }
    }
    return std::nullopt;
  }

  // The regions a scan walks are the levels.
  std::uint32_t scan_regions() const noexcept { return static_cast<std::uint32_t>(levels_.size()); }
  ScanRegion scan_region(std::uint32_t r) const noexcept { return {views_[r].ctrl, levels_[r].slot_count}; }
  static Location scan_location(std::uint32_t r, std::uint32_t slot) noexcept { return {r, slot}; }

  // The lookup walk behind find and probe (see ProbeWalk).
  template <bool Count, class Q>
  BRINDLE_INLINE std::optional<Location> find_impl(const Q& key, std::uint64_t h, std::uint8_t t,
                                                   std::uint64_t* groups) const {
    if (levels_.empty()) return std::nullopt;
    const std::uint8_t pass = pass_bit(h);
    const std::uint32_t top = std::min(static_cast<std::uint32_t>(levels_.size()) - 1, max_populated_level_);
    for (std::uint32_t i = 0; i <= top; ++i) {
      // A level whose entries were all removed is still walked, to its
      // first group whose pass bit is clear; one test less for the others.
      const std::uint32_t probe_groups = levels_[i].max_probe_groups;
      if (probe_groups == 0) continue;
      const LevelView& view = views_[i];
      const std::uint8_t* ctrl = view.ctrl;
      const std::uint8_t* passes = view.passes;
      const Entry* entries = view.entries;
      std::uint32_t g = (static_cast<std::uint32_t>(h) ^ view.salt) & view.group_mask;
      for (std::uint32_t k = 0; k < probe_groups; ++k) {
        if (k != 0) g = (g + k) & view.group_mask;
        const Group group(ctrl + g * GROUP_WIDTH);
        if constexpr (Count) ++*groups;
        for (std::uint32_t bit : group.match_tag(t)) {
          const std::uint32_t slot = g * GROUP_WIDTH + bit;
          if (key == entries[slot].key) return Location{i, slot};
        }
        // No key of this pass bit went further.  A group with an empty slot
        // was never passed, so this stops at least where an empty slot would.
        if (!(passes[g] & pass)) break;
      }
    }
    return std::nullopt;
  }

 private:
  Entry take(Location loc) noexcept {
    ElasticLevel& lv = levels_[loc.level];
    Entry* p = entries_of(lv) + loc.slot;
    Entry e(std::move(*p));
    ctrl_of(lv)[loc.slot] = CTRL_TOMBSTONE;
    --len_;
    --lv.len;
    ++lv.tombstones;
    std::destroy_at(p);  // only once the slot no longer reads full, as in drop_entries
    return e;
  }

  double delta_;
  TableSeed<S> seed_;
  [[no_unique_address]] A alloc_;
  ArenaType arena_;
  LevelArray levels_;
  ViewArray views_;  // one per level, pointing into arena_
  PlanArray plan_;
};

}  // namespace brindle
