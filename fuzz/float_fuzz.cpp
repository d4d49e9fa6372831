// libFuzzer target: floats through the writer and decimal texts through the
// reader, each against the standard library.
//
// The first eight bytes are a double's bits: its text must equal the
// reference layout of std::to_chars's shortest digits byte for byte and read
// back to the same bits. The rest spell a decimal number (sign, 1 to 40
// significand digits with a point anywhere, an exponent): the reader must give
// the double strtod gives, correctly rounded, or "number out of range" where
// strtod overflows.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

#include <fuzzer/FuzzedDataProvider.h>

#include "codec/reader.hpp"
#include "value_tree/value_text.hpp"
#include "codec/writer.hpp"
#include "property.hpp"
#include "reference_text.hpp"

namespace {

using pelm::fuzz::fail;

std::uint64_t bits_of(double d) { return std::bit_cast<std::uint64_t>(d); }

// The one float a text "[number]" holds, or nothing when the reader refuses it.
std::variant<double, pelm::codec::JsonError> read_number(const std::string& number) {
  auto read = pelm::codec::read_json("[" + number + "]");
  if (auto* error = std::get_if<pelm::codec::JsonError>(&read)) return *error;
  const auto& items = std::get<pelm::codec::Array>(std::get<pelm::codec::Value>(read).data);
  if (items.size() != 1) fail("one number read as several values");
  const auto* d = std::get_if<double>(&items[0].data);
  if (d == nullptr) fail("a float text read as another kind of value");
  return *d;
}

void check_written(double d) {
  if (!std::isfinite(d)) return;
  pelm::codec::ByteBuffer out;
  pelm::codec::write_float_text(out, d);
  std::string want;
  pelm::fuzz::reference_float(want, d);
  if (out.view() != want) fail("float text differs from the shortest digits' reference layout");
  const auto back = read_number(want);
  if (!std::holds_alternative<double>(back) || bits_of(std::get<double>(back)) != bits_of(d)) {
    fail("float text does not read back to the same bits");
  }
}

std::string drawn_number(FuzzedDataProvider& in) {
  std::string text = in.ConsumeBool() ? "-" : "";
  const int count = in.ConsumeIntegralInRange(1, 40);
  const int point = in.ConsumeIntegralInRange(1, count);
  for (int i = 0; i < count; ++i) {
    if (i == point) text += '.';
    const int low = i == 0 ? 1 : 0;
    text += static_cast<char>('0' + in.ConsumeIntegralInRange(low, 9));
  }
  text += 'e' + std::to_string(in.ConsumeIntegralInRange(-360, 330));
  return text;
}

void check_read(const std::string& number) {
  const double want = std::strtod(number.c_str(), nullptr);
  const auto got = read_number(number);
  if (std::isinf(want)) {
    const auto* error = std::get_if<pelm::codec::JsonError>(&got);
    if (error == nullptr || error->code != pelm::codec::JsonErrorCode::NumberOutOfRange) {
      fail("a number beyond the double range was not refused as out of range");
    }
    return;
  }
  if (!std::holds_alternative<double>(got)) fail("a valid number was refused");
  if (bits_of(std::get<double>(got)) != bits_of(want)) fail("a number read differs from strtod's double");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  check_written(std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>()));
  if (in.remaining_bytes() > 0) check_read(drawn_number(in));
  return 0;
}
