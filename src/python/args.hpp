#pragma once
// Argument parsing for every callable of the module, with the messages
// CPython's own parsers give.  Methods are METH_FASTCALL | METH_KEYWORDS and
// pass their arguments straight on; the constructors lay theirs out the same
// way with CallArgs first.

#include <array>
#include <cstddef>
#include <vector>

#include "errors.hpp"

namespace brindle::py {

// What a callable accepts.
template <std::size_t N>
struct Params {
  const char* fname;
  std::array<const char*, N> names;
  std::size_t required = 0;      // the first `required` are mandatory
  std::size_t first_kwonly = N;  // those from here on are keyword-only
  // **kwargs: keywords that name no parameter go to a new dict here instead
  // of being refused.
  OwnedRef* rest = nullptr;
  // The messages of PyArg_ParseTupleAndKeywords, which the set constructors
  // have always given: a bound on all the arguments together, and a
  // suggestion for a misspelt keyword.
  bool getargs_messages = false;
};

namespace detail {

// CPython's own suggestion for a misspelt keyword, from the module its
// tracebacks use; null when there is none (or that module is missing).
template <std::size_t N>
OwnedRef keyword_suggestion(const std::array<const char*, N>& names, PyObject* kw) {
  OwnedRef found;
  OwnedRef module(PyImport_ImportModule("_suggestions"));
  OwnedRef candidates(module ? PyList_New(N) : nullptr);
  if (candidates) {
    std::size_t i = 0;
    for (; i < N; ++i) {
      PyObject* name = PyUnicode_FromString(names[i]);
      if (name == nullptr) break;
      PyList_SET_ITEM(candidates.get(), static_cast<Py_ssize_t>(i), name);
    }
    if (i == N)
      found = OwnedRef(PyObject_CallMethod(module.get(), "_generate_suggestions", "OO", candidates.get(), kw));
  }
  if (!found || found.get() == Py_None) {
    PyErr_Clear();
    return {};
  }
  return found;
}

template <std::size_t N>
[[noreturn]] void refuse_keyword(const Params<N>& p, PyObject* kw) {
  if (!p.getargs_messages) {
    // Methods have always refused a keyword that is not valid UTF-8 so.
    if (PyUnicode_AsUTF8(kw) == nullptr) throw_python_error();
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.fname, kw);
  } else if (OwnedRef suggestion = keyword_suggestion(p.names, kw)) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'. Did you mean '%S'?", p.fname, kw,
                 suggestion.get());
  } else {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", p.fname, kw);
  }
  throw_python_error();
}

}  // namespace detail

// Binds positional and keyword arguments to `p.names`.  Unbound optional
// parameters are left null.
template <std::size_t N>
std::array<PyObject*, N> parse_args(const Params<N>& p, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, N> out{};
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (kwnames == nullptr && nargs >= p.required && nargs <= p.first_kwonly) [[likely]] {
    for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
    return out;
  }
  const auto nkw = static_cast<std::size_t>(kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  if (p.getargs_messages && nargs + nkw > N) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu %sargument%s (%zu given)", p.fname, N,
                 nargs == 0 ? "keyword " : "", N == 1 ? "" : "s", nargs + nkw);
    throw_python_error();
  }
  if (nargs > p.first_kwonly) {
    if (p.first_kwonly == 0)
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", p.fname);
    else
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zu given)", p.fname, p.first_kwonly,
                   p.first_kwonly == 1 ? "" : "s", nargs);
    throw_python_error();
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (std::size_t k = 0; k < nkw; ++k) {
    PyObject* kw = PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k));
    PyObject* value = args[nargs + k];
    std::size_t i = 0;
    while (i < N && !PyUnicode_EqualToUTF8(kw, p.names[i])) ++i;
    if (i == N) {
      if (p.rest == nullptr) detail::refuse_keyword(p, kw);
      if (!*p.rest) *p.rest = check_owned(PyDict_New());
      if (PyDict_SetItem(p.rest->get(), kw, value) < 0) throw_python_error();
      continue;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", p.fname, p.names[i],
                   i + 1);
      throw_python_error();
    }
    out[i] = value;
  }
  for (std::size_t i = 0; i < p.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", p.fname, p.names[i], i + 1);
      throw_python_error();
    }
  }
  return out;
}

// The arguments of a call through the type, a tuple and a dict of keywords,
// laid out as a vectorcall's for parse_args.  It holds the keyword values
// for as long as the parsed arguments are used.
class CallArgs {
 public:
  CallArgs(PyObject* args, PyObject* kwargs) : nargs_(PyTuple_GET_SIZE(args)), items_(PySequence_Fast_ITEMS(args)) {
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return;
    kwnames_ = check_owned(PyTuple_New(nkw));
    values_ = check_owned(PyTuple_New(nkw));
    all_.assign(items_, items_ + nargs_);
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames_.get(), i, Py_NewRef(key));
      PyTuple_SET_ITEM(values_.get(), i++, Py_NewRef(value));
      all_.push_back(value);
    }
    items_ = all_.data();
  }
  CallArgs(const CallArgs&) = delete;
  CallArgs& operator=(const CallArgs&) = delete;

  PyObject* const* args() const noexcept { return items_; }
  Py_ssize_t nargs() const noexcept { return nargs_; }
  PyObject* kwnames() const noexcept { return kwnames_.get(); }

 private:
  Py_ssize_t nargs_;
  PyObject* const* items_;
  std::vector<PyObject*> all_;
  OwnedRef kwnames_, values_;
};

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
