// libFuzzer target: value trees through the writer and back through the reader.
//
// For each drawn tree: the streaming writer fed members in drawn order (unsorted,
// names repeated) and write_json on the folded tree give the same bytes; those
// bytes equal an independent model of the text form, so the buffer's size is
// the true payload size; the text holds no whitespace outside strings and no
// line feed or raw control byte at all; and it reads back to an equal tree
// (floats compared by bits), unless it nests 128 or more deep, in which case
// the read fails with "recursion limit exceeded" at the 128th bracket, line 1.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include <fuzzer/FuzzedDataProvider.h>

#include "codec/reader.hpp"
#include "value_tree/value_text.hpp"
#include "codec/writer.hpp"
#include "reference_text.hpp"
#include "value_generator.hpp"
#include "property.hpp"

namespace {

using pelm::fuzz::fail;

// Index of the bracket that opens the 128th nesting level, or npos.
std::size_t index_of_128th_bracket(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth == 128) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return std::string_view::npos;
}

void check_compact(std::string_view text) {
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20) fail("raw control byte or line feed in the text");
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == ' ') {
      fail("whitespace outside a string");
    }
  }
}

void check_read_back(std::string_view text, const pelm::codec::Value& tree) {
  auto back = pelm::codec::read_json(text);
  const std::size_t deep_bracket = index_of_128th_bracket(text);
  if (deep_bracket != std::string_view::npos) {
    const auto* e = std::get_if<pelm::codec::JsonError>(&back);
    if (e == nullptr) fail("a value nested 128 deep was read");
    if (e->code != pelm::codec::JsonErrorCode::RecursionLimitExceeded || e->line != 1 || e->column != deep_bracket + 1)
      fail("deep value failed with the wrong error or position");
    return;
  }
  if (const auto* e = std::get_if<pelm::codec::JsonError>(&back)) {
    __builtin_printf("%s\n", e->text().c_str());
    fail("the writer's text does not read back");
  }
  if (std::get<pelm::codec::Value>(back) != tree) fail("the text reads back to a different tree");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  pelm::fuzz::ValueDrawer drawer(fdp);
  const pelm::fuzz::DrawnValue drawn = drawer.draw();
  const pelm::codec::Value tree = pelm::fuzz::to_value(drawn);

  const auto text = pelm::codec::write_json(tree);
  pelm::codec::ByteBuffer streamed;
  pelm::codec::JsonWriter writer(streamed);
  pelm::fuzz::emit(drawn, writer);
  if (writer.depth() != 0) fail("the writer reports open containers after the value");
  if (streamed.view() != text.view()) fail("streamed events and write_json disagree");

  std::string expected;
  pelm::fuzz::reference_text(expected, tree);
  if (text.view() != expected) {
    __builtin_printf("writer:    %.*s\nreference: %s\n", static_cast<int>(text.size()), text.data(), expected.c_str());
    fail("the writer's text differs from the reference text");
  }
  check_compact(text.view());
  check_read_back(text.view(), tree);
  return 0;
}
