// Decimal digits of unsigned integers, eight at a time in one 64-bit word.
//
// Used for integer values and for the significands of floats, where
// std::to_chars spent about 230 instructions on a 17-digit number (a loop of
// digit pairs after a loop counting the digits). Here eight digits take a few
// multiplies: the number is split into 4-digit, then 2-digit, then 1-digit
// lanes of one word, each split dividing every lane at once by a reciprocal
// multiply that is exact for the lane's range (below 10^4 for /100, below
// 100 for /10), with the lanes far enough apart that no product reaches the
// next lane's bits that are kept. With SSE2 (every x86-64) the same splits
// run on sixteen digits at once, for the long significands of floats.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "support/portable.hpp"

#if PELM_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace pelm::codec {

namespace detail {

inline constexpr std::uint64_t kPow10[20] = {1u,
                                             10u,
                                             100u,
                                             1000u,
                                             10000u,
                                             100000u,
                                             1000000u,
                                             10000000u,
                                             100000000u,
                                             1000000000u,
                                             10000000000u,
                                             100000000000u,
                                             1000000000000u,
                                             10000000000000u,
                                             100000000000000u,
                                             1000000000000000u,
                                             10000000000000000u,
                                             100000000000000000u,
                                             1000000000000000000u,
                                             10000000000000000000u};

// "00" .. "99", two bytes each: a number below 10^4 takes its digits from
// here in two loads, without the lane arithmetic.
inline constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

PELM_ALWAYS_INLINE void put_pair(char* p, std::uint64_t v) noexcept { std::memcpy(p, kDigitPairs + 2 * v, 2); }

// The eight digits of `v` < 10^8 (leading zeros included) as ASCII, the most
// significant first in memory order. Little-endian targets only.
[[nodiscard]] inline std::uint64_t eight_digits(std::uint32_t v) noexcept {
  // Two 32-bit lanes: the high four digits in the low lane.
  std::uint64_t x = (v / 10000) | (std::uint64_t{v % 10000} << 32);
  // Four 16-bit lanes of two digits; q = lane / 100.
  std::uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007Fu;
  x = q | ((x - q * 100) << 16);
  // Eight 8-bit lanes of one digit; q = lane / 10.
  q = ((x * 103) >> 10) & 0x000F000F000F000Fu;
  x = q | ((x - q * 10) << 8);
  return x + 0x3030303030303030u;
}

// A word's worth of digits stored whole at `at` (bytes past the digits are
// scratch).
PELM_ALWAYS_INLINE void store_word(char* at, std::uint64_t digits) noexcept { std::memcpy(at, &digits, 8); }

// The first `digits` (1 to 8) digits of `v8` < 10^8 as the leading bytes of
// a word: eight_digits' leading zeros sit in the low (first) bytes and shift
// out.
[[nodiscard]] inline std::uint64_t leading_digits(std::uint64_t v8, int digits) noexcept {
  return eight_digits(static_cast<std::uint32_t>(v8)) >> (8 * (8 - digits));
}

// The sixteen digits of hi · 10^8 + lo (hi and lo below 10^8, leading zeros
// included) stored at `p`: the lane splits of eight_digits done for both
// halves at once in one 128-bit register. A double's shortest digits are
// mostly 16 or 17, where two eight_digits cost about twice this. Without
// SSE2, those two.
#if PELM_HAVE_SSE2
PELM_ALWAYS_INLINE void put_sixteen_digits(char* p, std::uint64_t hi, std::uint64_t lo) noexcept {
  const __m128i x = _mm_set_epi64x(static_cast<long long>(lo), static_cast<long long>(hi));
  // 64-bit lanes: x / 10^4 as (x · ceil(2^45 / 10^4)) >> 45, exact below 2^32.
  const __m128i q4 = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32(static_cast<int>(0xD1B71759u))), 45);
  const __m128i r4 = _mm_sub_epi64(x, _mm_mul_epu32(q4, _mm_set1_epi32(10000)));
  // 32-bit lanes of four digits, the higher four first in memory.
  const __m128i v4 = _mm_or_si128(q4, _mm_slli_epi64(r4, 32));
  // 16-bit lanes of two: y / 100 as (y · 5243) >> 19, exact below 43699.
  const __m128i q2 = _mm_srli_epi16(_mm_mulhi_epu16(v4, _mm_set1_epi16(5243)), 3);
  const __m128i r2 = _mm_sub_epi16(v4, _mm_mullo_epi16(q2, _mm_set1_epi16(100)));
  const __m128i v2 = _mm_or_si128(q2, _mm_slli_epi32(r2, 16));
  // 8-bit lanes of one: z / 10 as (z · 6554) >> 16, exact below 100.
  const __m128i q1 = _mm_mulhi_epu16(v2, _mm_set1_epi16(6554));
  const __m128i r1 = _mm_sub_epi16(v2, _mm_mullo_epi16(q1, _mm_set1_epi16(10)));
  const __m128i v1 = _mm_or_si128(q1, _mm_slli_epi16(r1, 8));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_add_epi8(v1, _mm_set1_epi8('0')));
}
#else
PELM_ALWAYS_INLINE void put_sixteen_digits(char* p, std::uint64_t hi, std::uint64_t lo) noexcept {
  store_word(p, eight_digits(static_cast<std::uint32_t>(hi)));
  store_word(p + 8, eight_digits(static_cast<std::uint32_t>(lo)));
}
#endif

}  // namespace detail

