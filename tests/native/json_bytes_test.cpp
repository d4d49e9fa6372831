// Checks the plain-run scan against a byte-by-byte reference: every stop byte
// and its neighbours at every position of texts spanning several vectors,
// with a high byte before, at or after the stop, and from each start offset.
#include <gtest/gtest.h>

#include <string>

#include "codec/json_bytes.hpp"

namespace pelm::codec::detail {
namespace {

struct Scan {
  std::size_t end;
  bool non_ascii;
  bool operator==(const Scan&) const = default;
};

Scan reference_scan(const std::string& s, std::size_t pos) {
  bool high = false;
  for (; pos < s.size(); ++pos) {
    const auto c = static_cast<unsigned char>(s[pos]);
    if (c == '"' || c == '\\' || c < 0x20) break;
    high = high || c >= 0x80;
  }
  return {pos, high};
}

Scan scan(const std::string& s, std::size_t pos) {
  bool non_ascii = false;
  const std::size_t end = find_run_end(s.data(), pos, s.size(), non_ascii);
  return {end, non_ascii};
}

class RunEnd : public testing::TestWithParam<int> {};

TEST_P(RunEnd, MatchesTheReferenceAtEveryPosition) {
  const char probe = static_cast<char>(GetParam());
  for (std::size_t len = 0; len <= 40; ++len) {
    for (std::size_t at = 0; at < len; ++at) {
      for (int high_at : {-1, 0, 7, 8, 15, 16, 17, 33}) {
        std::string s(len, 'a');
        if (high_at >= 0 && static_cast<std::size_t>(high_at) < len) s[high_at] = '\xC3';
        s[at] = probe;
        for (std::size_t start : {0u, 1u, 3u}) {
          if (start > len) continue;
          ASSERT_EQ(scan(s, start), reference_scan(s, start))
              << "len " << len << " probe at " << at << " high at " << high_at << " from " << start;
        }
      }
    }
  }
}

// Stop bytes, their neighbours, and bytes whose signed value is negative.
INSTANTIATE_TEST_SUITE_P(Probes, RunEnd,
                         testing::Values(0x00, 0x1F, 0x20, '"', '!', '#', '\\', '[', ']', 0x7F, 0x80, 0x9F, 0xFF));

}  // namespace
}  // namespace pelm::codec::detail
