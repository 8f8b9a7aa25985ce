#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "common/arena/control.hpp"
#include "common/arena/layout.hpp"
#include "common/arena/slot_entry.hpp"

namespace brindle {
namespace {

// The control and pass bytes come first, the entries after them aligned for
// their type (at least 4), and the whole rounded up to a cache line, with no
// more padding than that needs.
TEST(ArenaLayout, FitsItsPartsTightlyAndRefusesWhatCannotBeRepresented) {
  for (std::uint64_t n : {0u, 1u, 4u, 5u, 16u, 17u, 1000u, 0x7FFFFFC0u})
    for (std::size_t align : {1u, 4u, 8u, 16u})
      for (std::size_t size : {align, 12 / align * align + align, 3 * align}) {
        SCOPED_TRACE(::testing::Message() << "n=" << n << " E=" << size << " align=" << align);
        const auto l = layout_for_size(n, size, align);
        ASSERT_TRUE(l);
        const std::uint64_t slots = std::max<std::uint64_t>(n, 1), a = std::max<std::size_t>(align, 4);
        EXPECT_EQ(l->alignment, 64u);
        EXPECT_EQ(l->entries_offset % a, 0u);
        EXPECT_GE(l->entries_offset, slots + pass_bytes_for(slots));
        EXPECT_LT(l->entries_offset, slots + pass_bytes_for(slots) + a);
        EXPECT_EQ(l->size % 64, 0u);
        EXPECT_GE(l->size, l->entries_offset + slots * size);
        EXPECT_LT(l->size, l->entries_offset + slots * size + 64);
      }
  constexpr std::uint64_t kMaxObject = PTRDIFF_MAX;
  EXPECT_FALSE(layout_for_size(0x7FFFFFC1, 1, 1));
  EXPECT_FALSE(layout_for_size(~std::uint64_t{0}, 1, 1));
  EXPECT_TRUE(layout_for_size(1, kMaxObject - 67, 4));  // exactly max - 63 in all
  EXPECT_FALSE(layout_for_size(1, kMaxObject - 66, 4));
  EXPECT_FALSE(layout_for_size(std::uint64_t{1} << 20, std::size_t{1} << 44, 8));  // n * E overflows
}

// Both group scans against the scalar reading of the control code, on
// groups mixing empties, tombstones, tags and high-bit bytes that are not tags.
TEST(ControlGroup, VectorAndPortableScansAgreeWithTheScalarCode) {
  const std::uint8_t pool[] = {0x00, 0x80, 0x01, 0x40, 0x7F, 0x81, 0xC0, 0xFF};
  std::mt19937_64 rng(1);
  std::uint8_t b[GROUP_WIDTH];
  for (int i = 0; i < 20000; ++i) {
    for (auto& c : b) c = i < 8 ? pool[i] : i % 2 ? pool[rng() % 8] : static_cast<std::uint8_t>(rng());
    auto mask = [&](auto p) {
      std::uint32_t m = 0;
      for (std::uint32_t j = 0; j < GROUP_WIDTH; ++j) m |= p(b[j]) ? 1u << j : 0;
      return m;
    };
    auto check = [&](const auto& g) {
      const std::uint8_t t = static_cast<std::uint8_t>(rng());
      ASSERT_EQ(g.match_tag(t).bits(), mask([t](std::uint8_t c) { return c == t; }));
      ASSERT_EQ(g.match_tag(b[0]).bits(), mask([&](std::uint8_t c) { return c == b[0]; }));
      ASSERT_EQ(g.match_free().bits(), mask([](std::uint8_t c) { return (c & 0x7F) == 0; }));
      ASSERT_EQ(g.match_full().bits(), mask([](std::uint8_t c) { return (c & 0x7F) != 0; }));
      ASSERT_EQ(g.has_empty(), mask([](std::uint8_t c) { return c == 0; }) != 0);
    };
    check(GroupPortable(b));
    check(Group(b));
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace brindle
