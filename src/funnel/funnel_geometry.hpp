#pragma once
// Sizing of the funnel table: how a nominal slot count and a reserve fraction
// become bucket levels and a two-part special array.  Pure functions, shared
// by construction and every rebuild.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "../common/arena/control.hpp"
#include "../common/saturate.hpp"
#include "../map/failure.hpp"
#include "../map/sizing.hpp"

namespace brindle {

inline constexpr double FUNNEL_MIN_RESERVE_FRACTION = 0.000001;
inline constexpr double FUNNEL_MAX_RESERVE_FRACTION = 0.125;

namespace funnel_detail {

// f64 to u32 the way every sizing step converts: NaN and negatives give 0,
// anything too large saturates.
inline std::uint32_t to_u32(double x) noexcept {
  if (!(x > 0.0)) return 0;
  if (x >= 4294967295.0) return U32_MAX;
  return static_cast<std::uint32_t>(x);
}

// NaN operands of the max() steps count as `fallback`.
inline double max_or(double x, double floor_value, double fallback) noexcept {
  if (std::isnan(x)) return fallback;
  return std::max(x, floor_value);
}

constexpr std::uint32_t next_power_of_two(std::uint32_t x) noexcept {
  if (x <= 1) return 1;
  if (x > 0x80000000u) return U32_MAX;
  return std::bit_ceil(x);
}

constexpr std::uint32_t round_up_16(std::uint32_t x) noexcept {
  return x > U32_MAX - 15 ? U32_MAX & ~15u : (x + 15) & ~15u;
}

// Bucket-count bounds of the level after one holding p buckets: roughly
// three quarters of p, in u32 with 3p saturated.
constexpr std::uint32_t lower_next(std::uint32_t p) noexcept { return (sat_sub(sat_mul(3, p), 4) + 3) >> 2; }
constexpr std::uint32_t upper_next(std::uint32_t p) noexcept {
  return std::max(std::min(p, sat_add(sat_mul(3, p), 4) >> 2), lower_next(p));
}
constexpr std::uint32_t target_next(std::uint32_t p) noexcept {
  const auto t = static_cast<std::uint32_t>(3ull * p + 2) >> 2;
  return std::clamp(t, lower_next(p), upper_next(p));
}

// Smallest and largest totals that `following` more levels can take after a
// level of c buckets.
inline std::uint64_t min_following(std::uint32_t c, std::uint32_t following) noexcept {
  std::uint64_t sum = 0;
  for (std::uint32_t j = 0; j < following && c != 0; ++j) sum += c = lower_next(c);
  return sum;
}
inline std::uint64_t max_following(std::uint32_t c, std::uint32_t following) noexcept {
  std::uint64_t sum = 0;
  for (std::uint32_t j = 0; j < following && c != 0; ++j) sum += c = upper_next(c);
  return sum;
}

}  // namespace funnel_detail

// Reserve fractions outside the usable range are pulled into it rather than
// rejected; the Python layer validates user input before it gets here.
inline double clamp_funnel_reserve_fraction(double r) noexcept {
  if (!std::isfinite(r)) return FUNNEL_MAX_RESERVE_FRACTION;
  return std::min(std::clamp(r, FUNNEL_MIN_RESERVE_FRACTION, 0.999999), FUNNEL_MAX_RESERVE_FRACTION);
}

inline std::uint32_t funnel_max_items(std::uint64_t n, double delta) noexcept {
  const auto nominal = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, U32_MAX));
  return sat_sub(nominal, funnel_detail::to_u32(std::floor(delta * static_cast<double>(nominal))));
}

// The smallest nominal slot count whose item limit reaches a requested number
// of items; 0 for 0.
inline std::uint32_t funnel_nominal_slots(std::uint64_t requested, double delta) {
  return nominal_slots_reaching(0, saturate_u32(requested),
                                [delta](std::uint32_t n) { return funnel_max_items(n, delta); });
}

inline std::uint32_t funnel_level_count(double delta) noexcept {
  const double l = std::log2(1.0 / delta);
  return funnel_detail::to_u32(std::ceil(funnel_detail::max_or(10.0 + 4.0 * l, 1.0, 1.0)));
}

inline std::uint32_t funnel_beta(double delta) noexcept {
  const double l = std::log2(1.0 / delta);
  return funnel_detail::to_u32(std::ceil(funnel_detail::max_or(2.0 * l, 1.0, 1.0)));
}

