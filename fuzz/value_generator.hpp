// Builds value trees from fuzz bytes, keeping members in the order (and with
// the repeated names) in which they were drawn.
//
// A `DrawnValue` is what a caller such as the Python converter hands to the
// streaming writer: objects may arrive unsorted and may name a member twice.
// `to_value` folds it into the model (ascending names, later duplicate wins);
// `emit` replays it as writer events. Every drawn float is finite and every
// string valid UTF-8, the writer's preconditions. Total size is bounded by a
// node budget; deliberately deep chains reach past the reader's nesting limit.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "value_tree/value.hpp"
#include "codec/writer.hpp"

namespace pelm::fuzz {

struct DrawnValue {
  enum class Shape : std::uint8_t { Leaf, Array, Object };
  Shape shape = Shape::Leaf;
  codec::Value leaf;
  std::vector<DrawnValue> items;   // elements, or member values of an object
  std::vector<std::string> names;  // an object's member names, parallel to items
                                   // (drawn order, repeats kept)
};

class ValueDrawer {
 public:
  explicit ValueDrawer(FuzzedDataProvider& fdp) : fdp_(fdp) {}

  DrawnValue draw() {
    if (fdp_.remaining_bytes() == 0 || budget_ == 0) return leaf(codec::Null{});
    --budget_;
    switch (fdp_.ConsumeIntegralInRange<int>(0, 11)) {
      case 0:
        return leaf(codec::Null{});
      case 1:
        return leaf(fdp_.ConsumeBool());
      case 2:
        return leaf(draw_uint());
      case 3:
        return leaf(
            codec::NegInt{fdp_.ConsumeIntegralInRange<std::int64_t>(std::numeric_limits<std::int64_t>::min(), -1)});
      case 4:
        return leaf(draw_float());
      case 5:
      case 6:
        return leaf(draw_string(false));
      case 7:
      case 8:
        return nested([this] { return draw_array(); }, 1);
      case 9:
      case 10:
        return nested([this] { return draw_object(); }, 1);
      default:
        return draw_chain();
    }
  }

 private:
  static DrawnValue leaf(codec::Value v) {
    DrawnValue d;
    d.leaf = std::move(v);
    return d;
  }

  std::uint64_t draw_uint() {
    // Small numbers and the edges of the range are where formatting breaks.
    switch (fdp_.ConsumeIntegralInRange<int>(0, 2)) {
      case 0:
        return fdp_.ConsumeIntegralInRange<std::uint64_t>(0, 100);
      case 1:
        return std::numeric_limits<std::uint64_t>::max() - fdp_.ConsumeIntegralInRange<std::uint64_t>(0, 3);
      default:
        return fdp_.ConsumeIntegral<std::uint64_t>();
    }
  }

  double draw_float() {
    double d = fdp_.ConsumeBool() ? std::bit_cast<double>(fdp_.ConsumeIntegral<std::uint64_t>())
                                  : static_cast<double>(fdp_.ConsumeIntegral<std::int32_t>()) /
                                        static_cast<double>(1u << fdp_.ConsumeIntegralInRange<int>(0, 20));
    return std::isfinite(d) ? d : 0.5;
  }

  std::uint32_t draw_code_point(bool name_alphabet) {
    if (name_alphabet) {
      // Few distinct names, so repeats and proper prefixes are common.
      static constexpr std::uint32_t kNameChars[] = {'a', 'b', 'A', 0x00, 0x7F, 0xE9, 0x10348};
      return kNameChars[fdp_.ConsumeIntegralInRange<std::size_t>(0, std::size(kNameChars) - 1)];
    }
    switch (fdp_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        return fdp_.ConsumeIntegralInRange<std::uint32_t>(0, 0x7F);
      case 1:
        return fdp_.ConsumeIntegralInRange<std::uint32_t>(0x80, 0x7FF);
      case 2: {
        const auto cp = fdp_.ConsumeIntegralInRange<std::uint32_t>(0x800, 0xFFFF);
        return cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp;
      }
      default:
        return fdp_.ConsumeIntegralInRange<std::uint32_t>(0x10000, 0x10FFFF);
    }
  }

