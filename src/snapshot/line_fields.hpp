// The top-level members of a one-line JSON object, the snapshot's header and
// trailer, as the reader checks them: a parser handler that keeps the value
// of each member it is asked for when that is a string or a number, and
// notes any other value as "something else".
//
// Invariants: a name given twice keeps its later value, as JSON's model reads
// an object; nested values are read (and so checked) whole but kept only as
// "something else" for the member holding them. Only the few names asked
// for are kept, so a line of any number of members is read in linear time. Only the members of an
// object at the top count: a line that is an array, a string or a number has
// none, and `is_object` says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace pelm::snapshot {

class LineFields {
 public:
  // "Something else" (null, a bool, a negative integer, an array, an
  // object) or the value a member holds.
  using Field = std::variant<std::monostate, std::uint64_t, double, std::string>;
  static constexpr std::size_t kMaxWanted = 4;

  // Keeps the members named `wanted` (at most kMaxWanted, views that must
  // outlive the reading).
  LineFields(std::initializer_list<std::string_view> wanted) noexcept;

  [[nodiscard]] bool is_object() const noexcept { return is_object_; }
  // The value of the wanted member `name`, or null when the object has no
  // member of that name.
  [[nodiscard]] const Field* find(std::string_view name) const noexcept;

  // Parser events.
  bool null() { return put(std::monostate{}); }
  bool boolean(bool) { return put(std::monostate{}); }
  bool uint(std::uint64_t u) { return put(u); }
  bool neg_int(std::int64_t) { return put(std::monostate{}); }
  bool float_number(double d) { return put(d); }
  bool string(std::string_view s) { return !kept() || put(std::string(s)); }
  bool begin_array() { return open(false); }
  bool begin_object() { return open(true); }
  bool key(std::string_view name) {
    if (depth_ == 1) name_.assign(name);
    return true;
  }
  bool end_array(std::size_t) { return close(); }
  bool end_object(std::size_t) { return close(); }

 private:
  bool open(bool object);
  bool close() {
    --depth_;
    return true;
  }
  // Whether a value read now is a top-level member's.
  [[nodiscard]] bool kept() const noexcept { return depth_ == 1 && is_object_; }
  // Records `value` for the member being read, when it is a top-level one.
  bool put(Field value);

  std::size_t depth_ = 0;  // containers open
  bool is_object_ = false;
  std::string name_;  // the name of the top-level member being read
  std::string_view wanted_[kMaxWanted];
  std::size_t wanted_count_ = 0;
  bool found_[kMaxWanted] = {};
  Field fields_[kMaxWanted];
};

}  // namespace pelm::snapshot
