// The one membership test behind `key in cache` and contains(): a shared
// read of the key map.
//
// A key whose UTF-8 bytes already exist is looked up under the one-load check
// of the use flag, since nothing between that check and the lookup can run
// Python code. Any other key is encoded first, which can raise and so create
// an exception object (a possible garbage collection, running user
// finalisers); those keys are converted under the counted shared use.
#pragma once

#include <optional>
#include <string_view>

#include "cache/convert_arguments.hpp"
#include "cache/cache_object.hpp"

namespace pelm {

[[nodiscard]] inline Result<bool> cache_has_key(CacheObject* self, PyObject* key) {
  const Engine& engine = self->engine;
  if (std::optional<std::string_view> k = key_utf8_in_place(key)) [[likely]] {
    PELM_TRY(check_shared_use(self->use_flag));
    return engine.find(KeyRef{*k, str_hash(key)}) != nullptr;
  }
  std::optional<SharedUse> use;
  PELM_TRY(SharedUse::take(self->use_flag, use));
  Key k;
  PELM_TRY(convert_key(key, k));
  return engine.find(k) != nullptr;
}

}  // namespace pelm
