// UTF-8 validation as a table-driven automaton, with a skip over ASCII blocks.
//
// Each state is stored as its bit offset (a multiple of 6) into a 64-bit row
// per byte value, and the row holds every state's successor at that offset,
// so one step is a load and a shift with no branch: mixed-script text, whose
// sequence lengths change every few bytes, costs no mispredictions. Only the
// low six bits of the state are meaningful (shifts use them alone); the
// higher bits are left over from the row and must be masked before testing.
#include "codec/utf8_validate.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace pelm::codec {

namespace {

// States, numbered; a state's value at run time is its number times 6.
enum State : unsigned {
  kAccept,
  kReject,
  kNeed1,    // one continuation byte left
  kNeed2,    // two continuation bytes left
  kNeed3,    // three continuation bytes left
  kAfterE0,  // 0xA0..0xBF next (excludes overlong three-byte forms)
  kAfterED,  // 0x80..0x9F next (excludes surrogates)
  kAfterF0,  // 0x90..0xBF next (excludes overlong four-byte forms)
  kAfterF4,  // 0x80..0x8F next (excludes code points above U+10FFFF)
  kStateCount
};
static_assert(kStateCount * 6 <= 64);

constexpr unsigned next_state(unsigned state, unsigned byte) noexcept {
  const bool cont = byte >= 0x80 && byte <= 0xBF;
  switch (state) {
    case kAccept:
      if (byte < 0x80) return kAccept;
      if (byte >= 0xC2 && byte <= 0xDF) return kNeed1;
      if (byte == 0xE0) return kAfterE0;
      if (byte == 0xED) return kAfterED;
      if (byte >= 0xE1 && byte <= 0xEF) return kNeed2;
      if (byte == 0xF0) return kAfterF0;
      if (byte == 0xF4) return kAfterF4;
      if (byte >= 0xF1 && byte <= 0xF3) return kNeed3;
      return kReject;
    case kNeed1:
      return cont ? kAccept : kReject;
    case kNeed2:
      return cont ? kNeed1 : kReject;
    case kNeed3:
      return cont ? kNeed2 : kReject;
    case kAfterE0:
      return byte >= 0xA0 && byte <= 0xBF ? kNeed1 : kReject;
    case kAfterED:
      return byte >= 0x80 && byte <= 0x9F ? kNeed1 : kReject;
    case kAfterF0:
      return byte >= 0x90 && byte <= 0xBF ? kNeed2 : kReject;
    case kAfterF4:
      return byte >= 0x80 && byte <= 0x8F ? kNeed2 : kReject;
    default:
      return kReject;
  }
}

constexpr std::array<std::uint64_t, 256> make_rows() noexcept {
  std::array<std::uint64_t, 256> rows{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    for (unsigned state = 0; state < kStateCount; ++state) {
      rows[byte] |= std::uint64_t{next_state(state, byte) * 6} << (state * 6);
    }
  }
  return rows;
}

constexpr std::array<std::uint64_t, 256> kRows = make_rows();

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

std::uint64_t load_word(const unsigned char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

std::uint64_t step(std::uint64_t state, const unsigned char* p, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) state = kRows[p[i]] >> (state & 63);
  return state;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::uint64_t state = kAccept * 6;
  constexpr std::size_t kBlock = 16;
  for (; n >= kBlock; p += kBlock, n -= kBlock) {
    // Between sequences an ASCII block cannot change the state.
    if ((state & 63) == kAccept * 6 && ((load_word(p) | load_word(p + 8)) & kHighBits) == 0) continue;
    state = step(state, p, kBlock);
  }
  state = step(state, p, n);
  return (state & 63) == kAccept * 6;
}

}  // namespace pelm::codec
