// The entry points' last resort (see entry_point.hpp).
#include "cache/entry_point.hpp"

#include <string>

#include "py/messages.hpp"

namespace pelm {

void raise_unexpected_exception() noexcept { Error::panic(msg::kUnexpectedInternal).raise(); }

}  // namespace pelm
