#pragma once
// How failures travel inside the extension and how they leave it.
//
// Inside, a Python error that is already set unwinds as PythonError, and an
// internal-invariant failure as brindle::InvariantFailure; RAII guards release
// borrows and references on the way out.  Every entry point is wrapped in
// `guarded` (entry.hpp), which turns what arrives into the Python error
// indicator, so no C++ exception ever crosses into CPython.

#include <new>
#include <utility>

#include "map/failure.hpp"
#include "owned_ref.hpp"

namespace brindle::py {

// The Python error indicator is set; unwind to the entry point.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

// Unwraps a C-API result that signals failure with null.
inline PyObject* check(PyObject* result) {
  if (result == nullptr) throw PythonError{};
  return result;
}
inline OwnedRef check_owned(PyObject* result) { return OwnedRef(check(result)); }

// The class of every internal-invariant failure: derived from BaseException
// so that `except Exception` does not swallow it.  Created once per process.
PyObject* panic_exception_type();

void set_panic(const char* message);

}  // namespace brindle::py
