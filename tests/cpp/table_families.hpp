#pragma once
// The raw table types that the generic tests run over, as families that can
// be instantiated with any key and value type.

#include <gtest/gtest.h>

#include <cstdint>

#include "common/arena/layout.hpp"
#include "elastic/elastic_table.hpp"
#include "funnel/funnel_table.hpp"

namespace brindle::test {

template <template <class, class, class, class> class Table>
struct TableFamily {
  template <class K, class V>
  using Of = Table<K, V, std::uint64_t, SystemAllocator>;
};

// One entry per table type.
using TableFamilies = ::testing::Types<TableFamily<ElasticTable>, TableFamily<FunnelTable>>;

}  // namespace brindle::test
