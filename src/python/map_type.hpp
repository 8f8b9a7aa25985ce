#pragma once
// FunnelHashMap and ElasticHashMap: one template, instantiated per twin.

#include <array>
#include <cstdio>
#include <string>

#include "container.hpp"
#include "iterator.hpp"
#include "map/hash_map.hpp"
#include "map_update.hpp"
#include "traits.hpp"

namespace brindle::py {

template <class Traits>
using PyMap = HashMap<HashedAny, StoredRef, typename Traits::template Table<StoredRef>>;

template <class Traits>
struct MapType : ContainerType<MapType<Traits>, Traits, PyMap<Traits>> {
  using Base = ContainerType<MapType<Traits>, Traits, PyMap<Traits>>;
  using Map = PyMap<Traits>;
  using Base::check_exact;
  using Base::head_of;
  using Base::make_for_hint;
  using Base::make_ref;
  using typename Base::Building;
  using typename Base::Object;

  static Map& map_of(PyObject* o) noexcept { return Base::table_of(o); }
  static const char* class_name() { return Traits::map_name; }
  static PyTypeObject* type();

  // ---- construction -------------------------------------------------------

  static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
      if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 1 positional argument (%zd given)", Traits::map_name, nargs);
        throw_python_error();
      }
      PyObject* other = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
      PyObject* capacity = nullptr;
      OwnedRef extra;  // keyword items other than `other` and `capacity`
      if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        extra = check_owned(PyDict_Copy(kwargs));
        PyObject* kw_other = nullptr;
        if (PyDict_PopString(extra.get(), "other", &kw_other) < 0) throw_python_error();
        OwnedRef kw_other_ref(kw_other);
        if (kw_other != nullptr) {
          if (other != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('other') and position (1)",
                         Traits::map_name);
            throw_python_error();
          }
          other = kw_other;
        }
        if (PyDict_PopString(extra.get(), "capacity", &capacity) < 0) throw_python_error();
        OwnedRef capacity_ref(capacity);
        const std::size_t cap = capacity_arg(capacity);
        return build(cap, other, extra.get());
      }
      return build(0, other, nullptr);
    });
  }

  static PyObject* build(std::size_t capacity, PyObject* other, PyObject* extra) {
    if (capacity == 0 && (extra == nullptr || PyDict_GET_SIZE(extra) == 0) && other != nullptr && check_exact(other)) {
      // What updating an empty map from `other` would make: a copy.
      SharedBorrow theirs(head_of(other).flag);
      return copy_of(map_of(other));
    }
    Building result(make_ref(capacity, DEFAULT_RESERVE_FRACTION));
    {
      ChangeCount changes(result.head());
      update_from<MapType>(result.table(), result.get(), other, extra, changes.count);
    }
    return result.finish();
  }

  // update(other=None, **kwargs): `other` binds by position or by name, every
  // other keyword is an item.
  static PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
      if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "update() takes at most 1 positional argument (%zd given)", nargs);
        throw_python_error();
      }
      PyObject* other = nargs == 1 ? args[0] : nullptr;
      OwnedRef items;
      const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
      for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[nargs + i];
        if (PyUnicode_EqualToUTF8(name, "other")) {
          if (other != nullptr)
            raise(PyExc_TypeError, "argument for update() given by name ('other') and position (1)");
          other = value;
          continue;
        }
        if (!items) items = check_owned(PyDict_New());
        if (PyDict_SetItem(items.get(), name, value) < 0) throw_python_error();
      }
      ExclusiveBorrow b(head_of(self).flag);
      ChangeCount changes(head_of(self));
      update_from<MapType>(map_of(self), self, other, items.get(), changes.count);
      return Py_NewRef(Py_None);
    });
  }

  static PyObject* inplace_or(PyObject* self, PyObject* other) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      ExclusiveBorrow b(head_of(self).flag);
      ChangeCount changes(head_of(self));
      update_from<MapType>(map_of(self), self, other, nullptr, changes.count);
      return Py_NewRef(self);
    });
  }

  // m | other takes other's values for equal keys; other | m keeps m's values
  // but other's key objects.  Both build a new map of m's class.
  static PyObject* nb_or(PyObject* left, PyObject* right) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      const bool map_on_left = check_exact(left);
      if (!map_on_left && !check_exact(right)) return Py_NewRef(Py_NotImplemented);
      PyObject* self = map_on_left ? left : right;
      PyObject* other = map_on_left ? right : left;
      SharedBorrow b(head_of(self).flag);
      const Map& mine = map_of(self);
      std::uint64_t hint = mine.len();
      if (auto n = length_hint(other)) hint = std::min<std::uint64_t>(hint + *n, UINT32_MAX);
      std::uint64_t stored = 0;  // a new object's version is not watched yet
      if (map_on_left) {
        // A hint that may lie sizes the result only through make_for_hint.
        const bool clone = Base::fresh_geometry_is(mine, hint);
        Building result(clone ? Base::clone_of(mine) : make_for_hint(hint));
        Map& dest = result.table();
        if (!clone)
          mine.for_each([&](const HashedAny& k, const StoredRef& v) {
            dest.insert_unique(k.clone(), StoredRef::borrow(v.get()));
          });
        update_from<MapType>(dest, nullptr, other, nullptr, stored);
        return result.finish();
      }
      Building result(make_for_hint(hint));
      Map& dest = result.table();
      update_from<MapType>(dest, nullptr, other, nullptr, stored);
      mine.for_each([&](const HashedAny& k, const StoredRef& v) {
        dest.insert(k.clone(), StoredRef::borrow(v.get()), UnlessInterrupted{});
        stop_if_interrupted();
      });
      return result.finish();
    });
  }

  // Pickles and copies rebuild the map with its reserve fraction and then
  // store the items one by one, so a map that contains itself round-trips.
  static PyObject* reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
      OwnedRef items, args;
      {
        SharedBorrow b(head_of(self).flag);
        const Map& m = map_of(self);
        items = check_owned(PyList_New(0));
        m.for_each([&](const HashedAny& k, const StoredRef& v) {
          OwnedRef pair = check_owned(PyTuple_Pack(2, k.object(), v.get()));
          if (PyList_Append(items.get(), pair.get()) < 0) throw_python_error();
        });
        args = check_owned(Py_BuildValue("(kd)", static_cast<unsigned long>(m.len()), m.reserve_fraction()));
      }
      OwnedRef ctor = check_owned(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "with_options"));
      OwnedRef it = check_owned(PyObject_GetIter(items.get()));
      return check(PyTuple_Pack(5, ctor.get(), args.get(), Py_None, Py_None, it.get()));
    });
  }

  // Whether `o` is the items view of the map `self`; defined with the views.
  static bool is_items_view_of(PyObject* o, PyObject* self);

  // The views; defined with the view classes.
  static PyObject* keys(PyObject* self, PyObject*);
  static PyObject* values(PyObject* self, PyObject*);
  static PyObject* items(PyObject* self, PyObject*);

  static PyObject* fromkeys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto a = parse_args<2>("fromkeys", {"iterable", "value"}, 1, args, nargs, kwnames);
      PyObject* value = a[1] ? a[1] : Py_None;
      Building result(make_for_hint(length_hint(a[0]).value_or(0)));
      Map& map = result.table();
      OwnedRef it = check_owned(PyObject_GetIter(a[0]));
      while (OwnedRef item{PyIter_Next(it.get())}) {
        map.insert(HashedAny::owned(item.get()), StoredRef::borrow(value), UnlessInterrupted{});
        stop_if_interrupted();
      }
      if (PyErr_Occurred()) throw_python_error();
      return result.finish();
    });
  }

  static PyObject* copy(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      SharedBorrow b(head_of(self).flag);
      return copy_of(map_of(self));
    });
  }

  static PyObject* copy_of(const Map& source) { return Building(Base::copy_of(source, source.len())).finish(); }

  // ---- item access --------------------------------------------------------

  BRINDLE_FLATTEN static int contains(PyObject* self, PyObject* key) {
    return guarded<int>(-1, [&] {
      SharedBorrow b(head_of(self).flag);
      BorrowedKey k(key);
      return map_of(self).contains_key(k) ? 1 : 0;
    });
  }

  BRINDLE_FLATTEN static PyObject* subscript(PyObject* self, PyObject* key) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      SharedBorrow b(head_of(self).flag);
      BorrowedKey k(key);
      if (const StoredRef* v = map_of(self).get(k)) return v->new_ref();
      set_key_error(key);
      return nullptr;
    });
  }

  BRINDLE_FLATTEN static PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto a = parse_args<2>("get", {"key", "default"}, 1, args, nargs, kwnames);
      SharedBorrow b(head_of(self).flag);
      BorrowedKey k(a[0]);
      if (const StoredRef* v = map_of(self).get(k)) return v->new_ref();
      return Py_NewRef(a[1] ? a[1] : Py_None);
    });
  }

  BRINDLE_FLATTEN static int ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return guarded<int>(-1, [&] {
      OwnedRef replaced;  // declared first, so it is released after the borrow
      ExclusiveBorrow b(head_of(self).flag);
      Map& m = map_of(self);
      BorrowedKey k(key);
      if (value == nullptr) {
        if (!m.remove_entry(k)) {
          set_key_error(key);
          return -1;
        }
      } else if (auto loc = m.find(k)) {
        stop_if_interrupted();
        StoredRef& stored = m.entry_at(*loc).value;
        replaced = OwnedRef(stored.release());
        stored = StoredRef::borrow(value);
      } else {
        stop_if_interrupted();  // dict would have raised before storing
        m.insert_unique(k.to_owned(), StoredRef::borrow(value));
      }
      head_of(self).bump();
      return 0;
    });
  }

  static PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto a = parse_args<2>("pop", {"key", "default"}, 1, args, nargs, kwnames);
      ExclusiveBorrow b(head_of(self).flag);
      BorrowedKey k(a[0]);
      if (auto entry = map_of(self).remove_entry(k)) {
        head_of(self).bump();
        return entry->value.release();
      }
      if (a[1] != nullptr && a[1] != Py_None) return Py_NewRef(a[1]);
      set_key_error(a[0]);
      return nullptr;
    });
  }

  static PyObject* popitem(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      ExclusiveBorrow b(head_of(self).flag);
      auto entry = map_of(self).pop_first();
      if (!entry) raise(PyExc_KeyError, "popitem(): map is empty");
      head_of(self).bump();
      OwnedRef key(entry->key.release());
      OwnedRef value(entry->value.release());
      return check(PyTuple_Pack(2, key.get(), value.get()));
    });
  }

  static PyObject* setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto a = parse_args<2>("setdefault", {"key", "default"}, 1, args, nargs, kwnames);
      PyObject* dflt = a[1] ? a[1] : Py_None;
      ExclusiveBorrow b(head_of(self).flag);
      Map& m = map_of(self);
      BorrowedKey k(a[0]);  // the only hashing of the key
      if (auto loc = m.find(k)) return m.entry_at(*loc).value.new_ref();
      stop_if_interrupted();
      m.insert_unique(k.to_owned(), StoredRef::borrow(dflt));
      head_of(self).bump();
      return Py_NewRef(dflt);
    });
  }

  static PyObject* iter(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] { return make_iterator<IterKind::Key>(self); });
  }

  // A map being mutated right now cannot be iterated: that is an
  // internal-invariant failure, not a user error.
  template <IterKind Kind>
  static PyObject* make_iterator(PyObject* self) {
    return IterType<Traits, Kind>::make(self);
  }

  // ---- comparison ---------------------------------------------------------

  // Truth of value == value; any failure counts as unequal.
  static bool values_equal(PyObject* a, PyObject* b) {
    OwnedRef r(PyObject_RichCompare(a, b, Py_EQ));
    if (!r) {
      discard_error_keeping_interrupts();
      return false;
    }
    const int t = PyObject_IsTrue(r.get());
    if (t < 0) {
      discard_error_keeping_interrupts();
      return false;
    }
    return t == 1;
  }

  // Walks our entries and asks `lookup` for the other side's value of each
  // key (a new reference, or null for "missing": the maps differ).
  template <class Lookup>
  static bool all_values_match(const Map& m, Lookup&& lookup) {
    auto it = m.iter();
    while (auto kv = it.next()) {
      OwnedRef theirs(lookup(*kv->first));
      if (!theirs) return false;
      if (!values_equal(kv->second->get(), theirs.get())) return false;
    }
    return true;
  }

  static PyObject* equals(PyObject* self, PyObject* other) { return bool_ref(maps_equal(self, other)); }

  static bool maps_equal(PyObject* self, PyObject* other) {
    SharedBorrow b(head_of(self).flag);
    const Map& m = map_of(self);
    if (check_exact(other)) {
      SharedBorrow theirs(head_of(other).flag);
      const Map& o = map_of(other);
      if (o.len() != m.len()) return false;
      return all_values_match(m, [&](const HashedAny& k) -> PyObject* {
        const StoredRef* v = o.get(k);
        return v ? v->new_ref() : nullptr;
      });
    }
    if (PyDict_Check(other)) {
      if (PyDict_Size(other) != static_cast<Py_ssize_t>(m.len())) return false;
      return all_values_match(m, [&](const HashedAny& k) -> PyObject* {
        PyObject* v = nullptr;
        if (PyDict_GetItemRef(other, k.object(), &v) < 0) discard_error_keeping_interrupts();
        return v;
      });
    }
    const int has_keys = PyObject_HasAttrStringWithError(other, "keys");
    if (has_keys <= 0) {
      if (has_keys < 0) discard_error_keeping_interrupts();
      return false;
    }
    const Py_ssize_t n = PyObject_Length(other);
    if (n < 0) {
      discard_error_keeping_interrupts();
      return false;
    }
    if (n != static_cast<Py_ssize_t>(m.len())) return false;
    return all_values_match(m, [&](const HashedAny& k) -> PyObject* {
      PyObject* v = PyObject_GetItem(other, k.object());
      if (v == nullptr) discard_error_keeping_interrupts();
      return v;
    });
  }
};

