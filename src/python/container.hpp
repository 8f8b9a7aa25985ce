#pragma once
// What the map and set classes share: the object layout, construction with
// options, capacity, repr, length, the comparison skeleton, the generic
// alias and deallocation.  `Derived` supplies its class name and `equals`.

#include <algorithm>
#include <array>
#include <cstdint>

#include "args.hpp"
#include "entry.hpp"
#include "map/probe_stats.hpp"
#include "object.hpp"
#include "traits.hpp"

namespace brindle::py {

// `==` is the class's own; `!=` asks the full protocol for `==` and negates
// it; ordering is not supported.  Shared by containers and views.
inline PyObject* rich_compare(PyObject* self, PyObject* other, int op, PyObject* (*equals)(PyObject*, PyObject*)) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    switch (op) {
      case Py_EQ:
        return equals(self, other);
      case Py_NE: {
        OwnedRef eq = check_owned(PyObject_RichCompare(self, other, Py_EQ));
        const int t = PyObject_IsTrue(eq.get());
        if (t < 0) throw_python_error();
        return Py_NewRef(t ? Py_False : Py_True);
      }
      case Py_LT:
      case Py_LE:
      case Py_GT:
      case Py_GE:
        return Py_NewRef(Py_NotImplemented);
      default:
        throw InvariantFailure("invalid compareop");
    }
  });
}

// Views and iterators are not data: like dict's, they refuse to pickle.
inline PyObject* refuse_pickle(PyObject* self, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", Py_TYPE(self)->tp_name);
  return nullptr;
}

inline PyObject* bool_ref(bool b) { return Py_NewRef(b ? Py_True : Py_False); }

// Sets KeyError(key) without unwinding: a missing key is an expected
// outcome, and a C++ throw costs more than the lookup that found nothing.
// The key goes in a 1-tuple so that a tuple key is not taken as the
// exception's argument list.
inline void set_key_error(PyObject* key) noexcept {
  PyObject* args = PyTuple_Pack(1, key);
  if (args == nullptr) return;  // the MemoryError stands
  PyErr_SetObject(PyExc_KeyError, args);
  Py_DECREF(args);
}

template <class Derived, class Traits, class Table>
struct ContainerType {
  struct Object {
    ContainerHeader head;
    Slot<Table> table;
  };

  static Object* as_obj(PyObject* o) noexcept { return reinterpret_cast<Object*>(o); }
  static Table& table_of(PyObject* o) noexcept { return as_obj(o)->table.value; }
  static ContainerHeader& head_of(PyObject* o) noexcept { return as_obj(o)->head; }

  static bool check_exact(PyObject* o) {
    PyTypeObject* t = Derived::type();
    return t != nullptr && Py_TYPE(o) == t;
  }

  // A new, empty object of the class, with `version` 0.
  static Object* make(std::uint64_t capacity, double reserve_fraction) {
    PyTypeObject* t = Derived::type();
    if (t == nullptr) throw_python_error();
    return alloc_object<Object>(t, [&](Object* o) { o->table.emplace(capacity, reserve_fraction); });
  }
  static OwnedRef make_ref(std::uint64_t capacity, double reserve_fraction) {
    return OwnedRef(reinterpret_cast<PyObject*>(make(capacity, reserve_fraction)));
  }

  // Sized from a length taken from a foreign object: a hint that cannot be
  // met (it may be a lie) is dropped and the table grows as it fills instead.
  static OwnedRef make_for_hint(std::uint64_t hint) {
    try {
      return make_ref(hint, DEFAULT_RESERVE_FRACTION);
    } catch (const InvariantFailure&) {
    } catch (const std::bad_alloc&) {
    }
    return make_ref(0, DEFAULT_RESERVE_FRACTION);
  }

  // The entries of a map or set as the map they are stored in.
  template <class T>
  static auto& entries(T& t) noexcept {
    if constexpr (requires { t.map(); })
      return t.map();
    else
      return t;
  }

  static StoredRef copy_value(const StoredRef& v) noexcept { return StoredRef::borrow(v.get()); }
  static Unit copy_value(Unit) noexcept { return {}; }

