// The JSON value model as a tree, for the native tests, the fuzz targets and
// the codec benchmark (value_text.hpp reads and writes it); the library itself
// streams events and never builds one.
//
// Invariants: a Float is always finite; a NegInt is always below zero; an
// Object's members are unique and kept in ascending order of their names'
// UTF-8 bytes compared as unsigned bytes (a proper prefix first). `Object::put`
// is the only way members enter, so the order cannot be broken from outside.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "codec/member_order.hpp"

namespace pelm::codec {

struct Value;

using Array = std::vector<Value>;

// Members in ascending byte order of their names; each name at most once.
class Object {
 public:
  using Member = std::pair<std::string, Value>;

  // Inserts a member in order; an existing member of that name gets the new
  // value (the later one wins) and stays the only member of that name.
  void put(std::string name, Value value);

  [[nodiscard]] const std::vector<Member>& members() const noexcept { return members_; }
  [[nodiscard]] std::size_t size() const noexcept;
  [[nodiscard]] const Value* find(std::string_view name) const noexcept;

  friend bool operator==(const Object&, const Object&);

 private:
  std::vector<Member> members_;
};

struct Null {
  friend bool operator==(Null, Null) noexcept { return true; }
};

// A negative integer, always below zero (zero is a non-negative integer).
struct NegInt {
  std::int64_t value;
  friend bool operator==(NegInt, NegInt) noexcept = default;
};

struct Value {
  // Order matters only for `kind()`; keep in step with `Kind`.
  std::variant<Null, bool, std::uint64_t, NegInt, double, std::string, Array, Object> data;

  enum class Kind : std::uint8_t { Null, Bool, UInt, NegInt, Float, String, Array, Object };

  Value() = default;
  Value(Null) {}
  Value(bool b) : data(b) {}
  Value(std::uint64_t u) : data(u) {}
  Value(NegInt n) : data(n) {}
  Value(double d) : data(d) {}
  Value(std::string s) : data(std::move(s)) {}
  Value(const char* s) : data(std::string(s)) {}
  Value(Array a) : data(std::move(a)) {}
  Value(Object o) : data(std::move(o)) {}

  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(data.index()); }

  // Floats compare by bits, so -0.0 differs from 0.0 and round trips can be
  // checked exactly; everything else compares by value.
  friend bool operator==(const Value& a, const Value& b);
};

// Defined here, where Value is complete (clang needs it for the vector's size).
inline std::size_t Object::size() const noexcept { return members_.size(); }

}  // namespace pelm::codec
