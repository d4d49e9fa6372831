// libFuzzer target: the reader of stored text, which skips UTF-8 validation,
// against the validating reader on the writer's output.
//
// Two kinds of writer output: the canonical form of arbitrary bytes the
// validating reader accepts (what insert_raw stores), and value trees drawn
// from the bytes (what insert stores, every code point included). On both,
// the stored-text reader must give exactly the validating reader's result:
// the same tree (floats compared by bits) or the same error and position.
#include <cstdint>
#include <string_view>
#include <variant>

#include <fuzzer/FuzzedDataProvider.h>

#include "codec/canonical_text.hpp"
#include "codec/reader.hpp"
#include "value_tree/value_text.hpp"
#include "codec/writer.hpp"
#include "property.hpp"
#include "value_generator.hpp"

namespace {

using pelm::fuzz::fail;

void check_same_reading(std::string_view text) {
  const auto validated = pelm::codec::read_json(text);
  const auto stored = pelm::codec::read_stored_json(text);
  if (validated.index() != stored.index()) fail("the readers disagree on whether the writer's text reads");
  if (const auto* e = std::get_if<pelm::codec::JsonError>(&validated)) {
    const auto& f = std::get<pelm::codec::JsonError>(stored);
    if (e->code != f.code || e->line != f.line || e->column != f.column) fail("the readers fail differently");
    return;
  }
  if (std::get<pelm::codec::Value>(validated) != std::get<pelm::codec::Value>(stored)) {
    fail("the readers read the writer's text as different trees");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  pelm::codec::ByteBuffer canonical;
  pelm::codec::JsonWriter writer(canonical);
  if (!pelm::codec::write_canonical(bytes, writer)) check_same_reading(canonical.view());

  FuzzedDataProvider fdp(data, size);
  pelm::fuzz::ValueDrawer drawer(fdp);
  check_same_reading(pelm::codec::write_json(pelm::fuzz::to_value(drawer.draw())).view());
  return 0;
}
