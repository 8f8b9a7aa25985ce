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
      {4, 12, 4, ArenaLayout{64, 64, 4}},  // 4 + 48 = 52
      {5, 16, 8, ArenaLayout{64, 128, 8}},
      {5, 16, 16, ArenaLayout{64, 128, 16}},
      {1, 24, 8, ArenaLayout{64, 64, 8}},
      {3, 24, 8, ArenaLayout{64, 128, 8}},  // 8 + 72 = 80
      {0x7FFFFFC0, 1, 1, ArenaLayout{64, 0xFFFFFF80, 0x7FFFFFC0}},
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

// The scalar reading of the control code that both group scans must match.
struct Model {
  std::uint8_t b[GROUP_WIDTH];
  template <class P>
  std::uint32_t mask(P p) const {
    std::uint32_t m = 0;
    for (std::uint32_t i = 0; i < GROUP_WIDTH; ++i)
      if (p(b[i])) m |= 1u << i;
    return m;
  }
};

template <class G>
void expect_matches_model(const Model& model) {
  const G g(model.b);
  for (int t = 0; t < 256; ++t) {
    const auto tag = static_cast<std::uint8_t>(t);
    ASSERT_EQ(g.match_tag(tag).bits(), model.mask([tag](std::uint8_t c) { return c == tag; })) << t;
  }
  ASSERT_EQ(g.match_free().bits(), model.mask([](std::uint8_t c) { return (c & 0x7F) == 0; }));
  ASSERT_EQ(g.match_full().bits(), model.mask([](std::uint8_t c) { return (c & 0x7F) != 0; }));
  ASSERT_EQ(g.has_empty(), model.mask([](std::uint8_t c) { return c == 0; }) != 0);
}

void check_all(const Model& m) {
  expect_matches_model<GroupPortable>(m);
  expect_matches_model<Group>(m);
}

TEST(ControlGroup, VectorAndPortableScansAgreeWithTheScalarCode) {
  // Adversarial groups: uniform bytes of every interesting kind, and mixes of
  // tombstones with empties, full tags and high-bit bytes that are not tags.
  for (std::uint8_t fill : {0x00, 0x80, 0x01, 0x7F, 0x81, 0xFF, 0xFE}) {
    Model m;
    std::fill(std::begin(m.b), std::end(m.b), fill);
    check_all(m);
  }
  const std::uint8_t pool[] = {0x00, 0x80, 0x01, 0x40, 0x7F, 0x81, 0xC0, 0xFF};
  std::mt19937_64 rng(1);
  for (int i = 0; i < 20000; ++i) {
    Model m;
    for (auto& c : m.b) c = i % 2 ? pool[rng() % 8] : static_cast<std::uint8_t>(rng());
    check_all(m);
    if (HasFatalFailure()) return;
  }
}

TEST(ControlGroup, TombstonesAreFreeButNotEmpty) {
  Model m;
  std::fill(std::begin(m.b), std::end(m.b), CTRL_TOMBSTONE);
  m.b[9] = 0x33;
  const Group g(m.b);
  EXPECT_FALSE(g.has_empty());
  EXPECT_EQ(g.match_free().count(), 15);
  EXPECT_EQ(g.match_full().bits(), 1u << 9);
  m.b[12] = CTRL_EMPTY;
  EXPECT_TRUE(Group(m.b).has_empty());

  std::vector<std::uint32_t> order;
  for (std::uint32_t i : BitMask(0b1010'0000'0001'0010)) order.push_back(i);
  EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 4, 13, 15}));
}

}  // namespace
}  // namespace brindle
