#pragma once
// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods, with the
// messages CPython's own parsers give.

#include <array>
#include <cstddef>
#include <cstring>

#include "errors.hpp"

namespace brindle::py {

// Binds positional and keyword arguments to `names`; the first `required`
// are mandatory, and those from `first_kwonly` on are keyword-only.
// Unbound optional parameters are left null.
template <std::size_t N>
std::array<PyObject*, N> parse_args(const char* fname, const std::array<const char*, N>& names, std::size_t required,
                                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                                    std::size_t first_kwonly = N) {
  std::array<PyObject*, N> out{};
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (kwnames == nullptr && nargs >= required && nargs <= first_kwonly) [[likely]] {
    for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
    return out;
  }
  if (nargs > first_kwonly) {
    if (first_kwonly == 0)
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", fname);
    else
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zu given)", fname, first_kwonly,
                   first_kwonly == 1 ? "" : "s", nargs);
    throw_python_error();
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
    const char* s = PyUnicode_AsUTF8(kw);
    if (s == nullptr) throw_python_error();
    std::size_t i = 0;
    while (i < N && std::strcmp(names[i], s) != 0) ++i;
    if (i == N) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, kw);
      throw_python_error();
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", fname, names[i],
                   i + 1);
      throw_python_error();
    }
    out[i] = args[nargs + static_cast<std::size_t>(k)];
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, names[i], i + 1);
      throw_python_error();
    }
  }
  return out;
}

// A requested capacity: an unsigned machine word, by CPython's integer rules.
inline std::size_t capacity_arg(PyObject* o) {
  if (o == nullptr) return 0;
  OwnedRef index(PyNumber_Index(o));
  if (!index) throw_python_error();
  const std::size_t v = PyLong_AsSize_t(index.get());
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw_python_error();
  return v;
}

}  // namespace brindle::py
