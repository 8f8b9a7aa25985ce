#pragma once
// The one bulk-insertion procedure of the map classes, shared by update,
// the constructor, |= and both forms of |.

#include <cstdint>

#include "entry.hpp"
#include "map/hash_map.hpp"

namespace brindle::py {

// A length taken from a foreign object is only a hint and may be a lie:
// a reservation that cannot be met is skipped, and the map grows as it
// fills instead.
template <class Map>
void reserve_hint(Map& m, std::uint64_t n) {
  try {
    m.reserve(n);
  } catch (const InvariantFailure&) {
  } catch (const std::bad_alloc&) {
  }
}

// Stores one pair with a freshly hashed key.
template <class Map>
void store_pair(Map& m, PyObject* key, PyObject* value) {
  m.insert(HashedAny::owned(key), StoredRef::borrow(value));
}

// Walks a dict with PyDict_Next, holding the dict's critical section only
// while one step is taken.  The pair is referenced before the section ends:
// storing it runs the key's __hash__, which may change the dict and free
// what PyDict_Next lent us.
template <class Map>
void store_dict_items(Map& m, PyObject* dict, std::uint64_t& stored) {
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  reserve_hint(m, static_cast<std::uint64_t>(size));
  Py_ssize_t pos = 0, walked = 0;
  for (;;) {
    OwnedRef key, value;
    bool more = false, resized = false;
    Py_BEGIN_CRITICAL_SECTION(dict);
    if (PyDict_GET_SIZE(dict) != size) {
      resized = true;
    } else {
      PyObject *k = nullptr, *v = nullptr;
      more = PyDict_Next(dict, &pos, &k, &v) != 0;
      if (more) {
        key = OwnedRef::borrow(k);
        value = OwnedRef::borrow(v);
      }
    }
    Py_END_CRITICAL_SECTION();
    if (resized) throw InvariantFailure("dictionary changed size during iteration");
    if (!more) break;
    if (++walked > size) throw InvariantFailure("dictionary keys changed during iteration");
    store_pair(m, key.get(), value.get());
    ++stored;
  }
  if (walked != size) throw InvariantFailure("dictionary keys changed during iteration");
}

// len(obj) when it has one; its error is discarded.
inline std::optional<std::uint64_t> length_hint(PyObject* obj) {
  const Py_ssize_t n = PyObject_Length(obj);
  if (n < 0) {
    discard_error_keeping_interrupts();
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(n);
}

// Runs the procedure on `m`, the table of `self` (or of a map still being
// built, when `self` is null).  Returns the number of pairs stored; on an
// error, what was stored before it stays.
template <class MapT>
std::uint64_t update_from(typename MapT::Map& m, PyObject* self, PyObject* other, PyObject* kwargs) {
  std::uint64_t stored = 0;
  // A map updated from itself, or from its own items view, keeps its contents
  // as dict does: reading that source would need a borrow this call holds.
  const bool given = other != nullptr && other != Py_None;
  if (given && !(self != nullptr && (other == self || MapT::is_items_view_of(other, self)))) {
    if (MapT::check_exact(other)) {
      SharedBorrow theirs(MapT::head_of(other).flag, BorrowOf::Other);
      const auto& src = MapT::map_of(other);
      reserve_hint(m, src.len());
      src.for_each([&](const HashedAny& k, const StoredRef& v) {
        m.insert(k.clone(), StoredRef::borrow(v.get()));
        ++stored;
      });
    } else if (PyDict_Check(other)) {
      store_dict_items(m, other, stored);
    } else {
      const int has_keys = PyObject_HasAttrStringWithError(other, "keys");
      if (has_keys < 0) throw_python_error();
      if (auto n = length_hint(other)) reserve_hint(m, *n);
      if (has_keys) {
        OwnedRef name = check_owned(PyUnicode_FromString("keys"));
        PyObject* call_args[] = {other};
        OwnedRef keys =
            check_owned(PyObject_VectorcallMethod(name.get(), call_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        OwnedRef it = check_owned(PyObject_GetIter(keys.get()));
        while (OwnedRef key{PyIter_Next(it.get())}) {
          OwnedRef value = check_owned(PyObject_GetItem(other, key.get()));
          store_pair(m, key.get(), value.get());
          ++stored;
        }
      } else {
        OwnedRef it = check_owned(PyObject_GetIter(other));
        OwnedRef zero = check_owned(PyLong_FromLong(0));
        OwnedRef one = check_owned(PyLong_FromLong(1));
        while (OwnedRef item{PyIter_Next(it.get())}) {
          const Py_ssize_t n = PyObject_Length(item.get());
          if (n < 0) throw_python_error();
          if (n != 2) raise(PyExc_ValueError, "update sequence elements must be 2-tuples");
          OwnedRef key = check_owned(PyObject_GetItem(item.get(), zero.get()));
          OwnedRef value = check_owned(PyObject_GetItem(item.get(), one.get()));
          store_pair(m, key.get(), value.get());
          ++stored;
        }
      }
      if (PyErr_Occurred()) throw_python_error();
    }
  }
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) store_dict_items(m, kwargs, stored);
  return stored;
}

}  // namespace brindle::py
