#include "registry.hpp"

#include <array>

#include "iterator.hpp"
#include "map_type.hpp"
#include "set_type.hpp"
#include "view_type.hpp"

namespace brindle::py {

std::span<const ClassEntry> registered_classes() {
  static const std::array<ClassEntry, 18> classes = {{
      {"ElasticHashMap", MapType<ElasticTraits>::type, true},
      {"FunnelHashMap", MapType<FunnelTraits>::type, true},
      {"ElasticHashSet", SetType<ElasticTraits>::type, true},
      {"FunnelHashSet", SetType<FunnelTraits>::type, true},
      {"elastic_keys", ViewType<ElasticTraits, ViewKind::Keys>::type, true},
      {"elastic_values", ViewType<ElasticTraits, ViewKind::Values>::type, true},
      {"elastic_items", ViewType<ElasticTraits, ViewKind::Items>::type, true},
      {"_ElasticKeyIter", IterType<ElasticTraits, IterKind::Key>::type, true},
      {"_ElasticValueIter", IterType<ElasticTraits, IterKind::Value>::type, true},
      {"_ElasticItemIter", IterType<ElasticTraits, IterKind::Item>::type, true},
      {"funnel_keys", ViewType<FunnelTraits, ViewKind::Keys>::type, true},
      {"funnel_values", ViewType<FunnelTraits, ViewKind::Values>::type, true},
      {"funnel_items", ViewType<FunnelTraits, ViewKind::Items>::type, true},
      {"_FunnelKeyIter", IterType<FunnelTraits, IterKind::Key>::type, true},
      {"_FunnelValueIter", IterType<FunnelTraits, IterKind::Value>::type, true},
      {"_FunnelItemIter", IterType<FunnelTraits, IterKind::Item>::type, true},
      {"_ElasticSetIter", IterType<ElasticTraits, IterKind::Set>::type, false},
      {"_FunnelSetIter", IterType<FunnelTraits, IterKind::Set>::type, false},
  }};
  return classes;
}

bool is_brindle_object(PyObject* o) noexcept {
  for (const ClassEntry& entry : registered_classes()) {
    // Every class was built when the module was imported.
    if (Py_TYPE(o) == entry.type()) return true;
  }
  return false;
}

}  // namespace brindle::py
