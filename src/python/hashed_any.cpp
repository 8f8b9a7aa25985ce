#include "hashed_any.hpp"

namespace brindle::py {

void discard_error_keeping_interrupts() noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  if (PyErr_GivenExceptionMatches(exc, PyExc_Exception)) {
    Py_DECREF(exc);
  } else {
    save_interrupt(exc);
  }
}

void save_interrupt(PyObject* exc) noexcept {
  ThreadState& ts = t_state;
  if (ts.saved_interrupt == nullptr) {
    ts.saved_interrupt = exc;
  } else {
    Py_DECREF(exc);  // the first one wins, as when Python chains handlers
  }
}

PyObject* take_saved_interrupt() noexcept {
  ThreadState& ts = t_state;
  PyObject* exc = ts.saved_interrupt;
  ts.saved_interrupt = nullptr;
  return exc;
}

// The rest of operator==: the hashes are equal and the objects distinct.
bool HashedAny::keys_equal(const HashedAny& a, const HashedAny& b) noexcept {
  PyObject* x = a.object();
  PyObject* y = b.object();
  const Tag ta = a.tag(), tb = b.tag();
  if (ta == EXACT_INT && tb == EXACT_INT) {
    int ox = 0, oy = 0;
    const long long vx = PyLong_AsLongLongAndOverflow(x, &ox);
    const long long vy = PyLong_AsLongLongAndOverflow(y, &oy);
    if (ox == 0 && oy == 0) return vx == vy;
    if (ox != oy) return false;
    // Both too large in the same direction: only a full comparison can tell.
  } else if (ta == EXACT_STR && tb == EXACT_STR) {
    // PyUnicode_Equal gives the same answer as comparing UTF-8 bytes without
    // making CPython cache a UTF-8 copy inside every non-ASCII key.
    const int r = PyUnicode_Equal(x, y);
    if (r >= 0) return r == 1;
    PyErr_Clear();
  }
  PyObject* res = PyObject_RichCompare(x, y, Py_EQ);
  if (res == nullptr) {
    discard_error_keeping_interrupts();
    return false;
  }
  const int truth = PyObject_IsTrue(res);
  Py_DECREF(res);
  if (truth < 0) {
    discard_error_keeping_interrupts();
    return false;
  }
  return truth == 1;
}

}  // namespace brindle::py