inline std::uint32_t funnel_probe_limit(std::uint32_t n) noexcept {
  double x = std::log2(static_cast<double>(std::max<std::uint32_t>(n, 4)));
  if (std::isnan(x)) x = 2.0;
  double y = std::ceil(std::log2(std::max(x, 2.0)));
  if (std::isnan(y)) y = 1.0;
  return std::max<std::uint32_t>(funnel_detail::to_u32(std::max(y, 1.0)), 1);
}

inline std::uint32_t choose_special_capacity(std::uint32_t n, std::uint32_t w, double delta) noexcept {
  using funnel_detail::to_u32;
  if (n == 0) return 0;
  if (w == 0) return n;
  const double dn = static_cast<double>(n);
  const std::uint32_t lower = std::min(n, to_u32(std::ceil(delta * dn * 0.5)));
  const std::uint32_t upper = to_u32(std::floor(delta * 3.0 * dn * 0.25));
  if (upper >= lower) {
    // Any w consecutive sizes contain one that leaves a multiple of w, so
    // this loop is short.
    for (std::uint32_t s = std::min(upper, n);; --s) {
      if ((n - s) % w == 0) return s;
      if (s == lower) break;
    }
  }
  // Nearest of the sizes n, n - w, n - 2w, ... to the target; a tie goes to
  // the larger size.
  const std::uint32_t target = to_u32(std::round(std::min(std::max(delta * 5.0 * dn * 0.125, 0.0), dn)));
  const std::uint32_t r = n % w;
  std::uint32_t chosen = r;
  if (target > r) {
    const std::uint32_t below = r + (target - r) / w * w;
    const std::uint64_t above = static_cast<std::uint64_t>(below) + w;
    chosen = (above <= n && above - target <= target - below) ? static_cast<std::uint32_t>(above) : below;
  }
  return chosen == 0 ? std::min(n, w) : chosen;
}

// Bucket counts per level, starting with `first` and falling by about a
// quarter per level, that sum to `total`; nothing if no such sequence exists.
// Among the feasible counts of a level the one nearest the three-quarter
// target wins, the smaller on a tie.  Both feasibility bounds grow with the
// candidate, so the feasible candidates form an interval that two binary
// searches find.
inline std::optional<std::vector<std::uint32_t>> build_funnel_bucket_sequence(std::uint32_t total, std::uint32_t levels,
                                                                              std::uint32_t first) {
  using namespace funnel_detail;
  if (first > total || levels == 0) return std::nullopt;
  std::vector<std::uint32_t> seq;
  seq.reserve(levels);
  seq.push_back(first);
  std::uint32_t remaining = total - first;
  std::uint32_t prev = first;
  for (std::uint32_t i = 1; i < levels; ++i) {
    const std::uint32_t following = levels - 1 - i;
    const std::uint32_t lo = lower_next(prev);
    const std::uint32_t hi = std::min(upper_next(prev), remaining);
    if (lo > hi) return std::nullopt;
    // Largest c with c + min_following(c) <= remaining.
    auto fits_min = [&](std::uint32_t c) { return c + min_following(c, following) <= remaining; };
    // Smallest c with c + max_following(c) >= remaining.
    auto fits_max = [&](std::uint32_t c) { return c + max_following(c, following) >= remaining; };
    if (!fits_min(lo) || !fits_max(hi)) return std::nullopt;
    std::uint32_t a = lo, b = hi;  // fits_min(a) holds
    while (a < b) {
      const std::uint32_t mid = a + (b - a + 1) / 2;
      if (fits_min(mid))
        a = mid;
      else
        b = mid - 1;
    }
    const std::uint32_t feasible_hi = a;
    a = lo, b = hi;  // fits_max(b) holds
    while (a < b) {
      const std::uint32_t mid = a + (b - a) / 2;
      if (fits_max(mid))
        b = mid;
      else
        a = mid + 1;
    }
    const std::uint32_t feasible_lo = a;
    if (feasible_lo > feasible_hi) return std::nullopt;
    const std::uint32_t c = std::clamp(target_next(prev), feasible_lo, feasible_hi);
    seq.push_back(c);
    remaining -= c;
    prev = c;
  }
  if (remaining != 0) return std::nullopt;
  return seq;
}

