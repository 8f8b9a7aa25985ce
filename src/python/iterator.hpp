#pragma once
// The eight iterators: one template over the twin traits and what they
// yield.  An iterator reads its owner's table as it goes, a chunk of entries
// per shared borrow, and compares the owner's version before every step.

#include <memory>

#include "common/saturate.hpp"
#include "container.hpp"
#include "entry.hpp"
#include "map/hash_map.hpp"
#include "object.hpp"

namespace brindle::py {

enum class IterKind { Key, Value, Item, Set };

template <class Traits>
struct MapType;
template <class Traits>
struct SetType;

// Before a reservation that would rebuild the table: if an iterator was made
// since the last change, the current scan order is stashed, so that every
// such iterator goes on in the order it started in.  The rebuild changes no
// entry, so no version bump stops those iterators.  `head` is null for an
// object still being built, which no iterator has seen.
template <class Map>
void keep_order_for_iterators(ContainerHeader* head, const Map& m, std::uint64_t additional) {
  if (head == nullptr || !head->iterated.load(std::memory_order_relaxed)) return;
  if (sat_add(m.len(), saturate_u32(additional)) <= m.max_items()) return;
  auto stash = std::make_shared<Stash>();
  stash->layout = head->layout;
  constexpr bool with_values = !std::is_same_v<typename Map::Entry, SlotEntry<HashedAny, Unit>>;
  stash->refs.reserve(std::size_t{m.len()} * (with_values ? 2 : 1));
  auto entries = m.iter();
  while (auto kv = entries.next()) {
    stash->refs.push_back(Py_NewRef(kv->first->object()));
    if constexpr (with_values) stash->refs.push_back(kv->second->new_ref());
  }
  if (head->stashes == nullptr) head->stashes = new StashList;
  head->stashes->push_back(std::move(stash));
  ++head->layout;
  head->iterated.store(false, std::memory_order_relaxed);
}

template <class Traits, IterKind Kind>
struct IterType {
  static constexpr bool FOR_SET = Kind == IterKind::Set;
  using Value = std::conditional_t<FOR_SET, Unit, StoredRef>;
  using Map = HashMap<HashedAny, Value, typename Traits::template Table<Value>>;
  using Cursor = typename Map::Table::ScanCursor;
  // References per entry in a stash of the owner, and in our own buffer.
  static constexpr std::size_t STASH_STRIDE = FOR_SET ? 1 : 2;
  static constexpr std::size_t STRIDE = Kind == IterKind::Item ? 2 : 1;
  // Entries read per shared borrow of the owner: enough to spread the cost
  // of the borrow, few enough that making an iterator and taking one element
  // stays cheap.
  static constexpr std::size_t CHUNK = 32, FIRST_CHUNK = 4;

  struct Object {
    ContainerHeader head;  // head.flag: one step at a time; head.version: the owner's at creation
    PyObject* owner;
    std::uint64_t layout;    // the owner's scan order this iterator follows
    std::uint64_t consumed;  // entries taken from that order so far
    Slot<Cursor> cursor;
    Slot<std::shared_ptr<const Stash>> stash;  // set once the owner's layout moved on
    bool exhausted;
    std::uint8_t fill, next;           // buffer[next * STRIDE .. fill * STRIDE) not yet handed out
    PyObject* buffer[CHUNK * STRIDE];  // owned
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

  static const Map& map_of(PyObject* owner) noexcept {
    if constexpr (FOR_SET)
      return SetType<Traits>::set_of(owner).map();
    else
      return MapType<Traits>::map_of(owner);
  }

  // A new iterator at the start of the owner's scan; costs the same for
  // any size of owner.
  static PyObject* make(PyObject* owner) {
    PyTypeObject* t = type();
    if (t == nullptr) throw_python_error();
    ContainerHeader& oh = *header_of(owner);
    SharedBorrow b(oh.flag);
    Object* it = alloc_object<Object>(t, [&](Object* o) {
      o->cursor.emplace();
      o->head.set_version(oh.version());
      o->layout = oh.layout;
      o->owner = Py_NewRef(owner);
    });
    if (!oh.iterated.load(std::memory_order_relaxed)) oh.iterated.store(true, std::memory_order_relaxed);
    return reinterpret_cast<PyObject*>(it);
  }

 private:
  static Object* as_iter(PyObject* o) noexcept { return reinterpret_cast<Object*>(o); }

  static void drop_buffer(Object* it) noexcept {
    const std::size_t from = std::size_t{it->next} * STRIDE, to = std::size_t{it->fill} * STRIDE;
    it->next = it->fill = 0;
    for (std::size_t i = from; i < to; ++i) Py_DECREF(it->buffer[i]);
  }

  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Object* it = as_iter(self);
    Py_VISIT(it->owner);
    for (std::size_t i = std::size_t{it->next} * STRIDE; i < std::size_t{it->fill} * STRIDE; ++i)
      Py_VISIT(it->buffer[i]);
    // A stash may be shared by several iterators and its owner, so none of
    // them reports its references: one holder's count must be visited once.
    return 0;
  }

