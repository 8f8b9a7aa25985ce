#pragma once
// One allocation per table: n control bytes, a pass byte per group of them,
// then the entries.

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "control.hpp"

namespace brindle {

struct ArenaLayout {
  std::size_t alignment = 64;
  std::size_t size = 0;
  std::size_t entries_offset = 0;
  friend bool operator==(const ArenaLayout&, const ArenaLayout&) = default;
};

// A run of slots of a table's arena (an elastic level; a funnel level or
// special part) and what it holds.  Its control bytes start at control byte
// first_slot and its entries at that entry.
struct SlotRegion {
  std::uint32_t first_slot = 0;
  std::uint32_t slot_count = 0;
  std::uint32_t len = 0;
  std::uint32_t tombstones = 0;
};

inline constexpr std::size_t ARENA_ALIGN = 64;
// Counts are 32-bit; this bound keeps every offset well inside them.
inline constexpr std::uint64_t MAX_ARENA_SLOTS = 0x7FFFFFC1;

constexpr std::uint64_t pass_bytes_for(std::uint64_t slots) noexcept { return (slots + GROUP_WIDTH - 1) / GROUP_WIDTH; }

// Layout of an arena with n slots of `entry_size` bytes aligned to
// `entry_align`, or nothing when it cannot be represented.  The pass bytes
// follow the n control bytes directly, at offset n.  The entry region
// starts on a multiple of max(4, entry_align) so that pointer-holding entries
// are properly aligned on 64-bit targets.
constexpr std::optional<ArenaLayout> layout_for_size(std::uint64_t n, std::size_t entry_size,
                                                     std::size_t entry_align) noexcept {
  if (n >= MAX_ARENA_SLOTS) return std::nullopt;
  const std::uint64_t m = std::max<std::uint64_t>(n, 1);
  constexpr std::uint64_t max_object = static_cast<std::uint64_t>(PTRDIFF_MAX);
  if (entry_size != 0 && m > max_object / entry_size) return std::nullopt;
  const std::uint64_t a = std::max<std::size_t>(4, entry_align);
  const std::uint64_t c = (m + pass_bytes_for(m) + a - 1) / a * a;
  const std::uint64_t t = c + m * entry_size;
  if (t > max_object - 63) return std::nullopt;
  return ArenaLayout{ARENA_ALIGN, static_cast<std::size_t>((t + 63) / 64 * 64), static_cast<std::size_t>(c)};
}

template <class Entry>
constexpr std::optional<ArenaLayout> layout_for(std::uint64_t n) noexcept {
  return layout_for_size(n, sizeof(Entry), alignof(Entry));
}

// The process allocator.  Allocators are small copyable objects with
// allocate/deallocate; tests substitute ones that fail on demand.
struct SystemAllocator {
  void* allocate(std::size_t size, std::size_t align) { return ::operator new(size, std::align_val_t(align)); }
  void deallocate(void* p, std::size_t /*size*/, std::size_t align) noexcept {
    ::operator delete(p, std::align_val_t(align));
  }
  friend bool operator==(const SystemAllocator&, const SystemAllocator&) = default;
};

template <class A>
concept Allocator = requires(A a, void* p, std::size_t n) {
  { a.allocate(n, n) } -> std::same_as<void*>;
  a.deallocate(p, n, n);
};

// Owns the raw bytes of one arena.  Entries inside are the table's to drop
// before the arena goes; this type only frees memory.
template <class Entry, Allocator A>
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  Arena(Arena&& o) noexcept
      : layout_(o.layout_), base_(std::exchange(o.base_, nullptr)), slots_(o.slots_), alloc_(o.alloc_) {}
  Arena& operator=(Arena&& o) noexcept {
    if (this != &o) {
      release();
      layout_ = o.layout_;
      slots_ = o.slots_;
      base_ = std::exchange(o.base_, nullptr);
      alloc_ = o.alloc_;
    }
    return *this;
  }
  ~Arena() { release(); }

