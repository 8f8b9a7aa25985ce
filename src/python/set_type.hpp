#pragma once
// FunnelHashSet and ElasticHashSet: one template, instantiated per twin.

#include <string>

#include "container.hpp"
#include "iterator.hpp"
#include "map_update.hpp"
#include "set/hash_set.hpp"

namespace brindle::py {

template <class Traits>
using PySet = HashSet<HashedAny, typename Traits::template Table<Unit>>;

template <class Traits>
struct SetType : ContainerType<SetType<Traits>, Traits, PySet<Traits>> {
  using Base = ContainerType<SetType<Traits>, Traits, PySet<Traits>>;
  using Set = PySet<Traits>;
  using Base::check_exact;
  using Base::head_of;
  using Base::make_ref;
  using typename Base::Building;

  static Set& set_of(PyObject* o) noexcept { return Base::table_of(o); }
  static const char* class_name() { return Traits::set_name; }
  static PyTypeObject* type();

  // ---- the four helpers ---------------------------------------------------
  // Each changes `target` (the table of `target_obj`, or of a set still being
  // built) using one argument, and counts in `changes` every element it adds
  // or removes as it goes, so that a call that fails half-way still bumps
  // `version`.  A same-class argument is read straight from its table under a
  // shared borrow; anything else through Python iteration.

  // The argument's table, held shared for as long as this lives.
  struct SameClassSource {
    OwnedRef ref;
    SharedBorrow borrow;
    explicit SameClassSource(PyObject* o) : ref(OwnedRef::borrow(o)), borrow(head_of(o).flag) {}
    const Set& set() const { return set_of(ref.get()); }
  };

  template <class F>
  static void for_each_item(PyObject* iterable, F&& f) {
    OwnedRef it = check_owned(PyObject_GetIter(iterable));
    while (OwnedRef item{PyIter_Next(it.get())}) f(item.get());
    if (PyErr_Occurred()) throw_python_error();
  }

  static void add_one(Set& target, HashedAny key, std::uint64_t& changes) {
    const bool present = target.insert(std::move(key), UnlessInterrupted{});
    stop_if_interrupted();
    if (!present) ++changes;
  }

  static void remove_one(Set& target, const HashedAny& key, std::uint64_t& changes) {
    if (target.remove_entry(key)) ++changes;
    stop_if_interrupted();
  }

  BRINDLE_FLATTEN static void add_all(Set& target, PyObject* target_obj, PyObject* other, std::uint64_t& changes) {
    if (other == target_obj) return;  // s |= s: nothing to add
    if (check_exact(other)) {
      SameClassSource src(other);
      keep_order_for_iterators(target_obj ? header_of(target_obj) : nullptr, target, src.set().len());
      target.reserve(src.set().len());
      src.set().for_each([&](const HashedAny& k) { add_one(target, k.clone(), changes); });
    } else {
      if (auto n = length_hint(other)) reserve_hint(target, target_obj, *n);
      for_each_item(other, [&](PyObject* item) { add_one(target, HashedAny::owned(item), changes); });
    }
  }

  BRINDLE_FLATTEN static void remove_all(Set& target, PyObject* target_obj, PyObject* other, std::uint64_t& changes) {
    if (other == target_obj) {  // s -= s
      changes += target.len();
      target.clear();
    } else if (check_exact(other)) {
      SameClassSource src(other);
      src.set().for_each([&](const HashedAny& k) { remove_one(target, k, changes); });
    } else {
      for_each_item(other, [&](PyObject* item) { remove_one(target, BorrowedKey(item), changes); });
    }
  }

  BRINDLE_FLATTEN static void retain_in(Set& target, PyObject* target_obj, PyObject* other, std::uint64_t& changes) {
    if (other == target_obj) return;  // s &= s
    // A membership test that fails or is interrupted keeps its element, and
    // every element after it: the error is raised once the walk is over,
    // with the removals made so far in place.
    bool failed = false;
    auto keep = [&](int member) {
      if (member < 0) failed = true;
      if (failed || t_state.saved_interrupt != nullptr || member != 0) return true;
      ++changes;
      return false;
    };
    if (check_exact(other)) {
      SameClassSource src(other);
      target.retain([&](const HashedAny& k) { return keep(src.set().contains(k) ? 1 : 0); });
    } else {
      OwnedRef members = check_owned(PySet_New(nullptr));
      for_each_item(other, [&](PyObject* item) {
        if (PySet_Add(members.get(), item) < 0) throw_python_error();
      });
      target.retain([&](const HashedAny& k) { return keep(PySet_Contains(members.get(), k.object())); });
    }
    if (failed) throw_python_error();
    stop_if_interrupted();
  }

