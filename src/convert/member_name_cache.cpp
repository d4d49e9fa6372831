// The shared short-key cache (see member_name_cache.hpp).
#include "convert/member_name_cache.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "py/str_from_utf8.hpp"
#include "py/owned_ref.hpp"
#include "py/per_interpreter.hpp"

namespace pelm {

namespace {
constexpr unsigned kSlotBits = 10;
}  // namespace

struct MemberNames {
  static constexpr const char* kKey = "pelm_lib.member_names";
  std::array<OwnedRef, std::size_t{1} << kSlotBits> slots;
};

namespace {

std::uint64_t load64(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

std::uint64_t load32(const char* p) noexcept {
  std::uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Multiply-xorshift over 8-byte words. Tails are read as overlapping words
// (the last 8, or two 4-byte halves, or three single bytes), so no byte loop
// runs; the length is mixed in first, so overlaps cannot alias two lengths.
std::uint64_t slot_hash(std::string_view s) noexcept {
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
bool equal_bytes(const char* a, const char* b, std::size_t n) noexcept {
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

bool holds(PyObject* str, std::string_view ascii) noexcept {
  return static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) == ascii.size() &&
         equal_bytes(static_cast<const char*>(PyUnicode_DATA(str)), ascii.data(), ascii.size());
}

}  // namespace

MemberNames* member_names_here() { return for_this_interpreter<MemberNames>(); }

PyObject* cached_member_name(MemberNames& names, std::string_view ascii) noexcept {
  OwnedRef& slot = names.slots[slot_hash(ascii) >> (64 - kSlotBits)];
  if (slot && holds(slot.get(), ascii)) return Py_NewRef(slot.get());
  PyObject* fresh = new_ascii_str(ascii);
  if (fresh == nullptr) return nullptr;
  // Hashing now, once, is what later dict insertions of this key save.
  (void)PyObject_Hash(fresh);
  slot.reset(Py_NewRef(fresh));
  return fresh;
}

}  // namespace pelm
