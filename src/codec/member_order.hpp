// The order of object members: ascending bytes of their raw (unescaped)
// names, compared as unsigned bytes, a proper prefix first. The one sort of
// member names, used by the writer when an object closes out of order and by
// the converters that sort a record's members before writing them.
//
// Names are compared first by their leading eight bytes as one big-endian
// integer (zero padded), so most comparisons are one integer compare; a tie
// there falls back to the whole names. Reading that prefix never touches a
// byte past the name's end.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "support/portable.hpp"

namespace pelm::codec {

// Compares names as unsigned bytes, the order in which members are kept.
[[nodiscard]] inline int compare_names(std::string_view a, std::string_view b) noexcept {
  // std::string_view::compare uses char_traits<char>, whose compare is
  // specified on unsigned char values, which is exactly byte order.
  return a.compare(b);
}

// The first eight bytes of a name as a big-endian number, zero padded, read
// with overlapping loads that stay inside the name: a name that runs out
// first is a prefix of the other and sorts first, or the prefixes tie and
// the names are compared.
[[nodiscard]] inline std::uint64_t name_prefix(const char* s, std::size_t n) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t w = 0;
    if (n >= 8) {
      std::memcpy(&w, s, 8);
    } else if (n >= 4) {
      std::uint32_t lo;
      std::uint32_t hi;
      std::memcpy(&lo, s, 4);
      std::memcpy(&hi, s + n - 4, 4);
      // Bytes n-4 .. n-1 land where they belong; the overlap ORs equal bytes.
      w = lo | (std::uint64_t{hi} << (8 * (n - 4)));
    } else if (n > 0) {
      auto byte_at = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(s[i])} << (8 * i); };
      w = byte_at(0) | byte_at(n / 2) | byte_at(n - 1);
    }
    return byteswap64(w);
  } else {
    std::uint64_t p = 0;
    for (std::size_t i = 0; i < n && i < 8; ++i) p |= std::uint64_t{static_cast<unsigned char>(s[i])} << (56 - 8 * i);
    return p;
  }
}

// Whether the name with `prefix_a` (name_prefix of `a`) sorts before `b`.
[[nodiscard]] inline bool name_less(std::uint64_t prefix_a, std::string_view a, std::uint64_t prefix_b,
                                    std::string_view b) noexcept {
  if (prefix_a != prefix_b) return prefix_a < prefix_b;
  return compare_names(a, b) < 0;
}

// One member in a small object's sort: its name's prefix and its index in
// arrival order.
struct MemberSortKey {
  std::uint64_t prefix;
  std::uint32_t index;
};

// Objects up to this many members are sorted by `sort_small_object`.
inline constexpr std::size_t kSmallObject = 16;

// Fills `keys[0..count)` with the members in ascending name order, equal
// names in arrival order; `name_at(i)` is the i-th name in arrival order,
// `prefix_at(i)` its name_prefix. Insertion sort: for a record's handful of
// members it beats any general sort, and it is stable by construction.
template <class NameAt, class PrefixAt>
void sort_small_object(std::size_t count, NameAt name_at, PrefixAt prefix_at, MemberSortKey* keys) noexcept {
  auto less = [&](const MemberSortKey& x, const MemberSortKey& y) {
    return name_less(x.prefix, name_at(x.index), y.prefix, name_at(y.index));
  };
  for (std::uint32_t i = 0; i < count; ++i) {
    const MemberSortKey k{prefix_at(i), i};
    std::uint32_t j = i;
    for (; j > 0 && less(k, keys[j - 1]); --j) keys[j] = keys[j - 1];
    keys[j] = k;
  }
}

// Orders a large object's members: `keys` holds each member's name prefix
// and arrival index, `spare` as many entries of room, `name_at(i)` the name
// of the member that arrived i-th. A comparison sort of thousands of names
// mispredicts about every other comparison, and that, not its instruction
// count, made it most of an insert's time; so the prefixes are sorted by
// LSD radix, a byte a pass (passes whose byte is the same in every prefix
// are skipped), which takes no data-dependent branch, and only runs of
// equal prefixes (long names sharing eight bytes) are then compared whole.
// The result is in `keys`.
template <class NameAt>
void sort_large_object(MemberSortKey* keys, MemberSortKey* spare, std::size_t count, NameAt name_at) {
  std::uint32_t counts[8][256] = {};
  for (std::size_t i = 0; i < count; ++i) {
    for (unsigned b = 0; b < 8; ++b) ++counts[b][(keys[i].prefix >> (8 * b)) & 0xFF];
  }
  MemberSortKey* from = keys;
  MemberSortKey* to = spare;
  for (unsigned b = 0; b < 8; ++b) {
    std::uint32_t* bucket = counts[b];
    if (bucket[(from[0].prefix >> (8 * b)) & 0xFF] == count) continue;  // one value: the order stands
    std::uint32_t start = 0;
    for (unsigned v = 0; v < 256; ++v) {
      const std::uint32_t n = bucket[v];
      bucket[v] = start;
      start += n;
    }
    for (std::size_t i = 0; i < count; ++i) to[bucket[(from[i].prefix >> (8 * b)) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys) std::memcpy(keys, from, count * sizeof(MemberSortKey));
  auto less = [&](const MemberSortKey& x, const MemberSortKey& y) {
    return compare_names(name_at(x.index), name_at(y.index)) < 0;
  };
  for (std::size_t i = 0; i < count;) {
    std::size_t j = i + 1;
    while (j < count && keys[j].prefix == keys[i].prefix) ++j;
    if (j - i > 1) std::sort(keys + i, keys + j, less);
    i = j;
  }
}

}  // namespace pelm::codec
