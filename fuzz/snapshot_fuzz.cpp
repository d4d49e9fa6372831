// libFuzzer target: the snapshot reader on arbitrary bytes.
//
// The first byte chooses how the rest is read: its low bit whether the
// harness appends the trailer a sound snapshot of those lines would end with
// (the right count and checksum, which random bytes almost never hit, so the
// entry lines themselves get explored), the other bits the size of the
// pieces the input is fed in. Properties: the reader returns; the verdict
// does not depend on how the input is split (the same fault, or the same
// entries); a fault reads "snapshot refused at line N: ..." with N at most
// one past the input's lines; and an accepted snapshot's entries, written
// again by the snapshot writer, read back to the same entries, the keys
// unique and every text in the form it is stored in.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "codec/canonical_text.hpp"
#include "property.hpp"
#include "snapshot/crc32c.hpp"
#include "snapshot/snapshot_format.hpp"
#include "snapshot/snapshot_reader.hpp"
#include "snapshot/snapshot_writer.hpp"

namespace {

using pelm::fuzz::fail;
namespace snapshot = pelm::snapshot;

using Item = std::tuple<std::string, std::optional<std::int64_t>, std::string>;
using Verdict = std::variant<std::vector<Item>, std::string>;

class Collect : public snapshot::EntrySink {
 public:
  std::vector<Item> items;
  bool take(const snapshot::SnapshotEntry& e) override {
    items.emplace_back(std::string(e.key), e.expires_at_ns, std::string(e.text));
    return true;
  }
};

class StringSink : public snapshot::ByteSink {
 public:
  std::string bytes;
  bool put(std::string_view piece) override {
    if (piece.size() > snapshot::SnapshotWriter::kPieceBytes) fail("a piece larger than the writer's bound");
    bytes.append(piece);
    return true;
  }
};

Verdict read(std::string_view input, std::size_t step) {
  snapshot::SnapshotReader reader;
  Collect collect;
  for (std::size_t at = 0; at < input.size(); at += step) {
    if (auto f = reader.feed(input.substr(at, step), collect)) return f->text();
  }
  if (auto f = reader.finish()) return f->text();
  return collect.items;
}

void check_fault(std::string_view input, const std::string& text) {
  constexpr std::string_view kPrefix = "snapshot refused at line ";
  if (!std::string_view(text).starts_with(kPrefix)) fail("a fault without its prefix");
  std::uint64_t line = 0;
  std::size_t i = kPrefix.size();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) line = line * 10 + (text[i] - '0');
  std::uint64_t lines = 0;
  for (char c : input) lines += c == '\n';
  if (line == 0 || line > lines + 1) fail("a fault names a line the input does not have");
  if (text.compare(i, 2, ": ") != 0 || text.size() == i + 2) fail("a fault without its reason");
}

void check_accepted(const std::vector<Item>& items) {
  std::set<std::string> keys;
  StringSink sink;
  snapshot::SnapshotWriter writer(sink);
  if (!writer.header(0)) fail("the writer stopped");
  for (const auto& [key, expires, text] : items) {
    pelm::codec::ByteBuffer again;
    pelm::codec::JsonWriter w(again);
    if (pelm::codec::write_canonical(text, w) || again.view() != text) fail("a text not in its stored form");
    if (!writer.entry(key, expires, text)) fail("the writer stopped");
    keys.insert(key);
  }
  if (!writer.finish()) fail("the writer stopped");
  const Verdict back = read(sink.bytes, sink.bytes.size());
  if (!std::holds_alternative<std::vector<Item>>(back)) fail("a written snapshot is refused");
  if (std::get<std::vector<Item>>(back) != items) fail("a written snapshot reads back otherwise");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((mode & 1) != 0) {
    std::uint64_t lines = 0;
    for (char c : input) lines += c == '\n';
    pelm::codec::ByteBuffer trailer;
    snapshot::write_trailer(trailer, lines == 0 ? 0 : lines - 1, snapshot::crc32c_extend(0, input));
    input += trailer.view();
  }
  const std::size_t step = (mode >> 1) + 1;
  const Verdict whole = read(input, input.size() + 1);
  if (read(input, step) != whole) fail("the verdict depends on how the input is split");
  if (const auto* fault = std::get_if<std::string>(&whole)) {
    check_fault(input, *fault);
  } else {
    check_accepted(std::get<std::vector<Item>>(whole));
  }
  return 0;
}
