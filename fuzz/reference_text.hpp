// An independent, deliberately plain model of the compact text form, used to
// check the optimised writer byte for byte.
//
// Floats take their shortest digits from std::to_chars (scientific form) and
// are then laid out by decimal exponent: exponent form below -5 or above 15,
// otherwise plain decimals, always with a "." or an "e". Strings escape exactly
// the 34 bytes 0x00-0x1F, '"' and '\\'.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include "value_tree/value.hpp"

namespace pelm::fuzz {

inline void reference_float(std::string& out, double d) {
  if (d == 0) {
    out += std::signbit(d) ? "-0.0" : "0.0";
    return;
  }
  if (d < 0) {
    out += '-';
    d = -d;
  }
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));  // e.g. "1.25e+300"
  const auto e_at = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_at))
    if (c != '.') digits += c;
  const int exp = std::atoi(std::string(sci.substr(e_at + 1)).c_str());
  const int n = static_cast<int>(digits.size());
  if (exp < -5 || exp > 15) {
    out += digits[0];
    if (n > 1) out += '.' + digits.substr(1);
    out += exp < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(exp));
  } else if (exp >= 0 && n <= exp + 1) {
    out += digits + std::string(static_cast<std::size_t>(exp + 1 - n), '0') + ".0";
  } else if (exp >= 0) {
    out += digits.substr(0, static_cast<std::size_t>(exp + 1)) + '.' + digits.substr(static_cast<std::size_t>(exp + 1));
  } else {
    out += "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
  }
}

inline void reference_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

inline void reference_text(std::string& out, const codec::Value& v) {
  using K = codec::Value::Kind;
  switch (v.kind()) {
    case K::Null:
      out += "null";
      return;
    case K::Bool:
      out += std::get<bool>(v.data) ? "true" : "false";
      return;
    case K::UInt:
      out += std::to_string(std::get<std::uint64_t>(v.data));
      return;
    case K::NegInt:
      out += std::to_string(std::get<codec::NegInt>(v.data).value);
      return;
    case K::Float:
      reference_float(out, std::get<double>(v.data));
      return;
    case K::String:
      reference_string(out, std::get<std::string>(v.data));
      return;
    case K::Array: {
      out += '[';
      const auto& a = std::get<codec::Array>(v.data);
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (i) out += ',';
        reference_text(out, a[i]);
      }
      out += ']';
      return;
    }
    case K::Object: {
      out += '{';
      const auto& members = std::get<codec::Object>(v.data).members();
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (i) out += ',';
        reference_string(out, members[i].first);
        out += ':';
        reference_text(out, members[i].second);
      }
      out += '}';
      return;
    }
  }
}

}  // namespace pelm::fuzz
