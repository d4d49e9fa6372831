// The first half of a memoized call, shared by plain and coroutine functions:
// write the key and look it up (call.cpp).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/key_ref.hpp"
#include "memoize/memo_object.hpp"
#include "py/error.hpp"
#include "py/owned_ref.hpp"

namespace pelm {

// The key of a miss, copied out of the pooled buffer to outlive the call of
// the function (which may write keys of its own).
struct MissedKey {
  std::string text;
  std::uint64_t str_hash;
  // The key as the engine takes it, valid while this key is.
  [[nodiscard]] KeyRef ref() const noexcept { return KeyRef{text, str_hash}; }
};

// A hit's fresh copy in `hit`, or the key to store under after a miss;
// neither when the call runs uncached (uncacheable, or the cache busy).
[[nodiscard]] Result<std::optional<MissedKey>> try_cache(MemoObject* self, PyObject* const* args, std::size_t nargs,
                                                         PyObject* kwnames, OwnedRef& hit);

}  // namespace pelm
