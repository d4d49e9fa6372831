// Throughput of the JSON codec alone, without Python: MB/s of text read and
// written per CPU second, on the JSON texts of the benchmark's workloads.
//
// Usage: codec_bench [--seconds S] NAME=FILE...   (one JSON line per file)
// Four measurements per text: the reader streaming events into a handler
// that only counts them (the reader's own cost), the reader building a value
// tree (`read_json`), the writer writing that tree (`write_json`), and the
// canonicaliser behind insert_raw (reader events straight into the writer,
// one reused writer and buffer, as the module keeps them). Each is repeated
// in rounds of about S/5 CPU seconds and the median round reported.
// CPU time, not wall time: the machine this runs on is shared.
//
// Peers, when run.py finds their Debian packages (it defines the macros):
// RapidJSON (rapidjson-dev) reading SAX events into a handler that does
// nothing, reading a Document, and writing that Document; simdjson
// (libsimdjson-dev) reading its DOM and writing it back as minified text.
// Both are asked for what this codec gives: RapidJSON validates UTF-8 and
// reads floats at full precision (kParseValidateEncodingFlag |
// kParseFullPrecisionFlag); simdjson always does both.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codec/canonical_text.hpp"
#include "codec/reader.hpp"
#include "value_tree/value_text.hpp"
#include "codec/writer.hpp"

#if defined(PELM_BENCH_RAPIDJSON)
#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif
#if defined(PELM_BENCH_SIMDJSON)
#include <simdjson.h>
#endif

