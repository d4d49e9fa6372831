// Writing the header, the trailer and times (see snapshot_format.hpp).
#include "snapshot/snapshot_format.hpp"

#include "codec/writer.hpp"

namespace pelm::snapshot {

void write_seconds(codec::ByteBuffer& out, std::int64_t ns) {
  if (ns < 0) ns = 0;
  codec::write_uint_digits(out, static_cast<std::uint64_t>(ns / kNanosPerSecond));
  auto fraction = static_cast<std::uint32_t>(ns % kNanosPerSecond);
  if (fraction == 0) return;
  char digits[10] = {'.'};
  for (int i = 9; i >= 1; --i, fraction /= 10) digits[i] = static_cast<char>('0' + fraction % 10);
  std::size_t n = 10;
  while (digits[n - 1] == '0') --n;
  out.append(digits, n);
}

void write_header(codec::ByteBuffer& out, std::int64_t saved_at_ns) {
  out.append("{\"format\":");
  codec::write_string_text(out, kFormatName);
  out.append(",\"version\":");
  codec::write_uint_digits(out, kFormatVersion);
  out.append(",\"saved_at\":");
  write_seconds(out, saved_at_ns);
  out.append("}\n");
}

void write_trailer(codec::ByteBuffer& out, std::uint64_t entries, std::uint32_t crc) {
  out.append("{\"entries\":");
  codec::write_uint_digits(out, entries);
  out.append(",\"crc32c\":");
  codec::write_uint_digits(out, crc);
  out.append("}\n");
}

}  // namespace pelm::snapshot
