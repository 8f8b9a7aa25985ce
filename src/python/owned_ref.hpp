#pragma once
// A strong reference that releases itself.  Every PyObject* the extension
// owns lives in one of these, so no exit path can forget a Py_DECREF.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace brindle::py {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Steals a new reference (which may be null, as C-API results are).
  explicit OwnedRef(PyObject* stolen) noexcept : p_(stolen) {}
  static OwnedRef borrow(PyObject* p) noexcept { return OwnedRef(Py_XNewRef(p)); }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (e.g. as a function result).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace brindle::py
