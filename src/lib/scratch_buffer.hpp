// A per-thread spare output buffer for insert, so the common case allocates
// no buffer at all. Taking it moves it out of its slot: a nested insert on
// another cache (run by user code during a conversion) finds the slot empty
// and uses a fresh buffer, so two inserts never share bytes. Buffers that grew
// very large are not kept, so one huge value does not pin memory for good.
#pragma once

#include "codec/byte_buffer.hpp"

namespace pelm {

class ScratchBuffer {
 public:
  ScratchBuffer() noexcept : buf_(std::move(spare())) { buf_.clear(); }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;
  ~ScratchBuffer() {
    if (buf_.capacity() <= kKeepAtMost && spare().capacity() == 0) spare() = std::move(buf_);
  }
  [[nodiscard]] codec::ByteBuffer& get() noexcept { return buf_; }

 private:
  static constexpr std::size_t kKeepAtMost = std::size_t{1} << 20;
  static codec::ByteBuffer& spare() noexcept {
    thread_local codec::ByteBuffer slot;
    return slot;
  }
  codec::ByteBuffer buf_;
};

}  // namespace pelm
