// String text: a quoted string with exactly 34 escaped bytes, all others raw.
//
// Escaped: 0x00-0x1F (seven by letter, the rest as "\u00xx" in lower-case
// hex), '"' and '\\'. Everything else, 0x7F, '/' and every byte from 0x80 up
// included, is copied unchanged, so valid UTF-8 in gives valid UTF-8 out.
//
// Speed: the output is reserved for the worst case (6 bytes per input byte)
// once per chunk, then written unchecked. Clean bytes are found and copied 16
// at a time with SSE2 where the target has it (always on x86-64), then 8 at a
// time: each 8-byte word is stored whole before it is tested, so a clean word
// costs one load, one store and a few ALU ops; when a word holds an escapable
// byte, the output pointer only advances past the clean prefix and the escape
// overwrites the rest. Storing a whole word is safe because at least 8 input
// bytes remain, so at least 48 reserved bytes are free; a tail shorter than a
// word is tested and stored as one word too, which is why two bytes beyond six
// per input byte are reserved.
//
// A str without UTF-8 of its own is written from its code units
// (write_units_text): each unit is encoded and, if ASCII, escaped in the same
// pass, so its text is not encoded into scratch and then scanned again.
// Only ASCII units can need escaping, and a wide str's ASCII units are mostly
// lone (punctuation between words), so only a stretch of them takes the
// eight-unit blocks.
#include <bit>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "codec/json_bytes.hpp"
#include "codec/string_text.hpp"
#include "support/portable.hpp"

namespace pelm::codec {

namespace {

// For each byte: 0 if copied raw, the letter after '\\' for the short
// escapes, or 'u' for the "\u00xx" form.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

// The writer escapes exactly the bytes the reader stops at.
constexpr bool escapes_match_special_bytes() {
  for (int b = 0; b < 256; ++b) {
    if ((kEscape[static_cast<std::size_t>(b)] != 0) != detail::is_special(static_cast<unsigned char>(b))) return false;
  }
  return true;
}
static_assert(escapes_match_special_bytes());

// Bounds the reservation for long strings, so a huge string never asks for six
// times its length at once; escapes never straddle chunks since each is one byte.
constexpr std::size_t kChunk = std::size_t{1} << 16;

char* put_escape(char* p, unsigned char byte) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  const char letter = kEscape[byte];
  *p++ = '\\';
  *p++ = letter;
  if (letter == 'u') {
    std::memcpy(p, "00", 2);
    p[2] = kHex[byte >> 4];
    p[3] = kHex[byte & 0xF];
    p += 4;
  }
  return p;
}

// The `r` (1 to 7) bytes at `s` in the low lanes of a little-endian word,
// zeros above, read without touching any byte past them: two overlapping
// 4-byte loads, or the first, middle and last byte (equal lanes OR to
// themselves).
std::uint64_t load_short_tail(const unsigned char* s, std::size_t r) noexcept {
  if (r >= 4) {
    std::uint32_t lo;
    std::uint32_t hi;
    std::memcpy(&lo, s, 4);
    std::memcpy(&hi, s + r - 4, 4);
    return lo | (std::uint64_t{hi} << (8 * (r - 4)));
  }
  return std::uint64_t{s[0]} | (std::uint64_t{s[r / 2]} << (8 * (r / 2))) | (std::uint64_t{s[r - 1]} << (8 * (r - 1)));
}

// Writes the escaped form of [s, s+n) at `p`, which must have room for
// 6*n + 2 bytes: a tail shorter than a word is stored as a whole word, up to
// 7 bytes past its end, and a 1-byte tail has only 6 bytes of its own.
PELM_ALWAYS_INLINE char* escape_into(char* p, const unsigned char* s, std::size_t n) noexcept {
  std::size_t i = 0;
#if PELM_HAVE_SSE2
  // Sixteen bytes per step where the vector unit is always there (long text
  // values); the word loop below then sees at most one word and the tail.
  // As with words, the block is stored before it is tested.
  while (n - i >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    const unsigned lanes = detail::special_lanes(v);
    if (lanes == 0) {
      i += 16;
      p += 16;
      continue;
    }
    const auto k = static_cast<std::size_t>(std::countr_zero(lanes));
    p += k;
    i += k;
    p = put_escape(p, s[i++]);
  }
#endif
  while (n - i >= 8) {
    std::uint64_t w;
    std::memcpy(&w, s + i, 8);
    std::memcpy(p, &w, 8);
    const std::uint64_t lanes = detail::special_bytes(w);
    if (lanes == 0) {
      i += 8;
      p += 8;
      continue;
    }
    const unsigned k = detail::first_flagged_byte(lanes);
    p += k;
    i += static_cast<std::size_t>(k);
    p = put_escape(p, s[i++]);
  }
  // Most keys and many values are shorter than a word: their bytes are tested
  // as one word too; lanes past the tail are masked off (they lie above the
  // tail's, so they cannot disturb its flags).
  if constexpr (std::endian::native == std::endian::little) {
    if (const std::size_t r = n - i; r != 0) {
      const std::uint64_t w = load_short_tail(s + i, r);
      std::memcpy(p, &w, 8);
      const std::uint64_t lanes = detail::special_bytes(w) & detail::bytes_before(static_cast<unsigned>(r));
      if (lanes == 0) return p + r;
      const unsigned k = detail::first_flagged_byte(lanes);
      p += k;
      i += static_cast<std::size_t>(k);
    }
  }
  for (; i < n; ++i) {
    const unsigned char b = s[i];
    if (kEscape[b] == 0) {
      *p++ = static_cast<char>(b);
    } else {
      p = put_escape(p, b);
    }
  }
  return p;
}

// Writes the quoted, escaped `s`, then a ':' when `kColon`. Almost every
// string fits one chunk: it reserves once and writes both quotes (and the
// colon) unchecked, which for short keys is most of the cost saved.
template <bool kColon>
void write_quoted(ByteBuffer& out, std::string_view s) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t left = s.size();
  if (left <= kChunk) {
    // Quote, at most 6*n escaped bytes and the closing quote or colon fit
    // within the 6*n + 2 `escape_into` needs after the opening quote.
    out.reserve_extra(6 * left + 3);
    char* const begin = out.end();
    char* p = begin;
    *p++ = '"';
    p = escape_into(p, bytes, left);
    *p++ = '"';
    if constexpr (kColon) *p++ = ':';
    out.commit(static_cast<std::size_t>(p - begin));
    return;
  }
  // Opening and closing quotes ride on the first and last reservations, plus
  // the byte `escape_into` may overrun by.
  std::size_t chunk = kChunk;
  out.reserve_extra(6 * chunk + 3);
  out.put('"');
  for (;;) {
    char* begin = out.end();
    char* end = escape_into(begin, bytes, chunk);
    out.commit(static_cast<std::size_t>(end - begin));
    bytes += chunk;
    left -= chunk;
    if (left == 0) break;
    chunk = left < kChunk ? left : kChunk;
    out.reserve_extra(6 * chunk + 2);
  }
  out.put('"');
  if constexpr (kColon) out.put(':');
}

