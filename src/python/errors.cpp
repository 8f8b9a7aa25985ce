#include "errors.hpp"

namespace brindle::py {

PyObject* panic_exception_type() {
  // A function-local static is initialised once even when several threads
  // raise their first panic at the same moment.
  static PyObject* const type = [] {
    return PyErr_NewExceptionWithDoc("brindle.PanicException",
                                     "Raised when brindle detects a broken internal invariant.", PyExc_BaseException,
                                     nullptr);
  }();
  return type;
}

void set_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the class failed; that error stands
  PyErr_SetString(type, message);
}

}  // namespace brindle::py