template <class Traits>
PyTypeObject* MapType<Traits>::type() {
  static PyTypeObject* const t = [] {
    using M = MapType<Traits>;
    static const std::string qualified = std::string("brindle.") + Traits::map_name;
    static const std::string doc = std::string(Traits::map_name) +
                                   "(other=None, *, capacity=0, **kwargs)\n--\n\nA dict-like mapping that wraps the "
                                   "native hash map.";
    static PyMethodDef methods[] = {
        {"with_options", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(M::with_options)),
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "with_options($cls, capacity=0, reserve_fraction=None)\n--\n\n"},
        {"fromkeys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(M::fromkeys)),
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "fromkeys($cls, iterable, value=None)\n--\n\n"},
        {"__class_getitem__", M::class_getitem, METH_O | METH_CLASS,
         "__class_getitem__($cls, item)\n--\n\nRuntime support for `Cls[K, V]` syntax via `types.GenericAlias`\n"
         "\u2014 parity with the `Generic[K, V]` typing stub."},
        {"probe_stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(M::probe_stats)),
         METH_FASTCALL | METH_KEYWORDS, M::probe_stats_doc},
        {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(M::get)), METH_FASTCALL | METH_KEYWORDS,
         "get($self, key, default=None)\n--\n\n"},
        {"clear", M::clear, METH_NOARGS, "clear($self)\n--\n\n"},
        {"keys", M::keys, METH_NOARGS, "keys($self)\n--\n\n"},
        {"values", M::values, METH_NOARGS, "values($self)\n--\n\n"},
        {"items", M::items, METH_NOARGS, "items($self)\n--\n\n"},
        {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(M::update)),
         METH_FASTCALL | METH_KEYWORDS,
         "update($self, other=None, **kwargs)\n--\n\nMirror of `dict.update`. Branches in priority order: same-type,\n"
         "`PyDict`, mapping with `keys()`, then `(k, v)` iterable. Reserves\nup front when length is known. `bump()` "
         "only on actual inserts \u2014\nempty `update()` keeps iterators valid."},
        {"pop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(M::pop)), METH_FASTCALL | METH_KEYWORDS,
         "pop($self, key, default=None)\n--\n\n"},
        {"popitem", M::popitem, METH_NOARGS, "popitem($self)\n--\n\n"},
        {"setdefault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(M::setdefault)),
         METH_FASTCALL | METH_KEYWORDS, "setdefault($self, key, default=None)\n--\n\n"},
        {"copy", M::copy, METH_NOARGS, "copy($self)\n--\n\n"},
        {"__reduce__", M::reduce, METH_NOARGS, "__reduce__($self)\n--\n\nSupport for pickle and copy."},
        {"__sizeof__", M::sizeof_, METH_NOARGS, "__sizeof__($self)\n--\n\nSize in bytes, tables included."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"capacity", M::get_capacity, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(M::tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(M::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(M::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(M::tp_clear)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_repr, reinterpret_cast<void*>(M::repr)},
        {Py_tp_iter, reinterpret_cast<void*>(M::iter)},
        {Py_tp_richcompare, reinterpret_cast<void*>(M::richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_mp_length, reinterpret_cast<void*>(M::length)},
        {Py_mp_subscript, reinterpret_cast<void*>(M::subscript)},
        {Py_mp_ass_subscript, reinterpret_cast<void*>(M::ass_subscript)},
        {Py_sq_contains, reinterpret_cast<void*>(M::contains)},
        {Py_nb_or, reinterpret_cast<void*>(M::nb_or)},
        {Py_nb_inplace_or, reinterpret_cast<void*>(M::inplace_or)},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified.c_str(), static_cast<int>(sizeof(typename M::Object)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return type_from_spec(&spec);
  }();
  return t;
}

}  // namespace brindle::py
