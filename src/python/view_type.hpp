#pragma once
// The six live views: one template over the twin traits and the view kind.
// A view holds its map and nothing else, and borrows the map shared for
// each operation, so it always sees the current contents.

#include <string>
#include <vector>

#include "map_type.hpp"

namespace brindle::py {

enum class ViewKind { Keys, Values, Items };

template <class Traits, ViewKind Kind>
struct ViewType {
  using MapT = MapType<Traits>;
  using Map = typename MapT::Map;

  struct Object {
    ContainerHeader head;  // only the flag is used
    PyObject* map;
  };

  static constexpr bool set_like = Kind != ViewKind::Values;

  static const char* name() {
    return Kind == ViewKind::Keys     ? Traits::keys_name
           : Kind == ViewKind::Values ? Traits::values_name
                                      : Traits::items_name;
  }
  static PyObject* map_obj(PyObject* self) { return reinterpret_cast<Object*>(self)->map; }

  static PyTypeObject* type();

  static PyObject* make(PyObject* map) {
    PyTypeObject* t = type();
    if (t == nullptr) throw_python_error();
    return reinterpret_cast<PyObject*>(alloc_object<Object>(t, [&](Object* o) { o->map = Py_NewRef(map); }));
  }

  // Every operation holds the view's own borrow and then its map's.
  struct Borrows {
    explicit Borrows(PyObject* self) : own(header_of(self)->flag), map(MapT::head_of(map_obj(self)).flag) {}
    SharedBorrow own;
    SharedBorrow map;
  };

  // The element the view presents for one entry, as a new reference.
  static PyObject* element(const HashedAny& k, const StoredRef& v) {
    if constexpr (Kind == ViewKind::Keys)
      return Py_NewRef(k.object());
    else if constexpr (Kind == ViewKind::Values)
      return v.new_ref();
    else
      return PyTuple_Pack(2, k.object(), v.get());
  }

  template <class F>
  static void for_each_element(const Map& m, F&& f) {
    auto it = m.iter();
    while (auto kv = it.next()) {
      OwnedRef e = check_owned(element(*kv->first, *kv->second));
      f(e.get());
    }
  }

