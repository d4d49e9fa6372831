// The one form in which a key reaches the engine: its UTF-8 bytes and the
// hash its caller brings (the interpreter's hash of the key as a str, see
// key_hash.hpp). Every key the layers above hold exposes one: a converted
// argument, a memoized call's written key, a kept key of a call in flight.
//
// Invariant: equal texts come with equal hashes. A KeyRef borrows its text:
// it is valid only while whatever holds the bytes is.
#pragma once

#include <cstdint>
#include <string_view>

namespace pelm {

struct KeyRef {
  std::string_view text;
  std::uint64_t str_hash = 0;
};

}  // namespace pelm
