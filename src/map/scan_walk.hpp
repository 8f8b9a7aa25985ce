#pragma once
// scan_advance, written once for both tables.  A table's slots, in scan
// order, are a sequence of regions (the elastic levels; the funnel levels,
// special parts and overflow area), each a run of control bytes scanned a
// group at a time.  The table supplies
//   scan_regions()            how many regions there are,
//   scan_region(r)            the control bytes and slot count of region r,
//   scan_location(r, slot)    the Location of a slot of region r,
// and keeps scan_floor_ where its placements, rebuilds and clears move it.

#include <atomic>
#include <bit>
#include <cstdint>
#include <optional>

#include "../common/arena/control.hpp"
#include "../common/inline.hpp"

namespace brindle {

// A resumable position in a scan.  Plain value; a default-made cursor has not
// started.
struct ScanCursor {
  std::uint32_t region = 0;
  std::uint32_t next_group = 0;  // slot index in the region of the next group to load
  std::uint32_t region_end = 0;  // slot count of the region
  std::uint32_t group_base = 0;  // slot index in the region of the group loaded last
  std::uint16_t pending = 0;     // full slots of that group not yet yielded
  bool started = false;
#if defined(BRINDLE_SCAN_STATS)
  // Groups of control bytes this cursor has loaded, for tests that hold scans
  // to their cost; builds without BRINDLE_SCAN_STATS keep no count.
  std::uint64_t groups_loaded = 0;
#endif
};

struct ScanRegion {
  const std::uint8_t* ctrl;
  std::uint32_t slot_count;
};

// A group's place in scan order: region and first slot, packed so that scan
// order is numeric order.
constexpr std::uint64_t scan_position(std::uint32_t region, std::uint32_t slot) noexcept {
  return static_cast<std::uint64_t>(region) << 32 | (slot & ~(GROUP_WIDTH - 1));
}

// A lower bound on the first group in scan order that may hold an entry.
// Placements lower it, rebuilds and clears reset it, and a fresh scan
// raises it to where it finds the first entry, which is what keeps repeated
// removal of the first entry linear.  Atomic because scans are const and
// concurrent readers may all raise it; a move hands it over and leaves 0.
class ScanFloor {
 public:
  ScanFloor() = default;
  ScanFloor(const ScanFloor&) = delete;
  ScanFloor& operator=(const ScanFloor&) = delete;
  ScanFloor(ScanFloor&& o) noexcept : position_(o.position_.exchange(0, std::memory_order_relaxed)) {}
  ScanFloor& operator=(ScanFloor&& o) noexcept {
    position_.store(o.position_.exchange(0, std::memory_order_relaxed), std::memory_order_relaxed);
    return *this;
  }

  std::uint64_t position() const noexcept { return position_.load(std::memory_order_relaxed); }
  void reset(std::uint64_t position) noexcept { position_.store(position, std::memory_order_relaxed); }
  void raise(std::uint64_t position) const noexcept { position_.store(position, std::memory_order_relaxed); }
  void lower(std::uint32_t region, std::uint32_t slot) noexcept {
    const std::uint64_t pos = scan_position(region, slot);
    if (pos < position()) reset(pos);
  }

 private:
  mutable std::atomic<std::uint64_t> position_{0};
};

template <class Table, class Location>
class ScanWalk {
 public:
  // Next full slot in scan order.  Most steps yield another slot of the
  // group loaded last; a fresh cursor has none pending.
  BRINDLE_INLINE std::optional<Location> scan_advance(ScanCursor& c) const {
    if (c.pending != 0) [[likely]]
      return take_pending(c);
    return load_and_advance(c);
  }

 protected:
  ScanFloor scan_floor_;

 private:
  const Table& table() const noexcept { return static_cast<const Table&>(*this); }

  BRINDLE_INLINE Location take_pending(ScanCursor& c) const {
    const auto bit = static_cast<std::uint32_t>(std::countr_zero(c.pending));
    c.pending = static_cast<std::uint16_t>(c.pending & (c.pending - 1));
    return table().scan_location(c.region, c.group_base + bit);
  }

  // Loads groups until one holds an entry.  A fresh cursor starts at the
  // scan floor and moves it to the first entry it finds.
  std::optional<Location> load_and_advance(ScanCursor& c) const {
    const Table& t = table();
    const std::uint32_t regions = t.scan_regions();
    const bool fresh = !c.started;
    if (fresh) {
      const std::uint64_t floor = scan_floor_.position();
      c.started = true;
      c.region = static_cast<std::uint32_t>(floor >> 32);
      c.next_group = static_cast<std::uint32_t>(floor);
      c.region_end = c.region < regions ? t.scan_region(c.region).slot_count : 0;
    }
    while (c.region < regions) {
      const std::uint8_t* ctrl = t.scan_region(c.region).ctrl;
      while (c.next_group < c.region_end) {
        c.group_base = c.next_group;
        c.pending = static_cast<std::uint16_t>(Group(ctrl + c.next_group).match_full().bits());
        c.next_group += GROUP_WIDTH;
#if defined(BRINDLE_SCAN_STATS)
        ++c.groups_loaded;
#endif
        if (c.pending != 0) {
          if (fresh) scan_floor_.raise(scan_position(c.region, c.group_base));
          return take_pending(c);
        }
      }
      ++c.region;
      c.next_group = 0;
      c.region_end = c.region < regions ? t.scan_region(c.region).slot_count : 0;
    }
    if (fresh) scan_floor_.raise(scan_position(regions, 0));
    return std::nullopt;
  }
};

}  // namespace brindle