  // Drops what the iterator holds; it then reads as exhausted.  The owner
  // stays, so a later step still checks its version.
  static int tp_clear(PyObject* self) {
    Object* it = as_iter(self);
    if (!it->cursor.live || !it->head.flag.try_exclusive()) return 0;
    std::shared_ptr<const Stash> doomed;
    if (it->stash.live) {
      doomed = std::move(it->stash.value);
      it->stash.destroy();
    }
    it->exhausted = true;
    const std::size_t from = std::size_t{it->next} * STRIDE, to = std::size_t{it->fill} * STRIDE;
    PyObject* held[CHUNK * STRIDE];
    std::size_t n = 0;
    for (std::size_t i = from; i < to; ++i) held[n++] = it->buffer[i];
    it->next = it->fill = 0;
    it->head.flag.release_exclusive();
    for (std::size_t i = 0; i < n; ++i) Py_DECREF(held[i]);
    return 0;
  }

  static void dealloc(PyObject* self) {
    Object* it = as_iter(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    drop_buffer(it);
    it->stash.destroy();
    it->cursor.destroy();
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

  // The references one entry contributes to the buffer.
  static void push(Object* it, PyObject* key, PyObject* value) noexcept {
    PyObject** slot = it->buffer + std::size_t{it->fill} * STRIDE;
    if constexpr (Kind == IterKind::Item) {
      slot[0] = Py_NewRef(key);
      slot[1] = Py_NewRef(value);
    } else if constexpr (Kind == IterKind::Value) {
      slot[0] = Py_NewRef(value);
    } else {
      slot[0] = Py_NewRef(key);
    }
    ++it->fill;
  }

  // Refills the empty buffer from the owner's table or from the stash of
  // the order this iterator started in.  The owner's version was checked.
  BRINDLE_FLATTEN static void refill(Object* it) {
    ContainerHeader& oh = *header_of(it->owner);
    SharedBorrow b(oh.flag);
    if (oh.version() != it->head.version()) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    if (!it->stash.live && oh.layout != it->layout) adopt_stash(it, oh);
    if (it->stash.live) {
      const Stash& s = *it->stash.value;
      const std::size_t total = s.refs.size() / STASH_STRIDE;
      while (it->fill < CHUNK && it->consumed < total) {
        PyObject* const* e = s.refs.data() + it->consumed * STASH_STRIDE;
        push(it, e[0], FOR_SET ? nullptr : e[STASH_STRIDE - 1]);
        ++it->consumed;
      }
      if (it->fill == 0) it->exhausted = true;
      return;
    }
    const Map& m = map_of(it->owner);
    // The first chunk is short: many iterators are made for one element.
    const std::size_t limit = it->consumed == 0 ? FIRST_CHUNK : CHUNK;
    while (it->fill < limit) {
      auto loc = m.table().scan_advance(it->cursor.value);
      if (!loc) {
        if (it->fill == 0) it->exhausted = true;
        return;
      }
      auto& e = m.entry_at(*loc);
      if constexpr (FOR_SET)
        push(it, e.key.object(), nullptr);
      else
        push(it, e.key.object(), e.value.get());
      ++it->consumed;
    }
  }

  static void adopt_stash(Object* it, ContainerHeader& oh) {
    if (oh.stashes != nullptr)
      for (const auto& s : *oh.stashes)
        if (s->layout == it->layout) {
          it->stash.emplace(s);
          return;
        }
    throw InvariantFailure("an iterator's scan order was neither current nor stashed");
  }

  // The common step, an element already buffered and nothing to report,
  // skips the entry-point wrapper; every other case takes the full step.
  static PyObject* iternext(PyObject* self) {
    if constexpr (Kind != IterKind::Item) {
      Object* it = as_iter(self);
      if (it->head.flag.try_exclusive()) {
        const ContainerHeader* owner = header_of(it->owner);
        PyObject* r = nullptr;
        if (it->next != it->fill && owner->flag.can_share() && owner->version() == it->head.version())
          r = it->buffer[it->next++];
        it->head.flag.release_exclusive();
        if (r != nullptr) return r;
      }
    }
    return step(self);
  }

  static PyObject* step(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      Object* it = as_iter(self);
      ExclusiveBorrow mine(it->head.flag);
      ContainerHeader* owner = header_of(it->owner);
      if (!owner->flag.can_share()) raise(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
      if (owner->version() != it->head.version()) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
      if (it->next == it->fill) {
        if (it->exhausted) return nullptr;  // end, no exception set
        it->next = it->fill = 0;
        refill(it);
        if (it->fill == 0) return nullptr;
      }
      PyObject** slot = it->buffer + std::size_t{it->next} * STRIDE;
      if constexpr (Kind == IterKind::Item) {
        // Built on the way out, so a failure leaves the pair to be tried again.
        PyObject* pair = check(PyTuple_Pack(2, slot[0], slot[1]));
        Py_DECREF(slot[0]);
        Py_DECREF(slot[1]);
        ++it->next;
        return pair;
      } else {
        ++it->next;
        return slot[0];
      }
    });
  }
};

}  // namespace brindle::py