  BRINDLE_FLATTEN static void symmetric_difference_with(Set& target, PyObject* target_obj, PyObject* other,
                                                        std::uint64_t& changes) {
    if (other == target_obj) {  // s ^= s
      changes += target.len();
      target.clear();
      return;
    }
    auto toggle = [&](const HashedAny& k, auto&& owned) {
      if (!target.remove_entry(k)) {
        stop_if_interrupted();
        target.insert_unique(owned());
      }
      ++changes;
      stop_if_interrupted();
    };
    if (check_exact(other)) {
      SameClassSource src(other);
      src.set().for_each([&](const HashedAny& k) { toggle(k, [&] { return k.clone(); }); });
    } else {
      for_each_item(other, [&](PyObject* item) {
        BorrowedKey k(item);
        toggle(k, [&] { return k.to_owned(); });
      });
    }
  }

  using Helper = void (*)(Set&, PyObject*, PyObject*, std::uint64_t&);

  // ---- construction -------------------------------------------------------

  static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      PyObject* iterable = nullptr;
      PyObject* capacity = nullptr;
      static const char* names[] = {"iterable", "capacity", nullptr};
      static const std::string format = std::string("|O$O:") + Traits::set_name;
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(names), &iterable, &capacity))
        throw_python_error();
      Building result(make_ref(capacity_arg(capacity), DEFAULT_RESERVE_FRACTION));
      if (iterable != nullptr && iterable != Py_None) {
        ChangeCount changes(result.head());
        add_all(result.table(), result.get(), iterable, changes.count);
      }
      return result.finish();
    });
  }

  // A fresh set with the same elements, with room for `room` more before it
  // grows.  It stays borrowed until the caller has finished filling it.
  static Building copy_of(const Set& source, std::uint64_t room = 0) {
    return Building(Base::copy_of(source, source.len() + room));
  }

  static PyObject* copy(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b(head_of(self).flag);
      return copy_of(set_of(self)).finish();
    });
  }

  // Pickles and copies rebuild the set from a list of its elements.
  static PyObject* reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
      OwnedRef elements = check_owned(PyList_New(0));
      {
        SharedBorrow b(head_of(self).flag);
        set_of(self).for_each([&](const HashedAny& k) {
          if (PyList_Append(elements.get(), k.object()) < 0) throw_python_error();
        });
      }
      return check(Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), elements.get()));
    });
  }

  // ---- element operations -------------------------------------------------

  BRINDLE_FLATTEN static PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
      auto a = parse_args<1>("add", {"value"}, 1, args, nargs, kwnames);
      ExclusiveBorrow b(head_of(self).flag);
      Set& s = set_of(self);
      BorrowedKey k(a[0]);
      const bool present = s.find(k).has_value();
      stop_if_interrupted();  // dict would have raised before storing
      if (!present) {
        s.insert_unique(k.to_owned());
        head_of(self).bump();
      }
      return Py_NewRef(Py_None);
    });
  }

  template <bool MustExist>
  BRINDLE_FLATTEN static PyObject* remove_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto a = parse_args<1>(MustExist ? "remove" : "discard", {"value"}, 1, args, nargs, kwnames);
      ExclusiveBorrow b(head_of(self).flag);
      BorrowedKey k(a[0]);
      if (set_of(self).remove_entry(k)) {
        head_of(self).bump();
      } else if (MustExist) {
        set_key_error(a[0]);
        return nullptr;
      }
      return Py_NewRef(Py_None);
    });
  }

  static PyObject* pop(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
      ExclusiveBorrow b(head_of(self).flag);
      auto entry = set_of(self).pop_first();
      if (!entry) raise(PyExc_KeyError, "pop from an empty set");
      head_of(self).bump();
      return entry->key.release();
    });
  }

  BRINDLE_FLATTEN static int contains(PyObject* self, PyObject* value) {
    return guarded<int>(-1, [&] {
      SharedBorrow b(head_of(self).flag);
      BorrowedKey k(value);
      return set_of(self).contains(k) ? 1 : 0;
    });
  }

  static PyObject* iter(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] { return IterType<Traits, IterKind::Set>::make(self); });
  }

  // ---- algebra --------------------------------------------------------------

  // What a result needs beyond the receiver's elements for the capacity it
  // would otherwise grow to as H runs: a union reserves a same-class
  // operand's length.  Made at that size, it is never rebuilt on the way.
  template <Helper H>
  static std::uint64_t room_for(PyObject* other) {
    // Not `if constexpr`: the sanitizer build does not fold the comparison.
    if (H == &add_all && check_exact(other)) {
      SharedBorrow b(head_of(other).flag);
      return set_of(other).len();
    }
    return 0;
  }

  // union, intersection, difference: a copy of the receiver, changed by the
  // helper with each argument in turn.
  template <Helper H>
  static PyObject* combine(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b(head_of(self).flag);
      Building result = copy_of(set_of(self), nargs > 0 ? room_for<H>(args[0]) : 0);
      std::uint64_t changes = 0;  // a new object's version is not watched yet
      for (Py_ssize_t i = 0; i < nargs; ++i) H(result.table(), result.get(), args[i], changes);
      return result.finish();
    });
  }

  // The updating forms: the receiver itself, one bump if anything changed.
  template <Helper H>
  static PyObject* combine_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&] {
      ExclusiveBorrow b(head_of(self).flag);
      ChangeCount changes(head_of(self));
      for (Py_ssize_t i = 0; i < nargs; ++i) H(set_of(self), self, args[i], changes.count);
      return Py_NewRef(Py_None);
    });
  }

  static PyObject* symmetric_difference(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
      auto a = parse_args<1>("symmetric_difference", {"other"}, 1, args, nargs, kwnames);
      return combine<symmetric_difference_with>(self, a.data(), 1);
    });
  }

  static PyObject* symmetric_difference_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
      auto a = parse_args<1>("symmetric_difference_update", {"other"}, 1, args, nargs, kwnames);
      return combine_update<symmetric_difference_with>(self, a.data(), 1);
    });
  }

  // In-place operators.  A left operand of the class whose borrow cannot be
  // taken raises the borrow error: answering NotImplemented would make Python
  // fall back to the binary operator and silently rebind the name.
  template <Helper H>
  static PyObject* inplace(PyObject* self, PyObject* other) {
    return guarded<PyObject*>(nullptr, [&] {
      if (!check_exact(self)) return Py_NewRef(Py_NotImplemented);
      ExclusiveBorrow b(head_of(self).flag);
      ChangeCount changes(head_of(self));
      H(set_of(self), self, other, changes.count);
      return Py_NewRef(self);
    });
  }

  // Binary operators: the left operand's class decides.  `Reflected` builds
  // the result when only the right operand is of the class.
  template <Helper Forward, class Reflected>
  static PyObject* binary(PyObject* a, PyObject* b, Reflected&& reflected) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      if (check_exact(a)) {
        SharedBorrow borrow(head_of(a).flag);
        Building result = copy_of(set_of(a), room_for<Forward>(b));
        std::uint64_t changes = 0;
        Forward(result.table(), result.get(), b, changes);
        return result.finish();
      }
      if (check_exact(b)) {
        SharedBorrow borrow(head_of(b).flag);
        return reflected(b, a);
      }
      return Py_NewRef(Py_NotImplemented);
    });
  }

  template <Helper H>
  static PyObject* reflected_copy(PyObject* self, PyObject* other) {
    Building result = copy_of(set_of(self));
    std::uint64_t changes = 0;
    H(result.table(), result.get(), other, changes);
    return result.finish();
  }

  static PyObject* nb_or(PyObject* a, PyObject* b) { return binary<add_all>(a, b, reflected_copy<add_all>); }
  static PyObject* nb_and(PyObject* a, PyObject* b) { return binary<retain_in>(a, b, reflected_copy<retain_in>); }
  static PyObject* nb_xor(PyObject* a, PyObject* b) {
    return binary<symmetric_difference_with>(a, b, reflected_copy<symmetric_difference_with>);
  }
  // other - s: everything of `other` that s does not hold.
  static PyObject* nb_subtract(PyObject* a, PyObject* b) {
    return binary<remove_all>(a, b, [](PyObject* self, PyObject* other) {
      Building result(make_ref(0, DEFAULT_RESERVE_FRACTION));
      Set& dest = result.table();
      std::uint64_t changes = 0;
      add_all(dest, result.get(), other, changes);
      set_of(self).for_each([&](const HashedAny& k) { remove_one(dest, k, changes); });
      return result.finish();
    });
  }

  // ---- relations --------------------------------------------------------------

  static bool streamed_all_in_self(const Set& mine, PyObject* other) {
    bool all = true;
    OwnedRef it = check_owned(PyObject_GetIter(other));
    while (all) {
      OwnedRef item{PyIter_Next(it.get())};
      if (!item) break;
      BorrowedKey k(item.get());
      all = mine.contains(k);
    }
    if (PyErr_Occurred()) throw_python_error();
    return all;
  }

  template <class F>
  static bool every_element(const Set& s, F&& pred) {
    auto it = s.iter();
    while (auto kv = it.next())
      if (!pred(*kv->first)) return false;
    return true;
  }

  static PyObject* issubset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
      PyObject* other = parse_args<1>("issubset", {"other"}, 1, args, nargs, kwnames)[0];
      SharedBorrow b(head_of(self).flag);
      const Set& mine = set_of(self);
      if (check_exact(other)) {
        SameClassSource src(other);
        if (mine.len() > src.set().len()) return bool_ref(false);
        return bool_ref(every_element(mine, [&](const HashedAny& k) { return src.set().contains(k); }));
      }
      OwnedRef members = check_owned(PySet_New(nullptr));
      for_each_item(other, [&](PyObject* item) {
        if (PySet_Add(members.get(), item) < 0) throw_python_error();
      });
      return bool_ref(every_element(mine, [&](const HashedAny& k) {
        const int r = PySet_Contains(members.get(), k.object());
        if (r < 0) throw_python_error();
        return r == 1;
      }));
    });
  }

  static PyObject* issuperset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
      PyObject* other = parse_args<1>("issuperset", {"other"}, 1, args, nargs, kwnames)[0];
      SharedBorrow b(head_of(self).flag);
      const Set& mine = set_of(self);
      if (check_exact(other)) {
        SameClassSource src(other);
        if (mine.len() < src.set().len()) return bool_ref(false);
        return bool_ref(every_element(src.set(), [&](const HashedAny& k) { return mine.contains(k); }));
      }
      return bool_ref(streamed_all_in_self(mine, other));
    });
  }

  static PyObject* isdisjoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
      PyObject* other = parse_args<1>("isdisjoint", {"other"}, 1, args, nargs, kwnames)[0];
      SharedBorrow b(head_of(self).flag);
      const Set& mine = set_of(self);
      if (check_exact(other)) {
        SameClassSource src(other);
        // Walk the smaller table and probe the larger.
        const bool mine_larger = mine.len() > src.set().len();
        const Set& walked = mine_larger ? src.set() : mine;
        const Set& probed = mine_larger ? mine : src.set();
        return bool_ref(every_element(walked, [&](const HashedAny& k) { return !probed.contains(k); }));
      }
      bool disjoint = true;
      OwnedRef it = check_owned(PyObject_GetIter(other));
      while (disjoint) {
        OwnedRef item{PyIter_Next(it.get())};
        if (!item) break;
        BorrowedKey k(item.get());
        disjoint = !mine.contains(k);
      }
      if (PyErr_Occurred()) throw_python_error();
      return bool_ref(disjoint);
    });
  }

  static bool is_set_like(PyObject* o) {
    if (PyAnySet_Check(o)) return true;
    OwnedRef name = check_owned(PyUnicode_FromString("collections.abc"));
    OwnedRef abc = check_owned(PyImport_Import(name.get()));
    OwnedRef set_abc = check_owned(PyObject_GetAttrString(abc.get(), "Set"));
    const int r = PyObject_IsInstance(o, set_abc.get());
    if (r < 0) throw_python_error();
    return r == 1;
  }

  static PyObject* equals(PyObject* self, PyObject* other) {
    SharedBorrow b(head_of(self).flag);
    const Set& mine = set_of(self);
    if (check_exact(other)) {
      SameClassSource src(other);
      if (mine.len() != src.set().len()) return bool_ref(false);
      return bool_ref(every_element(mine, [&](const HashedAny& k) { return src.set().contains(k); }));
    }
    if (!is_set_like(other)) return bool_ref(false);
    const Py_ssize_t n = PyObject_Length(other);
    if (n < 0) {
      discard_error_keeping_interrupts();
      return bool_ref(false);
    }
    if (n != static_cast<Py_ssize_t>(mine.len())) return bool_ref(false);
    return bool_ref(streamed_all_in_self(mine, other));
  }
};

