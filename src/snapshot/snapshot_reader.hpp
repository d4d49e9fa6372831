// Reads a snapshot (snapshot_format.hpp) fed in pieces of any size, checks
// every line, and hands each entry to a sink as soon as its line is whole.
// It trusts nothing in the input: no length or count read from the file
// sizes anything. It holds at most one line that has not ended yet (the
// longest line of the input) and the canonical form of one text, and frees
// a long line before its entry goes to the sink, so the line, its text and
// the sink's copy never take memory all at once: together with the sink's
// copies it never needs more than twice the input. A first line that grows
// past kMaxHeaderBytes is refused at once.
//
// Checked, each with its own message: the header (a JSON object of this
// format, a version this code reads, a time); each entry line (JSON, an
// array of three, a string key shorter than 2 GiB, null or a non-negative
// decimal number of seconds, a text the cache would store, given in the form
// the cache stores it in or canonicalised to it); the trailer (last, with the
// number of entries read and the CRC-32C of every byte before it); and that
// every line ends with a line feed, none is empty, and nothing follows the
// trailer. A repeated key is the sink's to find (`repeated_key`).
//
// A fault names the line, counted from 1; a missing trailer names the line
// after the last. After a fault or a stop every call returns it again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/byte_buffer.hpp"
#include "codec/writer.hpp"

namespace pelm::snapshot {

struct SnapshotFault {
  std::uint64_t line;
  std::string what;
  bool sink_stopped = false;  // the sink refused an entry and holds its own reason
  // "snapshot refused at line <line>: <what>"
  [[nodiscard]] std::string text() const;
};

struct SnapshotEntry {
  std::uint64_t line;
  std::string_view key;                       // UTF-8, unescaped
  std::optional<std::int64_t> expires_at_ns;  // wall clock, since the epoch
  std::string_view text;                      // the stored (canonical) form
};

class EntrySink {
 public:
  virtual ~EntrySink() = default;
  // Takes one entry; the views die when it returns. False stops the read.
  virtual bool take(const SnapshotEntry& entry) = 0;
};

class SnapshotReader {
 public:
  SnapshotReader() = default;
  SnapshotReader(const SnapshotReader&) = delete;
  SnapshotReader& operator=(const SnapshotReader&) = delete;

  // Reads on with `piece`; entries whose lines it completes go to `sink`.
  [[nodiscard]] std::optional<SnapshotFault> feed(std::string_view piece, EntrySink& sink);
  // The input has ended: the last line must have been the trailer.
  [[nodiscard]] std::optional<SnapshotFault> finish();

  [[nodiscard]] std::uint64_t entries() const noexcept { return entries_; }

 private:
  std::optional<SnapshotFault> line(std::string_view text, EntrySink& sink);
  std::optional<SnapshotFault> header(std::string_view text);
  std::optional<SnapshotFault> trailer(std::string_view text);
  std::optional<SnapshotFault> entry(std::string_view text, EntrySink& sink);
  std::optional<SnapshotFault> fault(std::string what);

  codec::ByteBuffer pending_;    // the start of a line whose line feed has not come yet
  codec::ByteBuffer canonical_;  // one text's stored form
  codec::JsonWriter writer_{canonical_};
  std::string key_;         // one key, unescaped
  std::uint64_t line_ = 0;  // lines completed
  std::uint64_t entries_ = 0;
  std::uint32_t crc_ = 0;
  bool saw_trailer_ = false;
  std::optional<SnapshotFault> failed_;
};

// The sink's refusal of a key that an earlier line of the snapshot had.
[[nodiscard]] SnapshotFault repeated_key(std::uint64_t line, std::string_view key);
// The sink's refusal of a text larger than the cache can hold.
[[nodiscard]] SnapshotFault text_too_large(std::uint64_t line, std::uint64_t size, std::uint64_t limit);

}  // namespace pelm::snapshot
