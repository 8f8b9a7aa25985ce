#pragma once
// A Python key as two words: the object pointer with a two-bit type tag in
// its low bits, and the Python hash computed once when the key was wrapped.

#include <cstdint>
#include <new>

#include "errors.hpp"
#include "release.hpp"

namespace brindle::py {

class HashedAny {
 public:
  enum Tag : std::uintptr_t { OTHER = 0, EXACT_STR = 1, EXACT_INT = 2 };
  static constexpr std::uintptr_t TAG_MASK = 3;

  // Wraps and takes a reference; the form every inserting path uses.
  static HashedAny owned(PyObject* obj) {
    HashedAny k = wrap(obj);
    Py_INCREF(obj);
    return k;
  }
  // A new reference to the same object, hash and tag copied, not recomputed.
  HashedAny clone() const {
    Py_INCREF(object());
    return HashedAny(word_, hash_);
  }

  HashedAny(HashedAny&& o) noexcept : word_(o.word_), hash_(o.hash_) { o.word_ = 0; }
  HashedAny& operator=(HashedAny&& o) noexcept {
    if (this != &o) {
      std::uintptr_t old = word_;
      word_ = o.word_;
      hash_ = o.hash_;
      o.word_ = 0;
      if (old) drop_ref(untag(old));
    }
    return *this;
  }
  HashedAny(const HashedAny&) = delete;
  HashedAny& operator=(const HashedAny&) = delete;
  ~HashedAny() {
    if (word_) drop_ref(untag(word_));
  }

  PyObject* object() const noexcept { return untag(word_); }
  Tag tag() const noexcept { return static_cast<Tag>(word_ & TAG_MASK); }
  Py_hash_t hash() const noexcept { return hash_; }
  // Hands the reference to the caller; the key is empty afterwards.
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* o = object();
    word_ = 0;
    return o;
  }

  friend std::uint64_t key_hash_word(const HashedAny& k) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::size_t>(k.hash_));
  }
  // Never raises: exceptions of __eq__ count as "unequal".  The probe is
  // always the left operand of the rich comparison.
  // Identity and two small ints are settled here, inline in every probe loop;
  // everything else goes through the out-of-line comparison.
  [[gnu::always_inline]] friend bool operator==(const HashedAny& probe, const HashedAny& stored) noexcept {
    if (probe.hash_ != stored.hash_) return false;
    if (probe.word_ == stored.word_) return true;
    if ((probe.word_ & stored.word_ & TAG_MASK) == EXACT_INT) {
      const auto* x = reinterpret_cast<const PyLongObject*>(probe.object());
      const auto* y = reinterpret_cast<const PyLongObject*>(stored.object());
      if (PyUnstable_Long_IsCompact(x) && PyUnstable_Long_IsCompact(y))
        return PyUnstable_Long_CompactValue(x) == PyUnstable_Long_CompactValue(y);
    }
    return keys_equal(probe, stored);
  }

 private:
  friend class BorrowedKey;
  HashedAny(std::uintptr_t word, Py_hash_t hash) noexcept : word_(word), hash_(hash) {}

  // Exact str and int keys skip the type's hash slot: a str's hash is cached
  // in the object once computed, and a small int's hash is its value.
  [[gnu::always_inline]] static HashedAny wrap(PyObject* obj) {
    const auto bits = reinterpret_cast<std::uintptr_t>(obj);
    if (bits & TAG_MASK) [[unlikely]]
      throw InvariantFailure("PyObject* low bits must be zero for tag packing");
    PyTypeObject* t = Py_TYPE(obj);
    if (t == &PyUnicode_Type) {
      const Py_hash_t cached = _Py_atomic_load_ssize_relaxed(&_PyASCIIObject_CAST(obj)->hash);
      return HashedAny(bits | EXACT_STR, cached != -1 ? cached : hash_or_throw(obj));
    }
    if (t == &PyLong_Type) {
      const auto* v = reinterpret_cast<const PyLongObject*>(obj);
      if (PyUnstable_Long_IsCompact(v)) {
        const Py_ssize_t x = PyUnstable_Long_CompactValue(v);
        return HashedAny(bits | EXACT_INT, x == -1 ? -2 : x);
      }
      return HashedAny(bits | EXACT_INT, hash_or_throw(obj));
    }
    return HashedAny(bits, hash_or_throw(obj));
  }
  static Py_hash_t hash_or_throw(PyObject* obj) {
    const Py_hash_t h = PyObject_Hash(obj);
    if (h == -1 && PyErr_Occurred()) throw_python_error();
    return h;
  }
  static PyObject* untag(std::uintptr_t w) noexcept { return reinterpret_cast<PyObject*>(w & ~TAG_MASK); }
  static bool keys_equal(const HashedAny& a, const HashedAny& b) noexcept;

  std::uintptr_t word_;
  Py_hash_t hash_;
};

// A key made only to look something up: it borrows the caller's object and
// is never dropped, so it touches no reference count.
class BorrowedKey {
 public:
  [[gnu::always_inline]] explicit BorrowedKey(PyObject* obj) : key_(HashedAny::wrap(obj)) {}
  BorrowedKey(const BorrowedKey&) = delete;
  BorrowedKey& operator=(const BorrowedKey&) = delete;
  ~BorrowedKey() { key_.word_ = 0; }
  const HashedAny& get() const noexcept { return key_; }
  operator const HashedAny&() const noexcept { return key_; }
  // Turns the borrowed key into a stored one by taking a reference.
  HashedAny to_owned() const {
    Py_INCREF(key_.object());
    return HashedAny(key_.word_, key_.hash_);
  }

 private:
  HashedAny key_;
};

// Exceptions that are not Exceptions (KeyboardInterrupt, SystemExit, a
// PanicException) raised inside __eq__ must not vanish with the comparison:
// the operation finishes as if the keys were unequal and the entry point
// raises the saved exception afterwards.
void save_interrupt(PyObject* exc) noexcept;
// Clears the pending error of a comparison whose failure means "unequal",
// saving it as above when it is not an Exception.
void discard_error_keeping_interrupts() noexcept;
PyObject* take_saved_interrupt() noexcept;

// An insertion during which a comparison saved an interrupt stores nothing
// for that item: dict would have raised before storing anything.
struct UnlessInterrupted {
  bool operator()() const noexcept { return t_state.saved_interrupt == nullptr; }
};

// Ends the call at the current item when a comparison saved an interrupt; the
// entry point raises it.  Bulk calls check after every item.
inline void stop_if_interrupted() {
  if (t_state.saved_interrupt != nullptr) [[unlikely]]
    throw PythonError{};
}

}  // namespace brindle::py
