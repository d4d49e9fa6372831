// Cold growth path of ByteBuffer, kept out of line so the appends inline small.
#include "codec/byte_buffer.hpp"

#include <limits>
#include <new>

#include "support/fault_injection.hpp"

namespace pelm::codec {

void ByteBuffer::grow(std::size_t extra) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max() / 2;
  if (extra > kMax - size_) throw std::bad_alloc();
  std::size_t want = size_ + extra;
  std::size_t cap = capacity_ < kInitialCapacity ? kInitialCapacity : capacity_;
  while (cap < want) cap = cap > kMax ? want : cap * 2;
  fault_injection::maybe_fail();
  void* p = std::realloc(data_, cap);
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(p);
  capacity_ = cap;
}

}  // namespace pelm::codec
