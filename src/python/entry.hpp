#pragma once
// The wrapper every slot function and method runs its body in.

#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "hashed_any.hpp"
#include "release.hpp"

namespace brindle::py {

template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
  R result = on_error;
  {
    // Declared first, so it ends last: references the call removed are
    // released after every borrow the body took.
    ReleaseScope scope;
    try {
      result = std::forward<F>(body)();
    } catch (const PythonError&) {
    } catch (const InvariantFailure& e) {
      set_panic(e.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (...) {
      set_panic("unexpected C++ exception");
    }
  }
  if (t_state.saved_interrupt != nullptr) [[unlikely]] {
    PyObject* interrupt = take_saved_interrupt();
    if constexpr (std::is_pointer_v<R>) {
      if (result != on_error) Py_DECREF(reinterpret_cast<PyObject*>(result));
    }
    // The interrupt wins over whatever else the call produced.
    PyErr_SetRaisedException(interrupt);
    return on_error;
  }
  return result;
}

}  // namespace brindle::py