  static Py_ssize_t length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&] {
      Borrows b(self);
      return static_cast<Py_ssize_t>(MapT::map_of(map_obj(self)).len());
    });
  }

  static PyObject* iter(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow own(header_of(self)->flag);
      constexpr IterKind ik = Kind == ViewKind::Keys     ? IterKind::Key
                              : Kind == ViewKind::Values ? IterKind::Value
                                                         : IterKind::Item;
      return MapT::template make_iterator<ik>(map_obj(self));
    });
  }

  static bool truth_of_eq(PyObject* a, PyObject* b) { return MapT::values_equal(a, b); }

  static int contains(PyObject* self, PyObject* x) {
    return guarded<int>(-1, [&]() -> int {
      Borrows b(self);
      const Map& m = MapT::map_of(map_obj(self));
      if constexpr (Kind == ViewKind::Keys) {
        BorrowedKey k(x);
        return m.contains_key(k);
      } else if constexpr (Kind == ViewKind::Values) {
        auto it = m.iter();
        while (auto kv = it.next())
          if (truth_of_eq(kv->second->get(), x)) return 1;
        return 0;
      } else {
        if (!PyTuple_Check(x) || PyTuple_GET_SIZE(x) != 2) return 0;
        BorrowedKey k(PyTuple_GET_ITEM(x, 0));
        const StoredRef* v = m.get(k);
        return v != nullptr && truth_of_eq(v->get(), PyTuple_GET_ITEM(x, 1));
      }
    });
  }

  static PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
      Borrows b(self);
      const Map& m = MapT::map_of(map_obj(self));
      PyUnicodeWriter* w = PyUnicodeWriter_Create(0);
      if (w == nullptr) throw_python_error();
      struct Discard {
        PyUnicodeWriter* w;
        ~Discard() {
          if (w) PyUnicodeWriter_Discard(w);
        }
      } guard{w};
      auto text = [&](const char* s) {
        if (PyUnicodeWriter_WriteUTF8(w, s, -1) < 0) throw_python_error();
      };
      auto repr_of = [&](PyObject* o) {
        if (PyUnicodeWriter_WriteRepr(w, o) < 0) throw_python_error();
      };
      text(name());
      text("([");
      bool first = true;
      auto it = m.iter();
      while (auto kv = it.next()) {
        if (!first) text(", ");
        first = false;
        if constexpr (Kind == ViewKind::Keys) {
          repr_of(kv->first->object());
        } else if constexpr (Kind == ViewKind::Values) {
          repr_of(kv->second->get());
        } else {
          text("(");
          repr_of(kv->first->object());
          text(", ");
          repr_of(kv->second->get());
          text(")");
        }
      }
      text("])");
      guard.w = nullptr;
      return check(PyUnicodeWriter_Finish(w));
    });
  }

  static bool equals(PyObject* self, PyObject* other) {
    Borrows b(self);
    const Map& m = MapT::map_of(map_obj(self));
    // The other side's errors only make the views unequal, as for the maps'
    // own ==; an interrupt among them is kept and raised when the call ends.
    const Py_ssize_t n = PyObject_Length(other);
    if (n < 0) {
      discard_error_keeping_interrupts();
      return false;
    }
    if (n != static_cast<Py_ssize_t>(m.len())) return false;
    bool all = true;
    auto it = m.iter();
    while (all) {
      auto kv = it.next();
      if (!kv) break;
      OwnedRef e = check_owned(element(*kv->first, *kv->second));
      const int r = PySequence_Contains(other, e.get());
      if (r < 0) discard_error_keeping_interrupts();
      all = r == 1;
    }
    return all;
  }

  static PyObject* equals_obj(PyObject* self, PyObject* other) { return bool_ref(equals(self, other)); }
  static PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    return rich_compare(self, other, op, equals_obj);
  }

  // ---- set operations: the view is always the left operand ----------------

  static bool is_view(PyObject* o) {
    PyTypeObject* t = type();
    return t != nullptr && Py_TYPE(o) == t;
  }

  static int contained(PyObject* container, PyObject* e) {
    const int r = PySequence_Contains(container, e);
    if (r < 0) throw_python_error();
    return r;
  }

  // `in` against an iterator would use it up, so an operand that is not a
  // set, a view or one of our containers is taken into a set once, before
  // any membership test, as dict views do: a str counts as its characters
  // and an unhashable element raises TypeError.
  static OwnedRef as_set_operand(PyObject* other) {
    if (PyAnySet_Check(other) || PyDictKeys_Check(other) || PyDictItems_Check(other) || PyDictValues_Check(other) ||
        (is_brindle_object(other) && !PyIter_Check(other)))
      return OwnedRef::borrow(other);
    return check_owned(PySet_New(other));
  }

  static void add(PyObject* set, PyObject* e) {
    if (PySet_Add(set, e) < 0) throw_python_error();
  }

  template <class Body>
  static PyObject* set_op(PyObject* self, PyObject* other, Body&& body) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      if (!is_view(self)) return Py_NewRef(Py_NotImplemented);
      OwnedRef result = check_owned(PySet_New(nullptr));
      body(result.get(), other);
      return result.release();
    });
  }

  static PyObject* nb_and(PyObject* self, PyObject* other) {
    return set_op(self, other, [&](PyObject* out, PyObject* o) {
      OwnedRef members = as_set_operand(o);
      Borrows b(self);
      for_each_element(MapT::map_of(map_obj(self)), [&](PyObject* e) {
        if (contained(members.get(), e)) add(out, e);
      });
    });
  }

  static PyObject* nb_subtract(PyObject* self, PyObject* other) {
    return set_op(self, other, [&](PyObject* out, PyObject* o) {
      OwnedRef members = as_set_operand(o);
      Borrows b(self);
      for_each_element(MapT::map_of(map_obj(self)), [&](PyObject* e) {
        if (!contained(members.get(), e)) add(out, e);
      });
    });
  }

  static PyObject* nb_or(PyObject* self, PyObject* other) {
    return set_op(self, other, [&](PyObject* out, PyObject* o) {
      {
        Borrows b(self);
        for_each_element(MapT::map_of(map_obj(self)), [&](PyObject* e) { add(out, e); });
      }
      OwnedRef it = check_owned(PyObject_GetIter(o));
      while (OwnedRef x{PyIter_Next(it.get())}) add(out, x.get());
      if (PyErr_Occurred()) throw_python_error();
    });
  }

  static PyObject* nb_xor(PyObject* self, PyObject* other) {
    return set_op(self, other, [&](PyObject* out, PyObject* o) {
      OwnedRef members = as_set_operand(o);
      {
        Borrows b(self);
        for_each_element(MapT::map_of(map_obj(self)), [&](PyObject* e) {
          if (!contained(members.get(), e)) add(out, e);
        });
      }
      OwnedRef it = check_owned(PyObject_GetIter(members.get()));
      Borrows b(self);
      const Map& m = MapT::map_of(map_obj(self));
      while (OwnedRef x{PyIter_Next(it.get())}) {
        BorrowedKey k(x.get());
        if (!m.contains_key(k)) add(out, x.get());
      }
      if (PyErr_Occurred()) throw_python_error();
    });
  }

  // Every cycle through a view passes through its map, whose clear breaks
  // it, so a view needs no clear of its own and its map is never null.
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Object*>(self)->map);
    return 0;
  }

  static void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Object*>(self)->map);
    tp->tp_free(self);
    Py_DECREF(tp);
  }
};