  // Allocates room for n slots, marks exactly n control bytes empty and
  // clears every pass byte.  Throws std::bad_alloc when the layout or the
  // allocation fails.
  static Arena allocate(std::uint64_t n, A alloc = A()) {
    auto layout = layout_for<Entry>(n);
    if (!layout) throw std::bad_alloc();
    Arena arena = allocate_raw(*layout, alloc);
    arena.slots_ = static_cast<std::uint32_t>(n);
    std::memset(arena.base_, CTRL_EMPTY, static_cast<std::size_t>(n + pass_bytes_for(n)));
    return arena;
  }

  // A new arena of the same layout: the control and pass bytes are copied
  // as they are, and copy(src, dst) placement-constructs the entry of each
  // full slot; free slots stay raw.
  // Copying goes in ascending slot order, so if `copy` throws, the entries
  // built so far are exactly the full slots below the failing one; those are
  // dropped here, since the caller never gets the arena that holds them.
  template <class CopyEntry>
  Arena clone(CopyEntry& copy) const {
    if (!allocated()) {
      Arena none;
      none.alloc_ = alloc_;
      return none;
    }
    Arena out = allocate_raw(layout_, alloc_);
    out.slots_ = slots_;
    std::uint8_t* ctrl = out.ctrl();
    std::memcpy(ctrl, this->ctrl(), slots_ + pass_bytes_for(slots_));
    const Entry* src = entries();
    Entry* dst = out.entries();
    const std::uint32_t n = slots_;
    std::uint32_t at = 0;  // the slot being copied
    try {
      for (std::uint32_t base = 0; base < n; base += GROUP_WIDTH) {
        std::uint32_t full = 0;
        if (n - base >= GROUP_WIDTH) {
          full = Group(ctrl + base).match_full().bits();
        } else {
          for (std::uint32_t i = 0; i < n - base; ++i) full |= is_full(ctrl[base + i]) ? 1u << i : 0u;
        }
        for (std::uint32_t bit : BitMask(full)) {
          at = base + bit;
          copy(src[at], dst + at);
        }
      }
    } catch (...) {
      for (std::uint32_t s = 0; s < at; ++s)
        if (is_full(ctrl[s])) std::destroy_at(dst + s);
      throw;
    }
    return out;
  }

  bool allocated() const noexcept { return base_ != nullptr; }
  const ArenaLayout& layout() const noexcept { return layout_; }
  std::uint8_t* ctrl() const noexcept { return reinterpret_cast<std::uint8_t*>(base_); }
  // One byte per group of control bytes.  Bit pass_bit(h) of a group's byte
  // is set once an insertion with that bit went past the group because it
  // had no free slot; only a new arena or clear_passes() clears it.  A
  // lookup whose bit is clear can stop at the group, full or not.
  std::uint8_t* passes() const noexcept { return ctrl() + slots_; }
  void clear_passes() noexcept {
    if (base_) std::memset(passes(), 0, static_cast<std::size_t>(pass_bytes_for(slots_)));
  }
  Entry* entries() const noexcept { return reinterpret_cast<Entry*>(base_ + layout_.entries_offset); }
  A& allocator() noexcept { return alloc_; }
  const A& allocator() const noexcept { return alloc_; }

 private:
  static Arena allocate_raw(const ArenaLayout& layout, A alloc) {
    Arena arena;
    arena.alloc_ = alloc;
    arena.base_ = static_cast<std::byte*>(arena.alloc_.allocate(layout.size, layout.alignment));
    if (arena.base_ == nullptr) throw std::bad_alloc();
    arena.layout_ = layout;
    return arena;
  }

  void release() noexcept {
    if (base_) alloc_.deallocate(base_, layout_.size, layout_.alignment);
    base_ = nullptr;
  }
  ArenaLayout layout_{};
  std::byte* base_ = nullptr;
  std::uint32_t slots_ = 0;
  [[no_unique_address]] A alloc_{};
};

}  // namespace brindle
