#pragma once
// The classes the module registers, in the order they appear in `__all__`.

#include <span>

#include "owned_ref.hpp"

namespace brindle::py {

struct ClassEntry {
  const char* name;
  // Creates the type object on first use (once per process); null with a
  // Python error set on failure.
  PyTypeObject* (*type)();
  bool exported;
};

std::span<const ClassEntry> registered_classes();

// Whether `o` is an instance of one of the registered classes.
bool is_brindle_object(PyObject* o) noexcept;

}  // namespace brindle::py
