#pragma once
// Fixed-size arrays of a table's descriptors (levels, plans, slot lists),
// taken from the table's allocator like its arena, so that every allocation
// of a rebuild can be made to fail, and freed with it.

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "layout.hpp"

namespace brindle {

template <class T, Allocator A>
class DescriptorArray {
  static_assert(std::is_trivially_destructible_v<T>, "descriptors are freed without being destroyed");

 public:
  DescriptorArray() = default;
  DescriptorArray(const DescriptorArray&) = delete;
  DescriptorArray& operator=(const DescriptorArray&) = delete;
  DescriptorArray(DescriptorArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), alloc_(o.alloc_) {}
  DescriptorArray& operator=(DescriptorArray&& o) noexcept {
    if (this != &o) {
      release();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      alloc_ = o.alloc_;
    }
    return *this;
  }
  ~DescriptorArray() { release(); }

  // `size` value-initialised descriptors; nothing is allocated for none.
  static DescriptorArray allocate(std::size_t size, A alloc) {
    DescriptorArray d;
    d.alloc_ = alloc;
    if (size == 0) return d;
    if (size > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* p = d.alloc_.allocate(size * sizeof(T), ALIGN);
    if (p == nullptr) throw std::bad_alloc();
    d.data_ = static_cast<T*>(p);
    d.size_ = size;
    std::uninitialized_value_construct_n(d.data_, size);
    return d;
  }
  static DescriptorArray copy_of(std::span<const T> from, A alloc) {
    DescriptorArray d = allocate(from.size(), alloc);
    std::copy(from.begin(), from.end(), d.data_);
    return d;
  }

  T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() const noexcept { return data_; }
  T* end() const noexcept { return data_ + size_; }
  std::size_t bytes() const noexcept { return size_ * sizeof(T); }

 private:
  // Whole cache lines, as the arena has: a 64-byte level then never
  // straddles two.
  static constexpr std::size_t ALIGN = std::max(alignof(T), ARENA_ALIGN);

  void release() noexcept {
    if (data_) alloc_.deallocate(data_, size_ * sizeof(T), ALIGN);
    data_ = nullptr;
    size_ = 0;
  }
  T* data_ = nullptr;
  std::size_t size_ = 0;
  [[no_unique_address]] A alloc_{};
};

}  // namespace brindle
