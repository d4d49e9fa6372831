// UTF-8 validation of string bytes as RFC 3629 defines it: no overlong forms,
// no surrogate code points (ED A0..BF), nothing above U+10FFFF.
#pragma once

#include <string_view>

namespace pelm::codec {

// True if `bytes` is entirely valid UTF-8; the empty text is valid.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace pelm::codec
