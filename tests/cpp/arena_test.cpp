#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "common/arena/control.hpp"
#include "common/arena/layout.hpp"
#include "common/arena/slot_entry.hpp"

namespace brindle {
namespace {

TEST(ArenaLayout, SizesAndOffsetsAtTheEdges) {
  constexpr std::uint64_t kMaxObject = PTRDIFF_MAX;
  struct Case {
    std::uint64_t n;
    std::size_t entry_size, entry_align;
    std::optional<ArenaLayout> want;
  };
  const Case cases[] = {
      {0, 12, 4, ArenaLayout{64, 64, 4}},  // zero slots are laid out as one
      {0, 8, 4, ArenaLayout{64, 64, 4}},
      {0, 8, 8, ArenaLayout{64, 64, 8}},  // pointer-holding entries start 8-aligned
      {5, 12, 4, ArenaLayout{64, 128, 8}},
      {4, 12, 4, ArenaLayout{64, 64, 8}},  // 4 + 1 pass byte, padded to 8; 8 + 48 = 56
      {5, 16, 8, ArenaLayout{64, 128, 8}},
      {5, 16, 16, ArenaLayout{64, 128, 16}},
      {1, 24, 8, ArenaLayout{64, 64, 8}},
      {3, 24, 8, ArenaLayout{64, 128, 8}},  // 8 + 72 = 80
      {0x7FFFFFC0, 1, 1, ArenaLayout{64, 0x107FFFF80, 0x87FFFFBC}},
      {0x7FFFFFC1, 1, 1, std::nullopt},
      {~std::uint64_t{0}, 1, 1, std::nullopt},
      {1, kMaxObject - 67, 4, ArenaLayout{64, kMaxObject / 64 * 64, 4}},  // total exactly max - 63
      {1, kMaxObject - 66, 4, std::nullopt},
      {std::uint64_t{1} << 20, std::size_t{1} << 44, 8, std::nullopt},  // m * E overflows
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "n=" << c.n << " E=" << c.entry_size << " align=" << c.entry_align);
    EXPECT_EQ(layout_for_size(c.n, c.entry_size, c.entry_align), c.want);
  }
  EXPECT_EQ((layout_for<SlotEntry<std::uint64_t, Unit>>(3)->entries_offset % alignof(std::uint64_t)), 0u);
}

TEST(ArenaLayout, AllocationIsAlignedAndMarkedEmpty) {
  using Entry = SlotEntry<std::uint64_t, std::uint64_t>;
  for (std::uint64_t n : {0u, 1u, 5u, 80u, 1000u}) {
    auto arena = Arena<Entry, SystemAllocator>::allocate(n);
    ASSERT_TRUE(arena.allocated());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(arena.ctrl()) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(arena.entries()) % alignof(Entry), 0u);
    for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(arena.ctrl()[i], CTRL_EMPTY);
  }
  EXPECT_THROW((Arena<Entry, SystemAllocator>::allocate(0x7FFFFFC1)), std::bad_alloc);
}

// Both group scans against the scalar reading of the control code.
void check_all(const std::uint8_t* b) {
  auto mask = [b](auto p) {
    std::uint32_t m = 0;
    for (std::uint32_t i = 0; i < GROUP_WIDTH; ++i) m |= p(b[i]) ? 1u << i : 0;
    return m;
  };
  auto check = [&](const auto& g) {
    for (int t = 0; t < 256; ++t) ASSERT_EQ(g.match_tag(t).bits(), mask([t](std::uint8_t c) { return c == t; })) << t;
    ASSERT_EQ(g.match_free().bits(), mask([](std::uint8_t c) { return (c & 0x7F) == 0; }));
    ASSERT_EQ(g.match_full().bits(), mask([](std::uint8_t c) { return (c & 0x7F) != 0; }));
    ASSERT_EQ(g.has_empty(), mask([](std::uint8_t c) { return c == 0; }) != 0);
  };
  check(GroupPortable(b));
  check(Group(b));
}

TEST(ControlGroup, VectorAndPortableScansAgreeWithTheScalarCode) {
  // Adversarial groups: uniform bytes of every interesting kind, and mixes of
  // tombstones with empties, full tags and high-bit bytes that are not tags.
  std::uint8_t b[GROUP_WIDTH];
  for (std::uint8_t fill : {0x00, 0x80, 0x01, 0x7F, 0x81, 0xFF, 0xFE}) {
    std::fill(std::begin(b), std::end(b), fill);
    check_all(b);
  }
  const std::uint8_t pool[] = {0x00, 0x80, 0x01, 0x40, 0x7F, 0x81, 0xC0, 0xFF};
  std::mt19937_64 rng(1);
  for (int i = 0; i < 20000; ++i) {
    for (auto& c : b) c = i % 2 ? pool[rng() % 8] : static_cast<std::uint8_t>(rng());
    check_all(b);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace brindle
