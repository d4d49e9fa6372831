// The start of a type object defined as a C++ static: zeroed, holding the one
// reference a static type keeps for ever, so it is never freed. The caller
// fills in the slots; the module readies each such type once, when it is
// executed.
#pragma once

#include <Python.h>

namespace pelm {

[[nodiscard]] inline PyTypeObject blank_static_type() noexcept {
  PyTypeObject t{};
  t.ob_base.ob_base.ob_refcnt = 1;
  return t;
}

}  // namespace pelm
