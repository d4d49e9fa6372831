// The stack of owned references on which Python objects are built from JSON.
//
// Invariant: every pointer between the bottom and the top is an owned
// reference; the destructor releases whatever is still there, so a read that
// stops early leaves nothing behind. The first 64 slots live inside the
// object (on the C stack of the call): most stored values never touch the
// heap for their stack. Growing throws std::bad_alloc (the module boundary
// turns it into MemoryError); `push` releases the object it was given first.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "py/owned_ref.hpp"
#include "support/portable.hpp"

namespace pelm {

class ValueStack {
 public:
  ValueStack() noexcept = default;
  ValueStack(const ValueStack&) = delete;
  ValueStack& operator=(const ValueStack&) = delete;
  ~ValueStack() { release_above(0); }

  [[nodiscard]] std::size_t size() const noexcept { return static_cast<std::size_t>(top_ - bottom_); }
  // The slots from `index` up; valid until the next push.
  [[nodiscard]] PyObject** from(std::size_t index) noexcept { return bottom_ + index; }

  // Takes over `obj`, a new reference (not null).
  void push(PyObject* obj) {
    if (top_ == end_) grow(obj);
    *top_++ = obj;
  }
  // Hands the top reference to the caller.
  [[nodiscard]] OwnedRef pop() noexcept { return OwnedRef::steal(*--top_); }
  // Forgets the references above `size`: their ownership has been moved.
  void forget_above(std::size_t size) noexcept { top_ = bottom_ + size; }
  // Releases the references above `size`.
  void release_above(std::size_t size) noexcept {
    while (this->size() > size) (void)pop();
  }

 private:
  // The heap slots are resized in place where the allocator can (large
  // blocks are remapped rather than copied); the inline ones are copied once.
  PELM_NOINLINE void grow(PyObject* pending) {
    const std::size_t n = size();
    const bool on_heap = heap_ != nullptr;
    void* bigger =
        on_heap ? std::realloc(heap_.get(), 2 * n * sizeof(PyObject*)) : std::malloc(2 * n * sizeof(PyObject*));
    if (bigger == nullptr) {
      (void)OwnedRef::steal(pending);
      throw std::bad_alloc();
    }
    (void)heap_.release();  // realloc took over (or kept) the old block
    heap_.reset(static_cast<PyObject**>(bigger));
    if (!on_heap) std::memcpy(heap_.get(), bottom_, n * sizeof(PyObject*));
    bottom_ = heap_.get();
    top_ = bottom_ + n;
    end_ = bottom_ + 2 * n;
  }

  struct FreeSlots {
    void operator()(PyObject** p) const noexcept { std::free(p); }
  };

  static constexpr std::size_t kInlineSlots = 64;
  std::array<PyObject*, kInlineSlots> inline_;
  std::unique_ptr<PyObject*, FreeSlots> heap_;
  PyObject** bottom_ = inline_.data();
  PyObject** top_ = bottom_;
  PyObject** end_ = bottom_ + kInlineSlots;
};

}  // namespace pelm
