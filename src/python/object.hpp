#pragma once
// Layout shared by the container objects, and the plumbing that builds C++
// members inside CPython-allocated objects.

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include <vector>

#include "borrow.hpp"
#include "release.hpp"

namespace brindle::py {

// Every container starts with this, so iterators and views can check the
// version and borrow the flag of any owner without knowing its table.
// Only the holder of the exclusive borrow writes `version`; it is atomic so
// that an iterator may peek at it without taking a borrow of its own.
// The scan order a table had before a rebuild that changed no entry, kept
// for the iterators that were part-way through it.  Its references are
// released like any the container drops.
struct Stash {
  std::uint64_t layout;         // the layout number the order belonged to
  std::vector<PyObject*> refs;  // owned: key, value pairs for maps, keys for sets
  Stash() = default;
  Stash(const Stash&) = delete;
  Stash& operator=(const Stash&) = delete;
  ~Stash() {
    for (PyObject* o : refs) drop_ref(o);
  }
};
using StashList = std::vector<std::shared_ptr<const Stash>>;

struct ContainerHeader {
  PyObject_HEAD std::atomic<std::uint64_t> version_;
  BorrowFlag flag;
  // Iterators read their owner's table as they go.  A rebuild that changes
  // no entry bumps no version but reorders the scan; `layout` numbers the
  // orders, and `stashes` keeps the old ones while iterators may need them.
  // `iterated` says an iterator was made since the last bump or stash, so a
  // rebuild with nobody iterating costs nothing extra.
  std::uint64_t layout;
  std::atomic<bool> iterated;
  StashList* stashes;

  std::uint64_t version() const noexcept { return version_.load(std::memory_order_relaxed); }
  void set_version(std::uint64_t v) noexcept { version_.store(v, std::memory_order_relaxed); }
  // A change ends every iterator made before it, and with them every stash.
  void bump() noexcept {
    set_version(version() + 1);
    iterated.store(false, std::memory_order_relaxed);
    if (stashes != nullptr) [[unlikely]]
      drop_stashes();
  }
  void drop_stashes() noexcept { delete std::exchange(stashes, nullptr); }
};

inline ContainerHeader* header_of(PyObject* o) noexcept { return reinterpret_cast<ContainerHeader*>(o); }

// A C++ member living inside a CPython-allocated object.  tp_alloc hands out
// zeroed memory, so `live` starts false; dealloc destroys only what was built.
template <class T>
struct Slot {
  bool live;
  union {
    T value;
  };
  Slot() = delete;
  ~Slot() = delete;

  template <class... Args>
  T& emplace(Args&&... args) {
    new (&value) T(std::forward<Args>(args)...);
    live = true;
    return value;
  }
  void destroy() noexcept {
    if (live) std::destroy_at(&value);
    live = false;
  }
};

// Allocates an instance of `type` and runs `init` on it; if `init` throws,
// the object is released again (its dealloc sees only what was built).
template <class Obj, class Init>
Obj* alloc_object(PyTypeObject* type, Init&& init) {
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) throw_python_error();
  Obj* obj = reinterpret_cast<Obj*>(raw);
  new (&reinterpret_cast<ContainerHeader*>(raw)->flag) BorrowFlag();
  try {
    init(obj);
  } catch (...) {
    Py_DECREF(raw);
    throw;
  }
  return obj;
}

inline PyTypeObject* type_from_spec(PyType_Spec* spec) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
}

}  // namespace brindle::py
