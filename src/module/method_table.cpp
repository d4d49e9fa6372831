// The Cache's method table (see method_table.hpp): the cache's own methods
// in their order, then memoize, then the sentinel.
#include "module/method_table.hpp"

#include <algorithm>

#include "cache/docstrings.hpp"
#include "cache/method_support.hpp"
#include "cache/methods.hpp"
#include "memoize/decorate.hpp"

namespace pelm {

PyMethodDef* cache_method_table() noexcept {
  static PyMethodDef table[kCacheMethodCount + 2] = {};
  if (table[0].ml_name == nullptr) {
    std::copy(cache_methods, cache_methods + kCacheMethodCount, table);
    table[kCacheMethodCount] = {"memoize", as_cfunction<cache_memoize>(), METH_FASTCALL | METH_KEYWORDS, doc::kMemoize};
  }
  return table;
}

}  // namespace pelm
