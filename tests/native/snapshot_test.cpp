// The snapshot format without Python: the checksum against its reference
// value and its portable form, writer and reader against each other (any
// split of the input, every cut and every altered byte refused), the reader's
// own message for each fault, the writer's bounded pieces, and a batch
// committed to the engine against one insert after another.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.hpp"
#include "snapshot/crc32c.hpp"
#include "snapshot/snapshot_file.hpp"
#include "snapshot/snapshot_format.hpp"
#include "snapshot/snapshot_reader.hpp"
#include "snapshot/snapshot_writer.hpp"

namespace pelm::snapshot {
namespace {

struct Item {
  std::string key;
  std::optional<std::int64_t> expires;
  std::string text;
  bool operator==(const Item&) const = default;
};

class StringSink : public ByteSink {
 public:
  std::string bytes;
  std::size_t largest_piece = 0;
  std::size_t fail_after = std::string::npos;
  bool put(std::string_view piece) override {
    largest_piece = std::max(largest_piece, piece.size());
    if (bytes.size() + piece.size() > fail_after) return false;
    bytes.append(piece);
    return true;
  }
};

class Collect : public EntrySink {
 public:
  std::vector<Item> items;
  bool take(const SnapshotEntry& e) override {
    items.push_back({std::string(e.key), e.expires_at_ns, std::string(e.text)});
    return true;
  }
};

std::string save(const std::vector<Item>& items, StringSink& sink) {
  SnapshotWriter w(sink);
  EXPECT_TRUE(w.header(1'765'300'000'500'000'000));
  for (const Item& i : items) EXPECT_TRUE(w.entry(i.key, i.expires, i.text));
  EXPECT_TRUE(w.finish());
  return sink.bytes;
}

std::string save(const std::vector<Item>& items) {
  StringSink sink;
  return save(items, sink);
}

// Feeds `bytes` in pieces of `step` bytes; the fault, or the entries read.
std::variant<std::vector<Item>, SnapshotFault> load(std::string_view bytes, std::size_t step = 1 << 16) {
  SnapshotReader r;
  Collect c;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    if (auto f = r.feed(bytes.substr(at, step), c)) return *f;
  }
  if (auto f = r.finish()) return *f;
  return c.items;
}

std::string fault_of(std::string_view bytes) {
  auto r = load(bytes);
  if (auto* f = std::get_if<SnapshotFault>(&r)) return f->text();
  return "";
}

const std::vector<Item> kItems = {
    {"a", std::nullopt, "1"},
    {"quote \" and \\ and \n", 1'765'300'600'250'000'000, R"({"k":[1,2.5,"x"],"z":null})"},
    {"", 1, "\"\""},
    {"\xC3\xA9t\xC3\xA9", std::nullopt, "[]"},
};

TEST(Crc32c, ReferenceValueAndPortableAgree) {
  EXPECT_EQ(crc32c_extend(0, "123456789"), 0xE3069283u);
  EXPECT_EQ(crc32c_portable(0, "123456789"), 0xE3069283u);
  std::mt19937_64 rng(7);
  std::string data(4099, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  for (std::size_t start : {0, 1, 3, 7}) {
    for (std::size_t len : {0, 1, 7, 8, 9, 63, 4000}) {
      const std::string_view s = std::string_view(data).substr(start, len);
      EXPECT_EQ(crc32c_extend(0, s), crc32c_portable(0, s));
      // Extending piece by piece gives the checksum of the whole.
      EXPECT_EQ(crc32c_extend(crc32c_extend(0, s.substr(0, len / 3)), s.substr(len / 3)), crc32c_extend(0, s));
    }
  }
}

TEST(Snapshot, RoundTripsUnderAnySplit) {
  const std::string bytes = save(kItems);
  EXPECT_TRUE(bytes.starts_with(R"({"format":"pelm_lib snapshot","version":1,"saved_at":1765300000.5})" "\n"));
  EXPECT_NE(bytes.find(R"(["quote \" and \\ and \n",1765300600.25,{"k":[1,2.5,"x"],"z":null}])" "\n"),
            std::string::npos);
  for (std::size_t step : {1, 2, 5, 64, 1 << 16}) {
    auto r = load(bytes, step);
    ASSERT_TRUE(std::holds_alternative<std::vector<Item>>(r)) << std::get<SnapshotFault>(r).text();
    EXPECT_EQ(std::get<std::vector<Item>>(r), kItems);
  }
}

TEST(Snapshot, EveryCutAndEveryAlteredByteIsRefused) {
  const std::string bytes = save(kItems);
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_NE(fault_of(bytes.substr(0, n)), "") << "cut at " << n;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (unsigned char flip : {0x01, 0x20, 0x80}) {
      std::string altered = bytes;
      altered[i] = static_cast<char>(altered[i] ^ flip);
      EXPECT_NE(fault_of(altered), "") << "byte " << i << " ^ " << int(flip);
    }
  }
}

