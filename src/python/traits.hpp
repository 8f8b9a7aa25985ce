#pragma once
// What distinguishes the Funnel and Elastic twins: the table, the class
// names and the reserve-fraction rule.  Everything else is shared code.

#include <cstdint>

#include "common/arena/layout.hpp"
#include "elastic/elastic_table.hpp"
#include "funnel/funnel_table.hpp"
#include "hashed_any.hpp"

namespace brindle::py {

struct ElasticTraits {
  template <class V>
  using Table = ElasticTable<HashedAny, V, std::uint64_t, SystemAllocator>;

  static constexpr const char* map_name = "ElasticHashMap";
  static constexpr const char* set_name = "ElasticHashSet";
  static constexpr const char* keys_name = "elastic_keys";
  static constexpr const char* values_name = "elastic_values";
  static constexpr const char* items_name = "elastic_items";
  static constexpr const char* key_iter_name = "_ElasticKeyIter";
  static constexpr const char* value_iter_name = "_ElasticValueIter";
  static constexpr const char* item_iter_name = "_ElasticItemIter";
  static constexpr const char* set_iter_name = "_ElasticSetIter";

  static bool valid_fraction(double f) noexcept { return f > 0.0 && f < 1.0; }
  static constexpr const char* fraction_message = "reserve_fraction must be in the open interval (0, 1)";

  // The geometry of a new table made for `n` items with the default fraction.
  static double fresh_fraction() noexcept { return clamp_elastic_reserve_fraction(DEFAULT_RESERVE_FRACTION); }
  static std::uint32_t fresh_nominal_slots(std::uint64_t n) {
    return nominal_slots_for(saturate_u32(n), fresh_fraction());
  }
};

struct FunnelTraits {
  template <class V>
  using Table = FunnelTable<HashedAny, V, std::uint64_t, SystemAllocator>;

  static constexpr const char* map_name = "FunnelHashMap";
  static constexpr const char* set_name = "FunnelHashSet";
  static constexpr const char* keys_name = "funnel_keys";
  static constexpr const char* values_name = "funnel_values";
  static constexpr const char* items_name = "funnel_items";
  static constexpr const char* key_iter_name = "_FunnelKeyIter";
  static constexpr const char* value_iter_name = "_FunnelValueIter";
  static constexpr const char* item_iter_name = "_FunnelItemIter";
  static constexpr const char* set_iter_name = "_FunnelSetIter";

  static bool valid_fraction(double f) noexcept { return f > 0.0 && f <= 0.125; }
  // 0.125 is the bound written in its shortest form.
  static constexpr const char* fraction_message =
      "reserve_fraction must be in (0, 0.125]; FunnelHashMap caps the load factor at 1/8 by design";

  static double fresh_fraction() noexcept { return clamp_funnel_reserve_fraction(DEFAULT_RESERVE_FRACTION); }
  static std::uint32_t fresh_nominal_slots(std::uint64_t n) { return funnel_nominal_slots(n, fresh_fraction()); }
};

}  // namespace brindle::py
