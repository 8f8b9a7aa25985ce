#pragma once
// Moves for the types that own a table's memory.  Their members are owners
// (Arena, DescriptorArray), which leave nothing behind when moved, and plain
// counters describing what those own, which must not stay behind either; with
// the counters kept in a ResetOnMove, the types' moves can be defaulted.

#include <memory>
#include <type_traits>
#include <utility>

namespace brindle {

// Plain values that a move hands over, leaving a fresh T behind.
template <class T>
struct ResetOnMove : T {
  static_assert(std::is_trivially_copyable_v<T>);

  ResetOnMove() = default;
  ResetOnMove(const ResetOnMove&) = delete;
  ResetOnMove& operator=(const ResetOnMove&) = delete;
  ResetOnMove(ResetOnMove&& o) noexcept : T(std::exchange(static_cast<T&>(o), T{})) {}
  ResetOnMove& operator=(ResetOnMove&& o) noexcept {
    static_cast<T&>(*this) = std::exchange(static_cast<T&>(o), T{});
    return *this;
  }
};

// Move assignment for a type whose destructor releases what it holds (a
// table's drops its entries): the destructor, then the move constructor.
// Both are noexcept, so the object is never left destroyed.
template <class T>
T& assign_by_moving(T& self, T&& other) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_destructible_v<T>);
  if (&self != &other) {
    std::destroy_at(&self);
    std::construct_at(&self, std::move(other));
  }
  return self;
}

}  // namespace brindle