// A snapshot of the given entry lines with a correct trailer.
std::string with_trailer(std::string header, const std::vector<std::string>& lines) {
  std::string body = std::move(header);
  for (const std::string& l : lines) body += l + "\n";
  codec::ByteBuffer t;
  write_trailer(t, lines.size(), crc32c_extend(0, body));
  return body + std::string(t.view());
}

TEST(Snapshot, EachFaultHasItsOwnMessage) {
  const std::string h = R"({"format":"pelm_lib snapshot","version":1,"saved_at":0})" "\n";
  const std::string good = save(kItems);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "line 1: not a pelm_lib snapshot: it is empty"},
      {"[1]\n", "line 1: not a pelm_lib snapshot: its first line is no header"},
      {std::string(70000, 'x'), "line 1: not a pelm_lib snapshot: its first line is no header"},
      {R"({"format":"other","version":1,"saved_at":0})" "\n", "line 1: not a pelm_lib snapshot: the header names"},
      {R"({"format":"pelm_lib snapshot","version":2,"saved_at":0})" "\n", "line 1: the snapshot's version 2 is newer"},
      {R"({"format":"pelm_lib snapshot","version":"1","saved_at":0})" "\n", "line 1: the header's version is not"},
      {R"({"format":"pelm_lib snapshot","version":1})" "\n", "line 1: the header's saved_at is not"},
      // Header members as JSON's model reads an object: the later of two
      // equal names wins, and only top-level members count.
      {R"({"format":"pelm_lib snapshot","version":1,"version":"1","saved_at":0})" "\n", "line 1: the header's version"},
      {R"({"format":"pelm_lib snapshot","version":"1","version":1,"saved_at":0})" "\n", "line 2: the trailer is"},
      {R"({"format":"pelm_lib snapshot","x":{"version":1},"saved_at":0})" "\n", "line 1: the header's version"},
      {R"({"format":"pelm_lib snapshot","version":1,"saved_at":[0]})" "\n", "line 1: the header's saved_at is not"},
      {R"({"format":"pelm_lib snapshot","version":1,"saved_at":-0})" "\n", "line 2: the trailer is missing"},
      {R"({"format":"pelm_lib snapshot")" "\n", "line 1: not a pelm_lib snapshot: its first line is no header"},
      {h, "line 2: the trailer is missing"},
      {good.substr(0, good.size() - 1), "line 6: the line has no line feed"},
      {good + "x\n", "line 7: text after the trailer"},
      {with_trailer(h, {""}), "line 2: an empty line"},
      {with_trailer(h, {R"(["a",null,1)"}), "line 2: not JSON: EOF while parsing a list at column 11"},
      {with_trailer(h, {"[\"\xFF\",null,1]"}), "line 2: not JSON: invalid unicode code point"},
      {with_trailer(h, {"5"}), "line 2: an entry must be an array"},
      {with_trailer(h, {R"(["a",null,1,2])"}), "line 2: an entry has three elements [key, expires_at, text], not 4"},
      {with_trailer(h, {R"([1,null,1])"}), "line 2: the key is not a string"},
      {with_trailer(h, {R"(["a",-1,1])"}), "line 2: expires_at must be null or a number"},
      {with_trailer(h, {R"(["a",1e9,1])"}), "line 2: expires_at must be null or a number"},
      {with_trailer(h, {R"(["a",null,{"x":1,"x":2}])"}), "line 2: the text is refused: repeated member name"},
      {with_trailer(h, {R"(["a",null,18446744073709551616])"}), "line 2: the text is refused: integer out of range"},
      {with_trailer(h, {std::string(130, '[') + std::string(130, ']')}), "line 2: not JSON: recursion limit"},
      {h + R"({"entries":1,"crc32c":0})" "\n", "line 2: the trailer counts 1 entries, but 0 came before it"},
      {h + R"({"entries":0,"crc32c":0})" "\n", "line 2: the checksum does not match"},
      {h + R"({"entries":0})" "\n", "line 2: the trailer must hold"},
      {h + R"({"entries":0,"crc32c":[0]})" "\n", "line 2: the trailer must hold"},
      {h + R"({"entries":0)" "\n", "line 2: not JSON: EOF while parsing an object at column 12"},
  };
  for (const auto& [input, expected] : cases) {
    const std::string got = fault_of(input);
    EXPECT_TRUE(got.starts_with("snapshot refused at " + expected)) << got << "\n   wanted: " << expected;
  }
}