namespace {

using pelm::codec::Value;

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Counts events so the optimiser cannot drop the read.
struct CountingHandler {
  std::uint64_t events = 0;
  bool null() { return ++events != 0; }
  bool boolean(bool) { return ++events != 0; }
  bool uint(std::uint64_t) { return ++events != 0; }
  bool neg_int(std::int64_t) { return ++events != 0; }
  bool float_number(double) { return ++events != 0; }
  bool string(std::string_view s) { return (events += 1 + s.size()) != 0; }
  bool begin_array() { return ++events != 0; }
  bool end_array(std::size_t) { return ++events != 0; }
  bool begin_object() { return ++events != 0; }
  bool key(std::string_view s) { return (events += 1 + s.size()) != 0; }
  bool end_object(std::size_t) { return ++events != 0; }
};

// Median MB/s of `rounds` rounds, each repeating `once` until `round_s` passes.
template <class F>
double median_mbps(std::size_t bytes, double round_s, int rounds, F&& once) {
  std::vector<double> rates;
  for (int r = 0; r < rounds; ++r) {
    std::uint64_t reps = 0;
    const double t0 = cpu_seconds();
    double spent = 0;
    do {
      once();
      ++reps;
      spent = cpu_seconds() - t0;
    } while (spent < round_s);
    rates.push_back(static_cast<double>(bytes) * static_cast<double>(reps) / spent / 1e6);
  }
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

#if defined(PELM_BENCH_RAPIDJSON)
constexpr unsigned kRapidFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;

// Appends the RapidJSON figures to `fields`; false if it cannot read the text.
bool bench_rapidjson(const std::string& text, double round_s, std::uint64_t& sink, std::string& fields) {
  rapidjson::Document doc;
  doc.Parse<kRapidFlags>(text.c_str(), text.size());
  if (doc.HasParseError()) return false;
  rapidjson::StringBuffer probe;
  rapidjson::Writer<rapidjson::StringBuffer> probe_writer(probe);
  doc.Accept(probe_writer);
  const std::size_t written = probe.GetSize();
  const double sax = median_mbps(text.size(), round_s, 5, [&] {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    rapidjson::StringStream in(text.c_str());
    sink += reader.Parse<kRapidFlags>(in, handler).IsError() ? 1 : 0;
  });
  const double dom = median_mbps(text.size(), round_s, 5, [&] {
    rapidjson::Document d;
    d.Parse<kRapidFlags>(text.c_str(), text.size());
    sink += d.HasParseError() ? 1 : 0;
  });
  const double write = median_mbps(written, round_s, 5, [&] {
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> w(out);
    doc.Accept(w);
    sink += out.GetSize();
  });
  char buf[200];
  std::snprintf(buf, sizeof buf,
                ", \"rapidjson_sax_mbps\": %.1f, \"rapidjson_dom_mbps\": %.1f, \"rapidjson_write_mbps\": %.1f", sax,
                dom, write);
  fields += buf;
  return true;
}
#endif

#if defined(PELM_BENCH_SIMDJSON)
bool bench_simdjson(const std::string& text, double round_s, std::uint64_t& sink, std::string& fields) {
  const simdjson::padded_string padded(text);
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(padded).get(root) != simdjson::SUCCESS) return false;
  const std::size_t written = simdjson::to_string(root).size();
  const double dom = median_mbps(text.size(), round_s, 5, [&] {
    simdjson::dom::element e;
    sink += parser.parse(padded).get(e) == simdjson::SUCCESS ? 1 : 0;
  });
  // Parsed again: the timed parses reused the parser's buffers.
  if (parser.parse(padded).get(root) != simdjson::SUCCESS) return false;
  const double write = median_mbps(written, round_s, 5, [&] { sink += simdjson::to_string(root).size(); });
  char buf[160];
  std::snprintf(buf, sizeof buf, ", \"simdjson_dom_mbps\": %.1f, \"simdjson_write_mbps\": %.1f", dom, write);
  fields += buf;
  return true;
}
#endif

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int bench_one(const std::string& name, const std::string& path, double seconds) {
  const std::string text = read_file(path);
  auto tree = pelm::codec::read_json(text);
  if (auto* err = std::get_if<pelm::codec::JsonError>(&tree)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), err->text().c_str());
    return 1;
  }
  const Value& value = std::get<Value>(tree);
  const std::size_t written = pelm::codec::write_json(value).size();
  const double round_s = seconds / 20;  // 4 measurements x 5 rounds
  std::uint64_t sink = 0;

  const double read_events = median_mbps(text.size(), round_s, 5, [&] {
    CountingHandler h;
    if (pelm::codec::parse_json(text, h)) std::abort();
    sink += h.events;
  });
  const double read_tree = median_mbps(text.size(), round_s, 5, [&] { sink += pelm::codec::read_json(text).index(); });
  const double write = median_mbps(written, round_s, 5, [&] { sink += pelm::codec::write_json(value).size(); });
  pelm::codec::ByteBuffer out;
  pelm::codec::JsonWriter writer(out);
  const double canonical = median_mbps(text.size(), round_s, 5, [&] {
    out.clear();
    writer.reset();
    if (pelm::codec::write_canonical(text, writer)) std::abort();
    sink += out.size();
  });
  std::string peers;
#if defined(PELM_BENCH_RAPIDJSON)
  if (!bench_rapidjson(text, round_s, sink, peers))
    std::fprintf(stderr, "%s: RapidJSON cannot read it\n", path.c_str());
#endif
#if defined(PELM_BENCH_SIMDJSON)
  if (!bench_simdjson(text, round_s, sink, peers)) std::fprintf(stderr, "%s: simdjson cannot read it\n", path.c_str());
#endif
  std::printf(
      "{\"workload\": \"%s\", \"text_bytes\": %zu, \"written_bytes\": %zu, "
      "\"read_events_mbps\": %.1f, \"read_tree_mbps\": %.1f, \"write_mbps\": %.1f, "
      "\"canonical_mbps\": %.1f%s, \"sink\": %llu}\n",
      name.c_str(), text.size(), written, read_events, read_tree, write, canonical, peers.c_str(),
      static_cast<unsigned long long>(sink % 10));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3.0;
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::stod(argv[++i]);
      continue;
    }
    const auto eq = arg.find('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "usage: codec_bench [--seconds S] NAME=FILE...\n");
      return 2;
    }
    status |= bench_one(arg.substr(0, eq), arg.substr(eq + 1), seconds);
  }
  return status;
}
