// A small fixed cache of `str` objects for short ASCII member names (the
// keys of the dicts that decoding builds).
//
// Stored values repeat the same member names over and over; handing out one
// shared str per name saves the allocation and, because a str caches its own
// hash, the hashing on every later dict insertion. Sharing is safe because str
// is immutable.
//
// Invariants: 1024 slots, each empty or holding a strong reference to an
// exact, compact ASCII str of at most 64 characters; a slot is picked by a hash
// of the bytes, and its str is reused only when its bytes are equal, so a
// collision costs a replacement, never a wrong key. Only keys of at most 64
// ASCII bytes enter. Each interpreter has its own slots (py/per_interpreter.hpp),
// released when it ends: a str made in one interpreter is never handed to
// another.
// Hazards: none of its calls runs Python code; it is used only under the
// interpreter lock, which is what serialises access to the slots.
#pragma once

#include <Python.h>

#include <string_view>

namespace pelm {

inline constexpr std::size_t kMaxCachedKeyLength = 64;

// One interpreter's slots.
struct MemberNames;

// The calling interpreter's slots; null with a Python error set when they
// cannot be made. Valid until that interpreter ends.
[[nodiscard]] MemberNames* member_names_here();

// New reference to a str equal to `ascii` (ASCII, at most kMaxCachedKeyLength
// bytes), shared with earlier callers when the slot still holds it; null with
// the interpreter's MemoryError set when a new str cannot be made.
[[nodiscard]] PyObject* cached_member_name(MemberNames& names, std::string_view ascii) noexcept;

}  // namespace pelm
