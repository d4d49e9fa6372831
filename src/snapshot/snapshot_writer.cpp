// The snapshot writer (see snapshot_writer.hpp).
#include "snapshot/snapshot_writer.hpp"

#include <algorithm>
#include <cstring>

#include "codec/writer.hpp"
#include "snapshot/crc32c.hpp"
#include "snapshot/snapshot_format.hpp"

namespace pelm::snapshot {

namespace {

// Keys up to this long are escaped in one go (at most 6 bytes out per byte in).
constexpr std::size_t kKeySlice = 64 * 1024;
// The most an entry line's fixed parts take: '[', two commas, a time, "]\n".
constexpr std::size_t kLineFrame = 64;

// Appends the escaped bytes of `s` without the quotes around them.
void append_escaped(codec::ByteBuffer& out, std::string_view s) {
  const std::size_t start = out.size();
  codec::write_string_text(out, s);
  const std::size_t body = out.size() - start - 2;
  std::memmove(out.data() + start, out.data() + start + 1, body);
  out.truncate(start + body);
}

}  // namespace

bool SnapshotWriter::send(std::string_view piece) {
  if (stopped_) return false;
  if (piece.empty()) return true;
  crc_ = crc32c_extend(crc_, piece);
  if (!sink_.put(piece)) stopped_ = true;
  return !stopped_;
}

bool SnapshotWriter::flush() {
  const bool ok = send(buffer_.view());
  buffer_.clear();
  return ok;
}

bool SnapshotWriter::room_for(std::size_t n) {
  if (stopped_) return false;
  return kPieceBytes - buffer_.size() >= n || flush();
}

bool SnapshotWriter::header(std::int64_t saved_at_ns) {
  if (!room_for(kLineFrame * 2)) return false;
  write_header(buffer_, saved_at_ns);
  return true;
}

bool SnapshotWriter::key_text(std::string_view key) {
  if (key.size() <= kKeySlice) {
    if (!room_for(6 * key.size() + 2 + kLineFrame)) return false;
    codec::write_string_text(buffer_, key);
    return true;
  }
  if (!room_for(1)) return false;
  buffer_.put('"');
  for (std::size_t at = 0; at < key.size(); at += kKeySlice) {
    if (!room_for(6 * kKeySlice)) return false;
    append_escaped(buffer_, key.substr(at, kKeySlice));
  }
  if (!room_for(1 + kLineFrame)) return false;
  buffer_.put('"');
  return true;
}

bool SnapshotWriter::entry(std::string_view key, std::optional<std::int64_t> expires_at_ns, std::string_view text) {
  if (!room_for(kLineFrame)) return false;
  buffer_.put('[');
  if (!key_text(key)) return false;
  buffer_.put(',');
  if (expires_at_ns) {
    write_seconds(buffer_, *expires_at_ns);
  } else {
    buffer_.append("null");
  }
  buffer_.put(',');
  if (text.size() <= kPieceBytes - buffer_.size()) {
    buffer_.append(text);
  } else {
    if (!flush()) return false;
    for (std::size_t at = 0; at < text.size(); at += kPieceBytes) {
      if (!send(text.substr(at, kPieceBytes))) return false;
    }
  }
  if (!room_for(2)) return false;
  buffer_.append("]\n");
  ++entries_;
  return true;
}

bool SnapshotWriter::finish() {
  if (!flush()) return false;
  codec::ByteBuffer trailer;
  write_trailer(trailer, entries_, crc_);
  if (!sink_.put(trailer.view())) stopped_ = true;
  return !stopped_;
}

}  // namespace pelm::snapshot
