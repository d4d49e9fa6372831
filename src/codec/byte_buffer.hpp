// A growable byte buffer: the one place JSON text is assembled.
//
// Invariants: `size_ <= capacity_`; `data_` is null only while capacity is 0.
// Appends that need room call the out-of-line `grow`, which throws
// std::bad_alloc when memory runs out (the module boundary turns that into
// MemoryError); the inline paths do no allocation. `reserve_extra(n)` lets an
// emitter check once for its worst case and then write unchecked.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "support/portable.hpp"

namespace pelm::codec {

class ByteBuffer {
 public:
  static constexpr std::size_t kInitialCapacity = 128;

  ByteBuffer() = default;
  explicit ByteBuffer(std::size_t capacity) { grow(capacity); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& o) noexcept {
    if (this != &o) {
      std::free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
  }
  ~ByteBuffer() { std::free(data_); }

  [[nodiscard]] char* data() noexcept { return data_; }
  [[nodiscard]] const char* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }

  void clear() noexcept { size_ = 0; }
  // Shrinks the logical size; `n` must not exceed the current size.
  void truncate(std::size_t n) noexcept { size_ = n; }

  // Makes room for `n` more bytes; after it, `n` bytes may be written at
  // `end()` and committed with `commit(n)` without further checks.
  void reserve_extra(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
  }
  [[nodiscard]] char* end() noexcept { return data_ + size_; }
  void commit(std::size_t n) noexcept { size_ += n; }
  // Commits up to `end`, a pointer into the room made by reserve_extra.
  void commit_to(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

  void put(char c) {
    if (size_ == capacity_) grow(1);
    data_[size_++] = c;
  }
  void append(const char* p, std::size_t n) {
    reserve_extra(n);
    if (n != 0) std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }

 private:
  // Cold: at least doubles the capacity (starting at kInitialCapacity) so
  // that appends stay amortised constant time. Throws std::bad_alloc.
  PELM_NOINLINE void grow(std::size_t extra);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace pelm::codec