  std::string draw_string(bool name_alphabet) {
    std::string s;
    const auto n = fdp_.ConsumeIntegralInRange<std::size_t>(0, name_alphabet ? 3 : 12);
    for (std::size_t i = 0; i < n; ++i) append_utf8(s, draw_code_point(name_alphabet));
    return s;
  }

  static void append_utf8(std::string& s, std::uint32_t cp) {
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  DrawnValue draw_array() {
    DrawnValue d;
    d.shape = DrawnValue::Shape::Array;
    const auto n = fdp_.ConsumeIntegralInRange<std::size_t>(0, 6);
    for (std::size_t i = 0; i < n; ++i) d.items.push_back(draw());
    return d;
  }

  DrawnValue draw_object() {
    DrawnValue d;
    d.shape = DrawnValue::Shape::Object;
    const auto n = fdp_.ConsumeIntegralInRange<std::size_t>(0, 6);
    for (std::size_t i = 0; i < n; ++i) {
      d.names.push_back(draw_string(fdp_.ConsumeBool()));
      d.items.push_back(draw());
    }
    return d;
  }

  // Runs `make` one or more levels deeper; past kMaxDepth it draws null, so
  // the recursion of the tools that walk the tree stays shallow.
  template <class Make>
  DrawnValue nested(Make make, int levels) {
    if (depth_ + levels > kMaxDepth) return leaf(codec::Null{});
    depth_ += levels;
    DrawnValue d = make();
    depth_ -= levels;
    return d;
  }

  // A run of one-element containers: the cheap way to get near and past the
  // reader's nesting limit of 127.
  DrawnValue draw_chain() {
    const auto levels = std::min(fdp_.ConsumeIntegralInRange<int>(1, 140), chain_budget_);
    chain_budget_ -= levels;
    const bool objects = fdp_.ConsumeBool();
    DrawnValue d = nested([this] { return draw(); }, levels);
    for (int i = 0; i < levels; ++i) {
      DrawnValue outer;
      if (objects) {
        outer.shape = DrawnValue::Shape::Object;
        outer.names.emplace_back("a");
      } else {
        outer.shape = DrawnValue::Shape::Array;
      }
      outer.items.push_back(std::move(d));
      d = std::move(outer);
    }
    return d;
  }

  static constexpr int kMaxDepth = 200;
  FuzzedDataProvider& fdp_;
  int budget_ = 400;        // values drawn
  int chain_budget_ = 300;  // chain levels drawn: they dominate the cost
  int depth_ = 0;
};

// The model value: members sorted by name, the later of two equal names kept.
inline codec::Value to_value(const DrawnValue& d) {
  switch (d.shape) {
    case DrawnValue::Shape::Leaf:
      return d.leaf;
    case DrawnValue::Shape::Array: {
      codec::Array a;
      for (const auto& item : d.items) a.push_back(to_value(item));
      return a;
    }
    default: {
      codec::Object o;
      for (std::size_t i = 0; i < d.items.size(); ++i) o.put(d.names[i], to_value(d.items[i]));
      return o;
    }
  }
}

// Replays `d` as writer events, members in drawn order.
inline void emit(const DrawnValue& d, codec::JsonWriter& w) {
  using K = codec::Value::Kind;
  switch (d.shape) {
    case DrawnValue::Shape::Array:
      w.begin_array();
      for (const auto& item : d.items) emit(item, w);
      w.end_array();
      return;
    case DrawnValue::Shape::Object:
      w.begin_object();
      for (std::size_t i = 0; i < d.items.size(); ++i) {
        w.key(d.names[i]);
        emit(d.items[i], w);
      }
      w.end_object();
      return;
    case DrawnValue::Shape::Leaf:
      break;
  }
  switch (d.leaf.kind()) {
    case K::Null:
      w.null();
      break;
    case K::Bool:
      w.boolean(std::get<bool>(d.leaf.data));
      break;
    case K::UInt:
      w.uint(std::get<std::uint64_t>(d.leaf.data));
      break;
    case K::NegInt:
      w.neg_int(std::get<codec::NegInt>(d.leaf.data).value);
      break;
    case K::Float:
      w.float_number(std::get<double>(d.leaf.data));
      break;
    case K::String:
      w.string(std::get<std::string>(d.leaf.data));
      break;
    default:
      break;  // containers are never leaves
  }
}

}  // namespace pelm::fuzz