TEST(Snapshot, TolerantOfSpacesAndCanonicalisesTexts) {
  const std::string h = R"({"format":"pelm_lib snapshot","version":1,"saved_at":0})" "\n";
  auto r = load(with_trailer(h, {R"([ "k" , 12.000000001 , { "b" : 1 , "a" : 2.50 } ] )"}));
  ASSERT_TRUE(std::holds_alternative<std::vector<Item>>(r)) << std::get<SnapshotFault>(r).text();
  EXPECT_EQ(std::get<std::vector<Item>>(r), (std::vector<Item>{{"k", 12'000'000'001, R"({"a":2.5,"b":1})"}}));
  // Times beyond the clock's range saturate instead of wrapping.
  r = load(with_trailer(h, {R"(["k",99999999999999999999999,1])"}));
  ASSERT_TRUE(std::holds_alternative<std::vector<Item>>(r));
  EXPECT_EQ(std::get<std::vector<Item>>(r)[0].expires, std::numeric_limits<std::int64_t>::max());
}

TEST(Snapshot, WriterPiecesStayBoundedAndAStopStopsIt) {
  const std::vector<Item> big = {{std::string(300'000, '"'), std::nullopt, "\"" + std::string(3'000'000, 'v') + "\""},
                                 {"k", std::nullopt, "1"}};
  StringSink sink;
  const std::string bytes = save(big, sink);
  EXPECT_LE(sink.largest_piece, SnapshotWriter::kPieceBytes);
  auto r = load(bytes);
  ASSERT_TRUE(std::holds_alternative<std::vector<Item>>(r)) << std::get<SnapshotFault>(r).text();
  EXPECT_EQ(std::get<std::vector<Item>>(r), big);

  StringSink failing;
  failing.fail_after = 100;
  SnapshotWriter w(failing);
  EXPECT_TRUE(w.header(0));
  EXPECT_FALSE(w.entry("k", std::nullopt, std::string(200, '1')) && w.finish());
  EXPECT_FALSE(w.entry("k", std::nullopt, "1"));
  EXPECT_LE(failing.bytes.size(), 100u);
}

std::string read_whole(const std::filesystem::path& p) {
  SnapshotFileReader r;
  EXPECT_FALSE(r.open(p.native()));
  std::string out;
  char buf[7];
  for (std::size_t got = 1; got != 0;) {
    EXPECT_FALSE(r.read(buf, sizeof buf, got));
    out.append(buf, got);
  }
  return out;
}

TEST(SnapshotFile, ReplacesOnlyOnCommitAndLeavesNoTemporaryFile) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("pelm-snapshot-test-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const fs::path target = dir / "snap";
  {
    ReplacementFile f;
    ASSERT_FALSE(f.open(target.native()));
    ASSERT_FALSE(f.write("old text\n"));
    ASSERT_FALSE(f.commit());
  }
  {
    ReplacementFile f;  // dropped before its commit: the old file stays
    ASSERT_FALSE(f.open(target.native()));
    ASSERT_FALSE(f.write("new"));
  }
  EXPECT_EQ(read_whole(target), "old text\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  ReplacementFile nowhere;
  const std::optional<FileFault> fault = nowhere.open((dir / "missing" / "snap").native());
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->code, ENOENT);
  SnapshotFileReader absent;
  EXPECT_TRUE(absent.open((dir / "absent").native()));
  fs::remove_all(dir);
}

TEST(Snapshot, ABatchFindsEachRepeatWhereverItIs) {
  for (std::size_t n : {1u, 5u, 16u, 17u, 100u}) {
    for (std::size_t at = 1; at < n + 1; at += 7) {
      EntryBatch batch;
      std::optional<EntryBatch::Repeat> repeat;
      for (std::size_t i = 0; i < n && !repeat; ++i) {
        const std::string k = "k" + std::to_string(i);
        repeat = batch.add(k, "1", std::hash<std::string>{}(k), kNoDeadline, i);
      }
      const std::string again = "k" + std::to_string(at - 1);
      if (!repeat) repeat = batch.add(again, "2", std::hash<std::string>{}(again), kNoDeadline, 1000);
      if (!repeat) repeat = batch.settle();
      ASSERT_TRUE(repeat) << n << " " << at;
      EXPECT_EQ(repeat->tag, 1000u);
      EXPECT_EQ(repeat->key, again);
    }
  }
}

// The engine after committing `batch` equals the engine after inserting the
// same entries one by one: same keys in the same order, same size.
TEST(Snapshot, BatchCommitMatchesOneInsertAfterAnother) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 300; ++round) {
    const std::uint64_t limit = rng() % 64;
    Engine batched(limit, {5, 6});
    Engine sequential(limit, {5, 6});
    auto ref = [](const std::string& k) { return KeyRef{k, std::hash<std::string>{}(k)}; };
    auto h = [&](const Engine& e, const std::string& k) { return e.map_hash(ref(k)); };
    for (int i = 0; i < 5; ++i) {  // what the caches held before
      const std::string k = "old" + std::to_string(rng() % 8);
      const std::string text(rng() % 8 + 1, 'o');
      for (Engine* e : {&batched, &sequential}) e->commit_insert(e->prepare_insert(ref(k), text));
    }
    EntryBatch batch;
    std::set<std::string> seen;
    std::size_t inserted = 0;
    std::size_t evicted = 0;
    const Deadline now = 1000;
    for (int i = 0; i < int(rng() % 12); ++i) {
      const std::string k = (rng() % 2 ? "old" : "new") + std::to_string(rng() % 8);
      const std::string text(rng() % std::max<std::uint64_t>(limit, 1) + 1, 'n');
      const Deadline d = rng() % 3 == 0 ? Deadline(rng() % 2000) : kNoDeadline;
      if (text.size() > limit || seen.contains(k)) continue;
      seen.insert(k);
      ASSERT_FALSE(batch.add(k, text, h(batched, k), d, 0));
      if (d <= now) continue;
      ++inserted;
      evicted += sequential.commit_insert(sequential.prepare_insert(ref(k), text, d));
    }
    ASSERT_FALSE(batch.settle());
    const Engine::BatchOutcome out = batched.commit_batch(batch, now);
    ASSERT_EQ(batched.check_invariants(), "");
    std::vector<std::pair<std::string, std::string>> a, b;
    batched.visit_most_recent_first([&](const Entry& e) { a.emplace_back(e.key(), e.data()); });
    sequential.visit_most_recent_first([&](const Entry& e) { b.emplace_back(e.key(), e.data()); });
    EXPECT_EQ(a, b) << "round " << round;
    EXPECT_EQ(batched.size(), sequential.size());
    EXPECT_EQ(out.inserted, inserted);
    EXPECT_LE(out.stored, inserted);
    (void)evicted;
  }
}

}  // namespace
}  // namespace pelm::snapshot
