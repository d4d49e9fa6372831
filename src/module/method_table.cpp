// The Cache's method table (see method_table.hpp): the cache's own methods
// in their order, then memoize, then the sentinel.
#include "module/method_table.hpp"

#include <algorithm>

#include "cache/docstrings.hpp"
#include "cache/method_support.hpp"
#include "cache/methods.hpp"
#include "memoize/decorate.hpp"

namespace pelm {

namespace {

struct Table {
  PyMethodDef methods[kCacheMethodCount + 2] = {};
  Table() noexcept {
    std::copy(cache_methods, cache_methods + kCacheMethodCount, methods);
    methods[kCacheMethodCount] = {"memoize", as_cfunction<cache_memoize>(), METH_FASTCALL | METH_KEYWORDS,
                                  doc::kMemoize};
  }
};

}  // namespace

// Interpreters with locks of their own may execute the module at the same
// moment: the table is made by a function-local static's initialisation,
// which C++ runs exactly once, and is only read after it.
PyMethodDef* cache_method_table() noexcept {
  static Table table;
  return table.methods;
}

}  // namespace pelm