template <class Traits, ViewKind Kind>
PyTypeObject* ViewType<Traits, Kind>::type() {
  static PyTypeObject* const t = [] {
    using V = ViewType<Traits, Kind>;
    static const std::string qualified = std::string("brindle.") + name();
    static const char* const doc =
        Kind == ViewKind::Keys ? "Live view over keys (mirrors `dict.keys()`). Holds a reference to its map, so every\n"
                                 "operation sees the current state; no snapshot is taken when the view is made."
        : Kind == ViewKind::Values ? "Live view over values (mirrors `dict.values()`)."
                                   : "Live view over `(key, value)` pairs (mirrors `dict.items()`).\n"
                                     "Its set operations build fresh `(k, v)` tuples.";
    static PyMethodDef reduce_methods[] = {
        {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static std::vector<PyType_Slot> slots = [] {
      std::vector<PyType_Slot> v = {
          {Py_tp_dealloc, reinterpret_cast<void*>(V::dealloc)},
          {Py_tp_traverse, reinterpret_cast<void*>(V::traverse)},
          {Py_tp_methods, reduce_methods},
          {Py_tp_doc, const_cast<char*>(doc)},
          {Py_tp_iter, reinterpret_cast<void*>(V::iter)},
          {Py_tp_repr, reinterpret_cast<void*>(V::repr)},
          {Py_mp_length, reinterpret_cast<void*>(V::length)},
          {Py_sq_contains, reinterpret_cast<void*>(V::contains)},
      };
      // Values views keep object's identity comparison and hash.
      if (set_like) {
        v.push_back({Py_tp_richcompare, reinterpret_cast<void*>(V::richcompare)});
        v.push_back({Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)});
        v.push_back({Py_nb_and, reinterpret_cast<void*>(V::nb_and)});
        v.push_back({Py_nb_or, reinterpret_cast<void*>(V::nb_or)});
        v.push_back({Py_nb_subtract, reinterpret_cast<void*>(V::nb_subtract)});
      }
      if (Kind == ViewKind::Keys) v.push_back({Py_nb_xor, reinterpret_cast<void*>(V::nb_xor)});
      v.push_back({0, nullptr});
      return v;
    }();
    static PyType_Spec spec = {
        qualified.c_str(), static_cast<int>(sizeof(Object)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
        slots.data()};
    return type_from_spec(&spec);
  }();
  return t;
}

template <class Traits>
bool MapType<Traits>::is_items_view_of(PyObject* o, PyObject* self) {
  using Items = ViewType<Traits, ViewKind::Items>;
  return Items::is_view(o) && Items::map_obj(o) == self;
}

template <class Traits>
PyObject* MapType<Traits>::keys(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return ViewType<Traits, ViewKind::Keys>::make(self); });
}
template <class Traits>
PyObject* MapType<Traits>::values(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return ViewType<Traits, ViewKind::Values>::make(self); });
}
template <class Traits>
PyObject* MapType<Traits>::items(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return ViewType<Traits, ViewKind::Items>::make(self); });
}

}  // namespace brindle::py
