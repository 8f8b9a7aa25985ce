#pragma once
// The eight snapshot iterators: one template over the twin traits and what
// the snapshot holds.  An iterator never touches its owner's table after it
// is made; it only compares the owner's version before each step.

#include <vector>

#include "container.hpp"
#include "entry.hpp"
#include "object.hpp"

namespace brindle::py {

enum class IterKind { Key, Value, Item, Set };

template <class Traits, IterKind Kind>
struct IterType {
  struct Object {
    ContainerHeader head;  // head.version: the owner's version at the snapshot
    PyObject* owner;
    Slot<std::vector<OwnedRef>> items;
    std::uint32_t position;
  };

  static const char* name() {
    switch (Kind) {
      case IterKind::Key:
        return Traits::key_iter_name;
      case IterKind::Value:
        return Traits::value_iter_name;
      case IterKind::Item:
        return Traits::item_iter_name;
      case IterKind::Set:
        return Traits::set_iter_name;
    }
    return "";
  }

  static PyTypeObject* type() {
    static PyTypeObject* const t = [] {
      static std::string qualified = std::string("brindle.") + name();
      static PyMethodDef methods[] = {
          {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
          {nullptr, nullptr, 0, nullptr},
      };
      static PyType_Slot slots[] = {
          {Py_tp_methods, methods},
          {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
          {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
          {Py_tp_clear, reinterpret_cast<void*>(tp_clear)},
          {Py_tp_iter, reinterpret_cast<void*>(iter_self)},
          {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
          {Py_tp_doc, const_cast<char*>("")},
          {0, nullptr},
      };
      static PyType_Spec spec = {
          qualified.c_str(), static_cast<int>(sizeof(Object)), 0,
          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
          slots};
      return type_from_spec(&spec);
    }();
    return t;
  }

  // Takes ownership of the snapshot; `version` is what the owner had when
  // the snapshot was taken.
  static PyObject* make(PyObject* owner, std::vector<OwnedRef>&& snapshot, std::uint64_t version) {
    PyTypeObject* t = type();
    if (t == nullptr) throw_python_error();
    Object* it = alloc_object<Object>(t, [&](Object* o) {
      o->items.emplace(std::move(snapshot));
      o->head.set_version(version);
      o->owner = Py_NewRef(owner);
    });
    return reinterpret_cast<PyObject*>(it);
  }

 private:
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* it = reinterpret_cast<Object*>(self);
    Py_VISIT(it->owner);
    if (it->items.live)
      for (std::size_t i = it->position; i < it->items.value.size(); ++i) Py_VISIT(it->items.value[i].get());
    return 0;
  }

  // Drops the elements not yet handed out; the iterator then reads as
  // exhausted.  The owner stays, so a later step still checks its version.
  static int tp_clear(PyObject* self) {
    auto* it = reinterpret_cast<Object*>(self);
    if (!it->items.live || !it->head.flag.try_exclusive()) return 0;
    std::vector<OwnedRef> doomed;
    doomed.swap(it->items.value);
    it->position = 0;
    it->head.flag.release_exclusive();
    return 0;
  }

  static void dealloc(PyObject* self) {
    auto* it = reinterpret_cast<Object*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    it->items.destroy();
    Py_CLEAR(it->owner);
    tp->tp_free(self);
    Py_DECREF(tp);
  }

  static PyObject* iter_self(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
      SharedBorrow b(header_of(self)->flag);
      return Py_NewRef(self);
    });
  }

  static PyObject* iternext(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      auto* it = reinterpret_cast<Object*>(self);
      ExclusiveBorrow mine(it->head.flag);
      // The owner is only looked at, never read through, so a momentary
      // shared borrow reduces to checking that no writer holds it.
      ContainerHeader* owner = header_of(it->owner);
      if (!owner->flag.can_share()) raise(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
      if (owner->version() != it->head.version()) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
      auto& items = it->items.value;
      if (it->position >= items.size()) return nullptr;  // end, no exception set
      return items[it->position++].release();
    });
  }
};

// Builds the snapshot of a map or set for an iterator: `project` turns each
// (key, value) into a new reference.  The caller holds a shared borrow.
template <class Map, class Project>
std::vector<OwnedRef> take_snapshot(const Map& map, Project&& project) {
  std::vector<OwnedRef> items;
  items.reserve(std::max<std::size_t>(map.len(), 4));
  auto it = map.iter();
  while (auto kv = it.next()) {
    OwnedRef elem(project(*kv->first, *kv->second));
    if (!elem) throw_python_error();
    items.push_back(std::move(elem));
  }
  return items;
}

}  // namespace brindle::py