// Eight units at `u` as the eight bytes they are when all are ASCII, in the
// low half of the result; a unit from 0x80 up comes out as a byte from 0x80
// up or as 0 (unsigned saturation of a negative lane), both flagged below.
#if PELM_HAVE_SSE2
template <class Unit>
__m128i eight_units_as_bytes(const Unit* u) noexcept {
  if constexpr (sizeof(Unit) == 1) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(u));
  } else if constexpr (sizeof(Unit) == 2) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u));
    return _mm_packus_epi16(v, v);
  } else {
    // Signed saturation to 16 bits keeps every unit from 0x80 up at 0x80 or
    // more (code points never reach the sign bit).
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + 4));
    const __m128i v = _mm_packs_epi32(lo, hi);
    return _mm_packus_epi16(v, v);
  }
}
#endif

// Writes the escaped ASCII units from *u on while a block of eight of them
// is plain (no byte from 0x80 up, nothing to escape); stops at the first
// block that is not, having written its plain prefix. The block is stored
// before it is tested, as in escape_into.
template <class Unit>
PELM_ALWAYS_INLINE void copy_plain_blocks(const Unit*& u, const Unit* end, char*& o) noexcept {
#if PELM_HAVE_SSE2
  while (end - u >= 8) {
    const __m128i bytes = eight_units_as_bytes(u);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), bytes);
    const unsigned flagged = (detail::special_lanes(bytes) | static_cast<unsigned>(_mm_movemask_epi8(bytes))) & 0xFF;
    if (flagged != 0) {
      const auto k = static_cast<std::size_t>(std::countr_zero(flagged));
      u += k;
      o += k;
      return;
    }
    u += 8;
    o += 8;
  }
#else
  (void)u;
  (void)end;
  (void)o;
#endif
}

}  // namespace

template <class Unit>
char* write_units_text(char* p, const Unit* units, std::size_t n) noexcept {
  using namespace utf8_encode_detail;
  const Unit* u = units;
  const Unit* const end = units + n;
  auto* o = reinterpret_cast<unsigned char*>(p);
  *o++ = '"';
  while (u != end) {
    const std::uint32_t c = *u;
    if (c < 0x80) {
      // Long ASCII stretches (a str made wide by one character elsewhere)
      // go eight units at a time; a lone ASCII unit between other
      // characters does not pay for the block test.
      char* out = reinterpret_cast<char*>(o);
      copy_plain_blocks(u, end, out);
      o = reinterpret_cast<unsigned char*>(out);
      if (u == end) break;
      const std::uint32_t a = *u;
      if (a < 0x80) {
        ++u;
        if (kEscape[a] == 0) {
          *o++ = static_cast<unsigned char>(a);
        } else {
          o = reinterpret_cast<unsigned char*>(put_escape(reinterpret_cast<char*>(o), static_cast<unsigned char>(a)));
        }
      }
      continue;
    }
    ++u;
    o = put_non_ascii<Unit>(o, c);
    if (o == nullptr) return nullptr;
  }
  *o++ = '"';
  return reinterpret_cast<char*>(o);
}

template char* write_units_text(char*, const std::uint8_t*, std::size_t) noexcept;
template char* write_units_text(char*, const std::uint16_t*, std::size_t) noexcept;
template char* write_units_text(char*, const std::uint32_t*, std::size_t) noexcept;

void write_string_text(ByteBuffer& out, std::string_view s) { write_quoted<false>(out, s); }

void write_member_name_text(ByteBuffer& out, std::string_view s) { write_quoted<true>(out, s); }

char* write_member_name_chars(char* p, std::string_view s) noexcept {
  *p++ = '"';
  p = escape_into(p, reinterpret_cast<const unsigned char*>(s.data()), s.size());
  *p++ = '"';
  *p++ = ':';
  return p;
}

}  // namespace pelm::codec