  // Whether a new object made for `items` entries would get the geometry of
  // `source`: then a copy can be a clone.
  static bool fresh_geometry_is(const Table& source, std::uint64_t items) {
    const auto& t = source.table();
    // Past the source's capacity a new table is larger; checking that first
    // also keeps a huge hint from reaching the geometry, which refuses it.
    if (items > t.capacity()) return false;
    return t.reserve_fraction() == Traits::fresh_fraction() &&
           t.nominal_capacity() == Traits::fresh_nominal_capacity(items);
  }

  // A clone of `source`: the arena copied and each entry's references taken;
  // nothing is hashed or placed, and the clone iterates in its source's order.
  static OwnedRef clone_of(const Table& source) {
    PyTypeObject* t = Derived::type();
    if (t == nullptr) throw_python_error();
    Table copy = source.clone([](const auto& e, auto* dst) {
      ::new (static_cast<void*>(dst)) std::remove_cvref_t<decltype(e)>{e.key.clone(), copy_value(e.value)};
    });
    return OwnedRef(
        reinterpret_cast<PyObject*>(alloc_object<Object>(t, [&](Object* o) { o->table.emplace(std::move(copy)); })));
  }

  // A new object with the entries of `source` and the capacity a new object
  // made for `items` entries gets (at least the source's length), still
  // being built.  Keys keep their cached hashes, so no Python code runs.
  static OwnedRef copy_of(const Table& source, std::uint64_t items) {
    if (fresh_geometry_is(source, items)) return clone_of(source);
    OwnedRef result = make_ref(items, DEFAULT_RESERVE_FRACTION);
    auto& dest = entries(table_of(result.get()));
    auto it = entries(source).iter();
    while (auto kv = it.next()) dest.insert_unique(kv->first->clone(), copy_value(*kv->second));
    return result;
  }

  // A new object while it is being filled.  Python code runs during the fill
  // (hashes, comparisons, the source's iterator) and can reach the object
  // through the collector or from another thread, so it holds its own
  // exclusive borrow until `finish`: whoever reaches it meets the ordinary
  // borrow error instead of a table in the middle of a probe.
  class Building {
   public:
    explicit Building(OwnedRef obj) noexcept : obj_(std::move(obj)) {
      // Nobody else has seen the object yet, so this cannot fail.
      (void)head_of(obj_.get()).flag.try_exclusive();
    }
    Building(Building&& o) noexcept : obj_(std::move(o.obj_)) {}
    Building(const Building&) = delete;
    Building& operator=(const Building&) = delete;
    ~Building() {
      if (obj_) head_of(obj_.get()).flag.release_exclusive();
    }
    PyObject* get() const noexcept { return obj_.get(); }
    Table& table() const noexcept { return table_of(obj_.get()); }
    ContainerHeader& head() const noexcept { return head_of(obj_.get()); }
    [[nodiscard]] PyObject* finish() noexcept {
      head_of(obj_.get()).flag.release_exclusive();
      return obj_.release();
    }

   private:
    OwnedRef obj_;
  };

