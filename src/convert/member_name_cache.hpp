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

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "py/owned_ref.hpp"
#include "py/str_utf8.hpp"
#include "support/portable.hpp"

namespace pelm {

inline constexpr std::size_t kMaxCachedKeyLength = 64;

// One interpreter's slots.
struct MemberNames {
  static constexpr unsigned kSlotBits = 10;
  static constexpr const char* kKey = "pelm_lib.member_names";
  std::array<OwnedRef, std::size_t{1} << kSlotBits> slots;
};

// The calling interpreter's slots; null with a Python error set when they
// cannot be made. Valid until that interpreter ends.
[[nodiscard]] MemberNames* member_names_here();

namespace member_name_detail {

[[nodiscard]] inline std::uint64_t load64(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

[[nodiscard]] inline std::uint64_t load32(const char* p) noexcept {
  std::uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Multiply-xorshift over 8-byte words. Tails are read as overlapping words
// (the last 8, or two 4-byte halves, or three single bytes), so no byte loop
// runs; the length is mixed in first, so overlaps cannot alias two lengths.
[[nodiscard]] inline std::uint64_t slot_hash(std::string_view s) noexcept {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
  const char* p = s.data();
  const std::size_t n = s.size();
  std::uint64_t h = (n + 1) * kMul;
  auto mix = [&](std::uint64_t w) {
    h = (h ^ w) * kMul;
    h ^= h >> 29;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 <= n; i += 8) mix(load64(p + i));
    if (n % 8 != 0) mix(load64(p + n - 8));
  } else if (n >= 4) {
    mix(load32(p) | (load32(p + n - 4) << 32));
  } else if (n > 0) {
    const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    mix(byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16));
  }
  return h * kMul;
}

// Equality of `n` bytes in words, tails as overlapping words (as in
// `slot_hash`): keys are short, and a call to memcmp costs more than this.
[[nodiscard]] inline bool equal_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  if (n < 8) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    if (load64(a + i) != load64(b + i)) return false;
  }
  return load64(a + n - 8) == load64(b + n - 8);
}

// Whether the slot's str (compact ASCII) is `ascii`.
[[nodiscard]] inline bool holds(PyObject* str, std::string_view ascii) noexcept {
  return static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) == ascii.size() &&
         equal_bytes(compact_ascii_chars(str), ascii.data(), ascii.size());
}

// The miss: a new str for `ascii`, hashed, put in `slot`.
[[nodiscard]] PELM_NOINLINE PyObject* refill(OwnedRef& slot, std::string_view ascii) noexcept;

}  // namespace member_name_detail

// New reference to a str equal to `ascii` (ASCII, at most kMaxCachedKeyLength
// bytes), shared with earlier callers when the slot still holds it; null with
// the interpreter's MemoryError set when a new str cannot be made. The hit is
// inline: it is most of the work of reading a key.
[[nodiscard]] inline PyObject* cached_member_name(MemberNames& names, std::string_view ascii) noexcept {
  using namespace member_name_detail;
  OwnedRef& slot = names.slots[slot_hash(ascii) >> (64 - MemberNames::kSlotBits)];
  if (slot && holds(slot.get(), ascii)) return Py_NewRef(slot.get());
  return refill(slot, ascii);
}

}  // namespace pelm
