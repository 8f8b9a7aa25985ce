#pragma once
// What a raw table declares for the generic containers (see RawTable), with
// the walks written once for both tables.  A table derives from
// TableBase<itself, K, V, its Location> and supplies, publicly, what the
// walks call: find_impl for ProbeWalk; scan_regions, scan_region and
// scan_location for ScanWalk.

#include <type_traits>

#include "../common/arena/slot_entry.hpp"
#include "probe_walk.hpp"
#include "scan_walk.hpp"

namespace brindle {

template <class Table, class K, class V, class Loc>
class TableBase : public ProbeWalk<Table, K, Loc>, public ScanWalk<Table, Loc> {
  static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>,
                "a rebuild moves entries after the old arena is detached; a throwing move would lose them");

 public:
  using key_type = K;
  using mapped_type = V;
  using Entry = SlotEntry<K, V>;
  using Location = Loc;
  using ScanCursor = brindle::ScanCursor;
};

}  // namespace brindle