  static PyObject* with_options(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto a = parse_args<2>("with_options", {"capacity", "reserve_fraction"}, 0, args, nargs, kwnames);
      const std::size_t cap = capacity_arg(a[0]);
      double fraction = DEFAULT_RESERVE_FRACTION;
      if (a[1] != nullptr && a[1] != Py_None) {
        fraction = PyFloat_AsDouble(a[1]);
        if (fraction == -1.0 && PyErr_Occurred()) throw_python_error();
        if (!Traits::valid_fraction(fraction)) raise(PyExc_ValueError, Traits::fraction_message);
      }
      return make_ref(cap, fraction).release();
    });
  }

  static constexpr const char* probe_stats_doc =
      "probe_stats($self, sample=1000, seed=0)\n--\n\n"
      "Control-byte groups loaded by lookups of up to `sample` present keys (evenly\n"
      "spaced in iteration order) and of `sample` absent hash words drawn from `seed`, with\n"
      "the table's length, capacity, nominal slot count and load.";

  static PyObject* probe_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto a = parse_args<2>("probe_stats", {"sample", "seed"}, 0, args, nargs, kwnames);
      std::uint64_t sample = 1000, seed = 0;
      if (a[0] != nullptr) {
        OwnedRef n = check_owned(PyNumber_Index(a[0]));
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw_python_error();
        if (overflow < 0 || v < 0) raise(PyExc_ValueError, "sample must not be negative");
        sample = overflow > 0 ? UINT64_MAX : static_cast<std::uint64_t>(v);
      }
      if (a[1] != nullptr) {
        // Any int will do; only its low 64 bits pick the words.
        OwnedRef n = check_owned(PyNumber_Index(a[1]));
        seed = PyLong_AsUnsignedLongLongMask(n.get());
        if (seed == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) throw_python_error();
      }
      ProbeStats st;
      std::uint32_t len = 0, capacity = 0, slots = 0;
      {
        SharedBorrow b(head_of(self).flag);
        const auto& m = entries(table_of(self));
        st = brindle::probe_stats(m, sample, seed);
        len = m.len();
        capacity = m.capacity();
        slots = m.table().nominal_capacity();
      }
      return check(Py_BuildValue("{s:d,s:K,s:d,s:K,s:I,s:I,s:I,s:d}", "hit_avg", st.hit_avg, "hit_max",
                                 static_cast<unsigned long long>(st.hit_max), "miss_avg", st.miss_avg, "miss_max",
                                 static_cast<unsigned long long>(st.miss_max), "len", len, "capacity", capacity,
                                 "slots", slots, "load", slots == 0 ? 0.0 : static_cast<double>(len) / slots));
    });
  }

  static PyObject* class_getitem(PyObject* cls, PyObject* item) {
    // types.GenericAlias, made directly rather than by importing `types`.
    return Py_GenericAlias(cls, item);
  }

  static PyObject* get_capacity(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b(head_of(self).flag);
      return check(PyLong_FromUnsignedLong(table_of(self).capacity()));
    });
  }

  static PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b(head_of(self).flag);
      const Table& t = table_of(self);
      return check(PyUnicode_FromFormat("%s(len=%u, capacity=%u)", Derived::class_name(), t.len(), t.capacity()));
    });
  }

  // Fails exactly where a shared borrow would, without taking one: a
  // writer that starts right after the check publishes its length only when
  // it finishes, and either length is a fair answer to a racing len().
  static Py_ssize_t length(PyObject* self) {
    if (!head_of(self).flag.can_share()) [[unlikely]] {
      PyErr_SetString(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
      return -1;
    }
    return static_cast<Py_ssize_t>(table_of(self).len());
  }

  static PyObject* clear(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
      ExclusiveBorrow b(head_of(self).flag);
      table_of(self).clear();  // the released references go after the borrow
      head_of(self).bump();
      return Py_NewRef(Py_None);
    });
  }

  static PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    return rich_compare(self, other, op, Derived::equals);
  }

  // The object, its table's arena and descriptor arrays.
  static PyObject* sizeof_(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b(head_of(self).flag);
      const std::uint64_t bytes =
          static_cast<std::uint64_t>(Py_TYPE(self)->tp_basicsize) + table_of(self).table().heap_bytes();
      return check(PyLong_FromUnsignedLongLong(bytes));
    });
  }

  // The collector sees every stored object, so cycles through a container
  // can be collected.  No borrow is taken: the table is consistent whenever
  // Python code can run, and traversal never changes it.
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Object* o = as_obj(self);
    if (!o->table.live) return 0;
    auto it = o->table.value.iter();
    while (auto kv = it.next()) {
      Py_VISIT(kv->first->object());
      if constexpr (requires { kv->second->get(); }) Py_VISIT(kv->second->get());
    }
    return 0;
  }

  // Breaks cycles by emptying the table.  A container that some call holds
  // borrowed is left alone: that call keeps it reachable anyway.
  static int tp_clear(PyObject* self) {
    Object* o = as_obj(self);
    if (!o->table.live) return 0;
    ReleaseScope scope;  // finalizers run after the borrow is released
    if (o->head.flag.try_exclusive()) {
      o->table.value.clear();
      o->head.bump();
      o->head.flag.release_exclusive();
    }
    return 0;
  }

  static void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Deallocating a long chain of containers must not recurse once per link.
    Py_TRASHCAN_BEGIN(self, dealloc) as_obj(self)->table.destroy();
    as_obj(self)->head.drop_stashes();
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
  }
};

}  // namespace brindle::py
