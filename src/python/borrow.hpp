#pragma once
// The only protection of a container: an atomic borrow flag.  Readers share
// it, a writer takes it whole, and nobody ever waits: a conflict fails at once.

#include <atomic>
#include <cstdint>
#include <utility>

#include "common/inline.hpp"
#include "errors.hpp"

namespace brindle::py {

class BorrowFlag {
 public:
  static constexpr std::uintptr_t EXCLUSIVE = ~std::uintptr_t{0};

  bool try_shared() noexcept {
    std::uintptr_t cur = flag_.load(std::memory_order_relaxed);
    do {
      if (cur == EXCLUSIVE || cur == EXCLUSIVE - 1) return false;
    } while (!flag_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  bool try_exclusive() noexcept {
    std::uintptr_t expected = 0;
    return flag_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void release_shared() noexcept { flag_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() noexcept { flag_.store(0, std::memory_order_release); }

  // What a shared borrow taken and released at once would observe: fails
  // exactly when a writer holds the flag, without two atomic writes.
  bool can_share() const noexcept {
    const std::uintptr_t cur = flag_.load(std::memory_order_acquire);
    return cur != EXCLUSIVE && cur != EXCLUSIVE - 1;
  }

 private:
  std::atomic<std::uintptr_t> flag_{0};
};

inline constexpr const char* ALREADY_BORROWED = "Already borrowed";
inline constexpr const char* ALREADY_MUTABLY_BORROWED = "Already mutably borrowed";

// Whoever's borrow fails (the method's own object, a view's map, an
// operand's or a source's), the caller meets the same RuntimeError.
class SharedBorrow {
 public:
  BRINDLE_INLINE explicit SharedBorrow(BorrowFlag& f) : flag_(&f) {
    if (!f.try_shared()) raise(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow(SharedBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
  ~SharedBorrow() {
    if (flag_) flag_->release_shared();
  }

 private:
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  BRINDLE_INLINE explicit ExclusiveBorrow(BorrowFlag& f) : flag_(&f) {
    if (!f.try_exclusive()) raise(PyExc_RuntimeError, ALREADY_BORROWED);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { flag_->release_exclusive(); }

 private:
  BorrowFlag* flag_;
};

}  // namespace brindle::py
