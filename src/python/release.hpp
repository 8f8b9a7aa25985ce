#pragma once
// References that a call removes from a container are released only after
// the call has released its borrow, so that a __del__ or weakref callback that
// reads the container finds it usable, as with dict.  Every entry point opens
// a ReleaseScope; stored keys and values go through drop_ref.

#include <cstddef>
#include <cstring>

#include "owned_ref.hpp"

namespace brindle::py {

// What an entry point keeps per thread: the references waiting for release
// and an interrupt saved from a comparison.  Constant-initialised and
// trivially destructible, so reaching it costs one thread-local address and
// no initialisation check; the buffer lives inline unless a call defers many
// references, and a heap buffer never outlives the outermost scope.
struct ThreadState {
  static constexpr std::size_t INLINE = 16;
  PyObject** heap;
  std::size_t size;
  std::size_t cap;  // of heap; 0 while the inline buffer is in use
  int depth;
  PyObject* saved_interrupt;
  PyObject* inline_buf[INLINE];

  PyObject** items() noexcept { return heap ? heap : inline_buf; }

  bool push(PyObject* o) noexcept {
    const std::size_t capacity = heap ? cap : INLINE;
    if (size == capacity) {
      const std::size_t grown = capacity * 2;
      auto* bigger = static_cast<PyObject**>(PyMem_RawMalloc(grown * sizeof(PyObject*)));
      if (bigger == nullptr) return false;
      std::memcpy(bigger, items(), size * sizeof(PyObject*));
      PyMem_RawFree(heap);
      heap = bigger;
      cap = grown;
    }
    items()[size++] = o;
    return true;
  }
};

// Initial-exec: every entry point reaches this several times, and the
// general-dynamic model a shared library gets by default turns each reach
// into a call.  The block is small enough for the static TLS surplus that
// the loader keeps for modules opened at run time.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local ThreadState t_state{};

inline void drop_ref(PyObject* o) noexcept {
  ThreadState& ts = t_state;
  // With no room to defer, releasing now is still correct, only earlier.
  if (ts.depth > 0 && ts.push(o)) return;
  Py_DECREF(o);
}

class ReleaseScope {
 public:
  ReleaseScope() noexcept : ts_(t_state), mark_(ts_.size) { ++ts_.depth; }
  ReleaseScope(const ReleaseScope&) = delete;
  ReleaseScope& operator=(const ReleaseScope&) = delete;
  ~ReleaseScope() {
    // A finalizer run here may open scopes of its own; they always restore
    // the buffer to the size they found, so popping from the back is safe.
    while (ts_.size > mark_) {
      PyObject* o = ts_.items()[--ts_.size];
      Py_DECREF(o);
    }
    if (--ts_.depth == 0 && ts_.heap) {
      PyMem_RawFree(ts_.heap);
      ts_.heap = nullptr;
      ts_.cap = 0;
    }
  }

 private:
  ThreadState& ts_;
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
