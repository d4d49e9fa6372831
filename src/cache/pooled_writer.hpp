// A per-thread spare JSON writer for insert and memoized calls: the output
// buffer and the writer's own arrays keep their grown capacity between calls,
// so a steady stream of inserts allocates nothing for writing.
//
// Taking the spare moves it out of its slot: a nested insert into another
// cache (run by user code during a conversion) finds the slot empty and gets
// a fresh writer, so two inserts never share state. A writer whose buffer grew
// past kKeepAtMost is dropped rather than kept, so one huge value does not pin
// its memory for the life of the thread.
#pragma once

#include <memory>

#include "codec/byte_buffer.hpp"
#include "codec/writer.hpp"

namespace pelm {

class PooledWriter {
 public:
  PooledWriter() : set_(std::move(spare())) {
    if (!set_) set_ = std::make_unique<Set>();
    set_->out.clear();
    set_->writer.reset();
  }
  PooledWriter(const PooledWriter&) = delete;
  PooledWriter& operator=(const PooledWriter&) = delete;
  ~PooledWriter() {
    if (set_->out.capacity() <= kKeepAtMost && !spare()) spare() = std::move(set_);
  }

  [[nodiscard]] codec::JsonWriter& writer() noexcept { return set_->writer; }
  // The writer's output, for text written around its values (a key's prefix).
  [[nodiscard]] codec::ByteBuffer& out() noexcept { return set_->out; }
  [[nodiscard]] std::string_view text() const noexcept { return set_->out.view(); }

 private:
  static constexpr std::size_t kKeepAtMost = std::size_t{1} << 20;
  struct Set {
    codec::ByteBuffer out;
    codec::JsonWriter writer{out};
  };
  static std::unique_ptr<Set>& spare() noexcept {
    thread_local std::unique_ptr<Set> slot;
    return slot;
  }
  std::unique_ptr<Set> set_;
};

}  // namespace pelm