inline std::vector<std::uint32_t> partition_funnel_buckets(std::uint32_t total, std::uint32_t levels) {
  if (levels == 0) return {};
  if (total == 0) return std::vector<std::uint32_t>(levels, 0);
  const double denom = 1.0 - std::pow(0.75, static_cast<double>(levels));
  const std::uint32_t a = denom <= 0.0 ? total : funnel_detail::to_u32(std::round(std::max(total * 0.25 / denom, 0.0)));
  for (std::uint64_t d = 0; d <= total; ++d) {
    const std::uint32_t down = sat_sub(a, saturate_u32(d));
    if (auto seq = build_funnel_bucket_sequence(total, levels, down)) return *std::move(seq);
    const std::uint32_t up = std::min(total, sat_add(a, saturate_u32(d)));
    if (up != down) {
      if (auto seq = build_funnel_bucket_sequence(total, levels, up)) return *std::move(seq);
    }
  }
  std::vector<std::uint32_t> all_first(levels, 0);
  all_first[0] = total;
  return all_first;
}

// Everything a table of n nominal slots needs to carve its arena.
struct FunnelGeometry {
  std::uint32_t nominal_slots = 0;           // n
  std::uint32_t max_items = 0;               // n - floor(delta * n)
  std::uint32_t bucket_width = 16;           // w
  std::uint32_t bucket_stride = 16;          // W, a power of two
  std::uint32_t probe_limit = 1;             // k
  std::uint32_t special_capacity = 0;        // s after the main part was rounded to whole buckets
  std::uint32_t bucket_total = 0;            // B
  std::vector<std::uint32_t> bucket_counts;  // per level, before rounding to powers of two
  std::vector<std::uint32_t> level_slots;    // per level, rounded bucket count times W
  std::uint32_t primary_slots = 0;
  std::uint32_t secondary_slots = 0;
  std::uint32_t secondary_bucket_shift = 0;
  std::uint32_t secondary_bucket_count = 0;

  std::uint32_t level_count() const noexcept { return static_cast<std::uint32_t>(level_slots.size()); }
  std::uint64_t total_slots() const noexcept {
    std::uint64_t t = static_cast<std::uint64_t>(primary_slots) + secondary_slots;
    for (std::uint32_t s : level_slots) t += s;
    return t;
  }
};

inline FunnelGeometry funnel_geometry(std::uint32_t n, double delta) {
  using namespace funnel_detail;
  FunnelGeometry g;
  g.nominal_slots = n;
  g.max_items = funnel_max_items(n, delta);
  const std::uint32_t levels = funnel_level_count(delta);
  g.bucket_width = round_up_16(funnel_beta(delta));
  g.bucket_stride = next_power_of_two(g.bucket_width);
  g.probe_limit = funnel_probe_limit(n);
  const std::uint32_t w = g.bucket_width;

  std::uint32_t s = choose_special_capacity(n, w, delta);
  std::uint32_t m = sat_sub(n, s);
  if (m % w != 0) {
    m -= m % w;
    s = n - m;
  }
  g.special_capacity = s;
  g.bucket_total = m / w;
  g.bucket_counts = partition_funnel_buckets(g.bucket_total, levels);

  g.level_slots.reserve(levels);
  for (std::uint32_t c : g.bucket_counts) {
    const std::uint32_t rounded = c < 2 ? c : next_power_of_two(c);
    g.level_slots.push_back(sat_mul(rounded, g.bucket_stride));
  }

  const std::uint32_t half = s / 2 + s % 2;
  g.primary_slots = half == 0 ? 0 : sat_mul(16, next_power_of_two((half + 15) / 16));
  g.secondary_slots = s > half ? round_up_16(s - half) : 0;
  // Secondary buckets span next_power_of_two(2k) slots.
  const std::uint32_t q = sat_mul(2, g.probe_limit);
  g.secondary_bucket_shift = 32 - static_cast<std::uint32_t>(std::countl_zero(q - 1));
  g.secondary_bucket_count = static_cast<std::uint32_t>(
      (static_cast<std::uint64_t>(g.secondary_slots) + (1ull << g.secondary_bucket_shift) - 1) >>
      g.secondary_bucket_shift);
  return g;
}

}  // namespace brindle
