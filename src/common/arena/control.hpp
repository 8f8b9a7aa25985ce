#pragma once
// Control bytes and 16-wide group scans shared by both tables.

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle {

inline constexpr std::uint8_t CTRL_EMPTY = 0x00;
inline constexpr std::uint8_t CTRL_TOMBSTONE = 0x80;
inline constexpr std::uint32_t GROUP_WIDTH = 16;

// The bit of a group's pass byte (see Arena::passes) that belongs to hash h.
// Hash bits that neither homes nor tags use, so that keys sharing a group
// spread over all eight.
constexpr std::uint8_t pass_bit(std::uint64_t h) noexcept { return static_cast<std::uint8_t>(1u << ((h >> 32) & 7)); }

// Free slots (empty or tombstone) may take a new entry; full slots hold one.
// Both predicates look only at the low seven bits so that the tombstone's high
// bit never makes it look full.
constexpr bool is_free(std::uint8_t c) noexcept { return (c & 0x7F) == 0; }
constexpr bool is_full(std::uint8_t c) noexcept { return (c & 0x7F) != 0; }

// A set of positions within one group, iterated lowest bit first so that
// candidates come in ascending slot order.
class BitMask {
 public:
  constexpr explicit BitMask(std::uint32_t bits) noexcept : bits_(bits) {}
  constexpr std::uint32_t bits() const noexcept { return bits_; }
  constexpr bool any() const noexcept { return bits_ != 0; }
  constexpr explicit operator bool() const noexcept { return any(); }
  constexpr std::uint32_t lowest() const noexcept { return static_cast<std::uint32_t>(std::countr_zero(bits_)); }
  constexpr int count() const noexcept { return std::popcount(bits_); }

  class iterator {
   public:
    constexpr explicit iterator(std::uint32_t b) noexcept : b_(b) {}
    constexpr std::uint32_t operator*() const noexcept { return static_cast<std::uint32_t>(std::countr_zero(b_)); }
    constexpr iterator& operator++() noexcept {
      b_ &= b_ - 1;
      return *this;
    }
    constexpr bool operator==(const iterator&) const noexcept = default;

   private:
    std::uint32_t b_;
  };
  constexpr iterator begin() const noexcept { return iterator(bits_); }
  constexpr iterator end() const noexcept { return iterator(0); }

 private:
  std::uint32_t bits_;
};

// Portable group scan; the reference the vector version must agree with.
class GroupPortable {
 public:
  explicit GroupPortable(const std::uint8_t* ctrl) noexcept { std::memcpy(bytes_, ctrl, GROUP_WIDTH); }

  BitMask match_tag(std::uint8_t tag) const noexcept {
    return scan([tag](std::uint8_t c) { return c == tag; });
  }
  BitMask match_free() const noexcept { return scan(is_free); }
  BitMask match_full() const noexcept { return scan(is_full); }
  bool has_empty() const noexcept {
    return scan([](std::uint8_t c) { return c == CTRL_EMPTY; }).any();
  }

 private:
  template <class P>
  BitMask scan(P pred) const noexcept {
    std::uint32_t bits = 0;
    for (std::uint32_t i = 0; i < GROUP_WIDTH; ++i)
      if (pred(bytes_[i])) bits |= 1u << i;
    return BitMask(bits);
  }
  std::uint8_t bytes_[GROUP_WIDTH];
};

#if defined(__SSE2__)
class GroupSse2 {
 public:
  explicit GroupSse2(const std::uint8_t* ctrl) noexcept : v_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctrl))) {}

  BitMask match_tag(std::uint8_t tag) const noexcept {
    return mask(_mm_cmpeq_epi8(v_, _mm_set1_epi8(static_cast<char>(tag))));
  }
  BitMask match_free() const noexcept { return mask(_mm_cmpeq_epi8(low7(), _mm_setzero_si128())); }
  BitMask match_full() const noexcept { return BitMask(match_free().bits() ^ 0xFFFFu); }
  bool has_empty() const noexcept { return mask(_mm_cmpeq_epi8(v_, _mm_setzero_si128())).any(); }

 private:
  __m128i low7() const noexcept { return _mm_and_si128(v_, _mm_set1_epi8(0x7F)); }
  static BitMask mask(__m128i m) noexcept { return BitMask(static_cast<std::uint32_t>(_mm_movemask_epi8(m))); }
  __m128i v_;
};
using Group = GroupSse2;
#else
using Group = GroupPortable;
#endif

}  // namespace brindle
