#include "registry.hpp"

#include <array>

#include "iterator.hpp"
#include "map_type.hpp"

namespace brindle::py {

std::span<const ClassEntry> registered_classes() {
  static const std::array<ClassEntry, 8> classes = {{
      {"ElasticHashMap", MapType<ElasticTraits>::type, true},
      {"FunnelHashMap", MapType<FunnelTraits>::type, true},
      {"_ElasticKeyIter", IterType<ElasticTraits, IterKind::Key>::type, true},
      {"_ElasticValueIter", IterType<ElasticTraits, IterKind::Value>::type, true},
      {"_ElasticItemIter", IterType<ElasticTraits, IterKind::Item>::type, true},
      {"_FunnelKeyIter", IterType<FunnelTraits, IterKind::Key>::type, true},
      {"_FunnelValueIter", IterType<FunnelTraits, IterKind::Value>::type, true},
      {"_FunnelItemIter", IterType<FunnelTraits, IterKind::Item>::type, true},
  }};
  return classes;
}

}  // namespace brindle::py
