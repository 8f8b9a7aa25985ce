#pragma once
// References that a call removes from a container are released only after
// the call has released its borrow, so that a __del__ or weakref callback that
// reads the container finds it usable, as with dict.  Every entry point opens
// a ReleaseScope; stored keys and values go through drop_ref.

#include <cstddef>
#include <vector>

#include "owned_ref.hpp"

namespace brindle::py {

namespace detail {
inline thread_local std::vector<PyObject*> t_pending;
inline thread_local int t_scope_depth = 0;
}  // namespace detail

inline void drop_ref(PyObject* o) noexcept {
  if (detail::t_scope_depth > 0) {
    try {
      detail::t_pending.push_back(o);
      return;
    } catch (...) {
      // No room to defer: releasing now is still correct, only earlier.
    }
  }
  Py_DECREF(o);
}

class ReleaseScope {
 public:
  ReleaseScope() noexcept : mark_(detail::t_pending.size()) { ++detail::t_scope_depth; }
  ReleaseScope(const ReleaseScope&) = delete;
  ReleaseScope& operator=(const ReleaseScope&) = delete;
  ~ReleaseScope() {
    // A finalizer run here may open scopes of its own; they always restore
    // the vector to the size they found, so popping from the back is safe.
    auto& pending = detail::t_pending;
    while (pending.size() > mark_) {
      PyObject* o = pending.back();
      pending.pop_back();
      Py_DECREF(o);
    }
    --detail::t_scope_depth;
    if (detail::t_scope_depth == 0 && pending.capacity() > 4096) std::vector<PyObject*>().swap(pending);
  }

 private:
  std::size_t mark_;
};

// A stored value: one strong reference, released through drop_ref.
class StoredRef {
 public:
  explicit StoredRef(PyObject* new_ref) noexcept : p_(new_ref) {}
  static StoredRef borrow(PyObject* o) noexcept { return StoredRef(Py_NewRef(o)); }
  StoredRef(const StoredRef&) = delete;
  StoredRef& operator=(const StoredRef&) = delete;
  StoredRef(StoredRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  StoredRef& operator=(StoredRef&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      if (old) drop_ref(old);
    }
    return *this;
  }
  ~StoredRef() {
    if (p_) drop_ref(p_);
  }
  PyObject* get() const noexcept { return p_; }
  PyObject* new_ref() const noexcept { return Py_NewRef(p_); }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  PyObject* p_;
};

}  // namespace brindle::py
