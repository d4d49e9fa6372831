// A memoized call's key: the wrapper's prefix, then the canonical JSON text
// of the call's bound arguments as one array in the plan's order
// (plan.hpp). Each argument is written as insert would store it, except
// that NaN, the infinities and sets make the call uncacheable (their stored
// text would not tell unequal values apart), as does any argument insert
// would refuse or a call that does not bind.
//
// A key longer than kLongKey bytes becomes the prefix and the SHA-256 hex
// digest of the whole key (hashlib, the one Python-level step, on a rare
// path), so keys, which the byte cap does not count, stay small. A digest
// never starts with '[', so it cannot equal a written key of the same prefix.
//
// Writing runs the arguments' own Python code (a Mapping's keys(), ...),
// which may call the cache or this wrapper again: no use of the cache is held
// meanwhile, and the key's buffer belongs to this call alone (PooledWriter).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "memoize/memo_object.hpp"
#include "cache/pooled_writer.hpp"
#include "py/error.hpp"

namespace pelm {

inline constexpr std::size_t kLongKey = 256;

// Whether a call's key was written, or the call is uncacheable (nothing
// raised: it then runs uncached).
enum class Keyed { kWritten, kUncacheable };

// Writes the key of calling `self` with (args, nargs, kwnames) into `pooled`,
// replacing its text.
[[nodiscard]] Result<Keyed> write_call_key(const MemoObject& self, PyObject* const* args, std::size_t nargs,
                                           PyObject* kwnames, PooledWriter& pooled);

// The hash the interpreter gives the key as a str: the engine places every
// key by it, so a memoized entry is found by get(key) and the other way round.
[[nodiscard]] Result<std::uint64_t> key_str_hash(std::string_view key);
// The key as a new str (keys are valid UTF-8 by construction).
[[nodiscard]] Result<OwnedRef> key_as_str(std::string_view key);

}  // namespace pelm
