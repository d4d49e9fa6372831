// Writes a snapshot to a sink in pieces of at most kPieceBytes, whatever the
// sizes of the keys and texts: lines are gathered in one buffer that never
// grows past that, a text longer than the room left goes to the sink in
// slices of its own, and a key too long to escape at once is escaped a
// slice at a time (every escape covers one byte, so no slice splits one).
//
// The checksum and the entry count follow what reaches the sink. A sink that
// refuses a piece (returns false; it keeps its own reason) stops the writer:
// every later call returns false and sends nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "codec/byte_buffer.hpp"

namespace pelm::snapshot {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes a piece of at most SnapshotWriter::kPieceBytes bytes; false stops the writer.
  virtual bool put(std::string_view piece) = 0;
};

class SnapshotWriter {
 public:
  static constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

  explicit SnapshotWriter(ByteSink& sink) : sink_(sink), buffer_(kPieceBytes) {}

  bool header(std::int64_t saved_at_ns);
  // One entry line; `expires_at_ns` is wall-clock nanoseconds since the epoch.
  bool entry(std::string_view key, std::optional<std::int64_t> expires_at_ns, std::string_view text);
  // The trailer, then whatever is still buffered.
  bool finish();

  [[nodiscard]] std::uint64_t entries() const noexcept { return entries_; }

 private:
  // Makes room for `n` more buffered bytes (n <= kPieceBytes), flushing first if needed.
  bool room_for(std::size_t n);
  bool flush();
  bool send(std::string_view piece);
  bool key_text(std::string_view key);

  ByteSink& sink_;
  codec::ByteBuffer buffer_;
  std::uint32_t crc_ = 0;
  std::uint64_t entries_ = 0;
  bool stopped_ = false;
};

}  // namespace pelm::snapshot
