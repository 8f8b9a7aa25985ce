#pragma once
// Sizing arithmetic saturates instead of wrapping: an oversized request must
// end as "capacity overflow", never as a small table.

#include <concepts>
#include <cstdint>
#include <limits>

namespace brindle {

inline constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

template <std::integral T>
constexpr std::uint32_t saturate_u32(T v) noexcept {
  if constexpr (std::is_signed_v<T>) {
    if (v < 0) return 0;
  }
  using U = std::make_unsigned_t<T>;
  return static_cast<U>(v) > U32_MAX ? U32_MAX : static_cast<std::uint32_t>(v);
}

constexpr std::uint32_t sat_add(std::uint32_t a, std::uint32_t b) noexcept {
  return saturate_u32(static_cast<std::uint64_t>(a) + b);
}
constexpr std::uint32_t sat_mul(std::uint32_t a, std::uint32_t b) noexcept {
  return saturate_u32(static_cast<std::uint64_t>(a) * b);
}
constexpr std::uint32_t sat_sub(std::uint32_t a, std::uint32_t b) noexcept { return a > b ? a - b : 0; }

}  // namespace brindle