template <class Traits>
PyTypeObject* SetType<Traits>::type() {
  static PyTypeObject* const t = [] {
    using S = SetType<Traits>;
    static const std::string qualified = std::string("brindle.") + Traits::set_name;
    static const std::string doc = std::string(Traits::set_name) +
                                   "(iterable=None, *, capacity=0)\n--\n\nA set-like container that wraps the native "
                                   "hash set.";
    constexpr int kw = METH_FASTCALL | METH_KEYWORDS;
    auto fast_kw = [](auto f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); };
    static PyMethodDef methods[] = {
        {"with_options", fast_kw(S::with_options), kw | METH_CLASS,
         "with_options($cls, capacity=0, reserve_fraction=None)\n--\n\n"},
        {"__class_getitem__", S::class_getitem, METH_O | METH_CLASS,
         "__class_getitem__($cls, item)\n--\n\nRuntime support for `Cls[T]` via `types.GenericAlias`."},
        {"probe_stats", fast_kw(S::probe_stats), kw, S::probe_stats_doc},
        {"copy", S::copy, METH_NOARGS, "copy($self)\n--\n\n"},
        {"add", fast_kw(S::add), kw, "add($self, value)\n--\n\n"},
        {"discard", fast_kw(S::template remove_value<false>), kw, "discard($self, value)\n--\n\n"},
        {"remove", fast_kw(S::template remove_value<true>), kw, "remove($self, value)\n--\n\n"},
        {"pop", S::pop, METH_NOARGS, "pop($self)\n--\n\n"},
        {"clear", S::clear, METH_NOARGS, "clear($self)\n--\n\n"},
        {"isdisjoint", fast_kw(S::isdisjoint), kw, "isdisjoint($self, other)\n--\n\n"},
        {"issubset", fast_kw(S::issubset), kw, "issubset($self, other)\n--\n\n"},
        {"issuperset", fast_kw(S::issuperset), kw, "issuperset($self, other)\n--\n\n"},
        {"union", fast_kw(S::template combine<S::add_all>), METH_FASTCALL, "union($self, /, *others)\n--\n\n"},
        {"intersection", fast_kw(S::template combine<S::retain_in>), METH_FASTCALL,
         "intersection($self, /, *others)\n--\n\n"},
        {"difference", fast_kw(S::template combine<S::remove_all>), METH_FASTCALL,
         "difference($self, /, *others)\n--\n\n"},
        {"symmetric_difference", fast_kw(S::symmetric_difference), kw, "symmetric_difference($self, other)\n--\n\n"},
        {"update", fast_kw(S::template combine_update<S::add_all>), METH_FASTCALL, "update($self, /, *others)\n--\n\n"},
        {"intersection_update", fast_kw(S::template combine_update<S::retain_in>), METH_FASTCALL,
         "intersection_update($self, /, *others)\n--\n\n"},
        {"difference_update", fast_kw(S::template combine_update<S::remove_all>), METH_FASTCALL,
         "difference_update($self, /, *others)\n--\n\n"},
        {"symmetric_difference_update", fast_kw(S::symmetric_difference_update), kw,
         "symmetric_difference_update($self, other)\n--\n\n"},
        {"__reduce__", S::reduce, METH_NOARGS, "__reduce__($self)\n--\n\nSupport for pickle and copy."},
        {"__sizeof__", S::sizeof_, METH_NOARGS, "__sizeof__($self)\n--\n\nSize in bytes, tables included."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"capacity", S::get_capacity, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(S::tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(S::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(S::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(S::tp_clear)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_repr, reinterpret_cast<void*>(S::repr)},
        {Py_tp_iter, reinterpret_cast<void*>(S::iter)},
        {Py_tp_richcompare, reinterpret_cast<void*>(S::richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_mp_length, reinterpret_cast<void*>(S::length)},
        {Py_sq_contains, reinterpret_cast<void*>(S::contains)},
        {Py_nb_or, reinterpret_cast<void*>(S::nb_or)},
        {Py_nb_and, reinterpret_cast<void*>(S::nb_and)},
        {Py_nb_xor, reinterpret_cast<void*>(S::nb_xor)},
        {Py_nb_subtract, reinterpret_cast<void*>(S::nb_subtract)},
        {Py_nb_inplace_or, reinterpret_cast<void*>(S::template inplace<S::add_all>)},
        {Py_nb_inplace_and, reinterpret_cast<void*>(S::template inplace<S::retain_in>)},
        {Py_nb_inplace_xor, reinterpret_cast<void*>(S::template inplace<S::symmetric_difference_with>)},
        {Py_nb_inplace_subtract, reinterpret_cast<void*>(S::template inplace<S::remove_all>)},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified.c_str(), static_cast<int>(sizeof(typename S::Object)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return type_from_spec(&spec);
  }();
  return t;
}

}  // namespace brindle::py