// Number of decimal digits of `v` (1 for zero).
[[nodiscard]] inline int decimal_length(std::uint64_t v) noexcept {
  // floor(log10(2^bits)) estimate, corrected by one comparison.
  const int guess = (std::bit_width(v | 1) * 1233) >> 12;
  // `v | 1` counts zero as one digit; it changes no other comparison, every
  // other power of ten being even.
  return guess + ((v | 1) >= detail::kPow10[guess]);
}

// Writes the decimal digits of `v` at `p` and returns their end. Up to 20
// bytes from `p` may be written (bytes past the digits are scratch), so `p`
// must have room for 20 whatever the number's length.
[[nodiscard]] inline char* write_decimal(char* p, std::uint64_t v) noexcept {
  if constexpr (std::endian::native != std::endian::little) {
    char buf[20];
    char* b = buf + sizeof buf;
    do {
      *--b = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    const auto n = static_cast<std::size_t>(buf + sizeof buf - b);
    std::memcpy(p, b, n);
    return p + n;
  } else {
    // Up to four digits (list indexes, counts, years, flags) are most ints
    // stored; they skip the length and the lane arithmetic.
    if (v < 100) {
      if (v < 10) {
        *p = static_cast<char>('0' + v);
        return p + 1;
      }
      detail::put_pair(p, v);
      return p + 2;
    }
    if (v < 10000) {
      if (v < 1000) {
        *p = static_cast<char>('0' + v / 100);
        detail::put_pair(p + 1, v % 100);
        return p + 3;
      }
      detail::put_pair(p, v / 100);
      detail::put_pair(p + 2, v % 100);
      return p + 4;
    }
    const int n = decimal_length(v);
    // The leading word holds the first 1 to 8 digits. Whole 8-byte stores,
    // no loop.
    using detail::eight_digits;
    using detail::leading_digits;
    using detail::store_word;
    if (n <= 8) {
      store_word(p, leading_digits(v, n));
    } else if (n <= 16) {
      store_word(p, leading_digits(v / 100000000u, n - 8));
      store_word(p + n - 8, eight_digits(static_cast<std::uint32_t>(v % 100000000u)));
    } else {
      const std::uint64_t rest = v % 10000000000000000u;
      store_word(p, leading_digits(v / 10000000000000000u, n - 16));
      store_word(p + n - 16, eight_digits(static_cast<std::uint32_t>(rest / 100000000u)));
      store_word(p + n - 8, eight_digits(static_cast<std::uint32_t>(rest % 100000000u)));
    }
    return p + n;
  }
}

// Writes the n digits of `v` (n = decimal_length(v), 16 or more) at `p` and
// returns their end; as write_decimal, up to 20 bytes may be written. The
// float writer calls it for the 16 and 17 digits most doubles need, whose
// cost is most of a float's text after the digit search.
[[nodiscard]] PELM_ALWAYS_INLINE char* write_long_decimal(char* p, std::uint64_t v, int n) noexcept {
  if constexpr (std::endian::native != std::endian::little) return write_decimal(p, v);  // the words are little-endian
  const std::uint64_t head = v / 10000000000000000u;
  const std::uint64_t rest = v % 10000000000000000u;
  if (n == 17) {
    *p = static_cast<char>('0' + head);
  } else if (n > 17) {
    detail::store_word(p, detail::leading_digits(head, n - 16));
  }
  detail::put_sixteen_digits(p + n - 16, rest / 100000000u, rest % 100000000u);
  return p + n;
}

// Writes the n digits of `v` (n = decimal_length(v), 9 to 16) at `p` and
// returns their end; up to 16 bytes may be written. With SSE2, `v` is scaled
// up to sixteen digits by trailing zeros (the bytes past the n digits are
// scratch) and written in one register, where write_decimal pays two words
// of lane arithmetic: the 13 to 15 digits of map coordinates and of other
// decimals with many places.
[[nodiscard]] PELM_ALWAYS_INLINE char* write_mid_decimal(char* p, std::uint64_t v, int n) noexcept {
  if constexpr (std::endian::native != std::endian::little || !PELM_HAVE_SSE2) {
    return write_decimal(p, v);
  } else {
    const std::uint64_t sixteen = v * detail::kPow10[16 - n];
    detail::put_sixteen_digits(p, sixteen / 100000000u, sixteen % 100000000u);
    return p + n;
  }
}

}  // namespace pelm::codec
