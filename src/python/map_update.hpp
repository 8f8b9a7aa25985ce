#pragma once
// The one bulk-insertion procedure of the map classes, shared by update,
// the constructor, |= and both forms of |.

#include <cstdint>
#include <optional>

#include "entry.hpp"
#include "iterator.hpp"
#include "map/hash_map.hpp"
#include "object.hpp"
#include "registry.hpp"

namespace brindle::py {

// A length taken from a foreign object is only a hint and may be a lie:
// a reservation that cannot be met is skipped, and the map grows as it
// fills instead.
// `owner` is the object whose table `m` is, or null while it is being built.
template <class Map>
void reserve_hint(Map& m, PyObject* owner, std::uint64_t n) {
  try {
    keep_order_for_iterators(owner ? header_of(owner) : nullptr, m, n);
    m.reserve(n);
  } catch (const InvariantFailure&) {
  } catch (const std::bad_alloc&) {
  }
}

// How many items a length we cannot verify may reserve up front: enough that
// ordinary sources grow at most once, too little for a lie to cost much.
inline constexpr std::uint64_t UNTRUSTED_LENGTH_CAP = 65536;

// Types whose len() is their true number of elements.
inline bool length_is_trusted(PyObject* o) noexcept {
  return PyDict_CheckExact(o) || PyList_CheckExact(o) || PyTuple_CheckExact(o) || PySet_CheckExact(o) ||
         PyFrozenSet_CheckExact(o) || PyRange_Check(o) || PyUnicode_CheckExact(o) || PyBytes_CheckExact(o) ||
         PyDictKeys_Check(o) || PyDictValues_Check(o) || PyDictItems_Check(o) || is_brindle_object(o);
}

// len(obj) when it has one, as a reservation hint: believed for the types
// above, capped for everything else.  Its error is discarded.
inline std::optional<std::uint64_t> length_hint(PyObject* obj) {
  const Py_ssize_t n = PyObject_Length(obj);
  if (n < 0) {
    discard_error_keeping_interrupts();
    return std::nullopt;
  }
  const auto claimed = static_cast<std::uint64_t>(n);
  return length_is_trusted(obj) ? claimed : std::min(claimed, UNTRUSTED_LENGTH_CAP);
}

// Counts what a mutating call stored or removed, and bumps the container's
// `version` once on the way out when that count is not zero, whether the
// call returns or raises: iterators must not outlive a partial change.
// Declared after the call's exclusive borrow, so it bumps while that is held.
class ChangeCount {
 public:
  explicit ChangeCount(ContainerHeader& head) noexcept : head_(head) {}
  ChangeCount(const ChangeCount&) = delete;
  ChangeCount& operator=(const ChangeCount&) = delete;
  ~ChangeCount() {
    if (count != 0) head_.bump();
  }
  std::uint64_t count = 0;

 private:
  ContainerHeader& head_;
};

// Stores one pair with a freshly hashed key.
template <class Map>
void store_pair(Map& m, PyObject* key, PyObject* value, std::uint64_t& stored) {
  m.insert(HashedAny::owned(key), StoredRef::borrow(value), UnlessInterrupted{});
  stop_if_interrupted();
  ++stored;
}

// Walks a dict with PyDict_Next, holding the dict's critical section only
// while one step is taken.  The pair is referenced before the section ends:
// storing it runs the key's __hash__, which may change the dict and free
// what PyDict_Next lent us.
template <class Map>
void store_dict_items(Map& m, PyObject* owner, PyObject* dict, std::uint64_t& stored) {
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  reserve_hint(m, owner, static_cast<std::uint64_t>(size));
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
    if (resized) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    if (!more) break;
    if (++walked > size) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
    store_pair(m, key.get(), value.get(), stored);
  }
  if (walked != size) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
}

// Runs the procedure on `m`, the table of `self` (or of a map still being
// built).  Adds the number of pairs stored to `stored` as it goes, so that a
// caller whose update fails half-way still knows that something changed;
// what was stored before an error stays.
template <class MapT>
void update_from(typename MapT::Map& m, PyObject* self, PyObject* other, PyObject* kwargs, std::uint64_t& stored) {
  // A map updated from itself, or from its own items view, keeps its contents
  // as dict does: reading that source would need a borrow this call holds.
  const bool given = other != nullptr && other != Py_None;
  if (given && !(self != nullptr && (other == self || MapT::is_items_view_of(other, self)))) {
    if (MapT::check_exact(other)) {
      SharedBorrow theirs(MapT::head_of(other).flag);
      const auto& src = MapT::map_of(other);
      reserve_hint(m, self, src.len());
      src.for_each([&](const HashedAny& k, const StoredRef& v) {
        m.insert(k.clone(), StoredRef::borrow(v.get()), UnlessInterrupted{});
        stop_if_interrupted();
        ++stored;
      });
    } else if (PyDict_Check(other)) {
      store_dict_items(m, self, other, stored);
    } else {
      const int has_keys = PyObject_HasAttrStringWithError(other, "keys");
      if (has_keys < 0) throw_python_error();
      if (auto n = length_hint(other)) reserve_hint(m, self, *n);
      if (has_keys) {
        OwnedRef name = check_owned(PyUnicode_FromString("keys"));
        PyObject* call_args[] = {other};
        OwnedRef keys =
            check_owned(PyObject_VectorcallMethod(name.get(), call_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        OwnedRef it = check_owned(PyObject_GetIter(keys.get()));
        while (OwnedRef key{PyIter_Next(it.get())}) {
          OwnedRef value = check_owned(PyObject_GetItem(other, key.get()));
          store_pair(m, key.get(), value.get(), stored);
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
          store_pair(m, key.get(), value.get(), stored);
        }
      }
      if (PyErr_Occurred()) throw_python_error();
    }
  }
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) store_dict_items(m, self, kwargs, stored);
}

}  // namespace brindle::py
