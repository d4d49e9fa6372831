// Room for the encoded member names of the dicts a conversion is writing,
// where every name handed out stays where it is until the arena dies.
//
// A dict sorted before it is written needs all its names readable at once,
// and so do the dicts around it while a nested one is written; a str without
// a UTF-8 form of its own has its name encoded here (never cached on the
// caller's str). Blocks are only added, never moved or reused, so a pointer
// stays valid for the conversion; the arena lives no longer than that.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace pelm {

class NameArena {
 public:
  // At least `n` bytes that no later call moves; throws std::bad_alloc.
  [[nodiscard]] char* room(std::size_t n) {
    if (n > left_) {
      const std::size_t size = std::max(n, kBlock);
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      next_ = blocks_.back().get();
      left_ = size;
    }
    return next_;
  }
  // Takes the first `n` bytes of the last room (n at most its size).
  void commit(std::size_t n) noexcept {
    next_ += n;
    left_ -= n;
  }

 private:
  static constexpr std::size_t kBlock = 16 * 1024;

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

}  // namespace pelm
