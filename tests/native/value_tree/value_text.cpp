// The value tree read from text and written back (see value_text.hpp).
#include "value_tree/value_text.hpp"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "codec/writer.hpp"

namespace pelm::codec {

namespace {

// Builds a Value tree. Finished values wait on `values_` until their
// container closes; the names of open objects' members wait on `names_`.
// A closing container takes exactly its own `count` entries off the top.
class ValueBuilder {
 public:
  bool null() { return add(Value(Null{})); }
  bool boolean(bool b) { return add(Value(b)); }
  bool uint(std::uint64_t u) { return add(Value(u)); }
  bool neg_int(std::int64_t n) { return add(Value(NegInt{n})); }
  bool float_number(double d) { return add(Value(d)); }
  bool string(std::string_view s) { return add(Value(std::string(s))); }
  bool begin_array() { return true; }
  bool begin_object() { return true; }
  bool key(std::string_view name) {
    names_.emplace_back(name);
    return true;
  }

  bool end_array(std::size_t count) {
    const auto first = values_.end() - static_cast<std::ptrdiff_t>(count);
    Array array(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
    values_.erase(first, values_.end());
    return add(Value(std::move(array)));
  }

  // Members are put in ascending name order so that each put appends; a
  // stable sort keeps text order among equal names and the last one wins.
  bool end_object(std::size_t count) {
    const std::size_t value_base = values_.size() - count;
    const std::size_t name_base = names_.size() - count;
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return compare_names(names_[name_base + a], names_[name_base + b]) < 0;
    });
    Object object;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t m = order[i];
      const bool superseded = i + 1 < count && names_[name_base + order[i + 1]] == names_[name_base + m];
      if (!superseded) object.put(std::move(names_[name_base + m]), std::move(values_[value_base + m]));
    }
    values_.resize(value_base);
    names_.resize(name_base);
    return add(Value(std::move(object)));
  }

  Value take_result() { return std::move(values_.front()); }

 private:
  bool add(Value v) {
    values_.push_back(std::move(v));
    return true;
  }

  std::vector<Value> values_;
  std::vector<std::string> names_;
};

// Walks a tree through the events. A tree's object holds unique names in
// ascending order (Object::put keeps it so), so its members go through
// key_in_order: the writer neither records nor moves them.
struct TreeWalker {
  JsonWriter& w;

  void operator()(Null) const { w.null(); }
  void operator()(bool b) const { w.boolean(b); }
  void operator()(std::uint64_t u) const { w.uint(u); }
  void operator()(NegInt n) const { w.neg_int(n.value); }
  void operator()(double d) const { w.float_number(d); }
  void operator()(const std::string& s) const { w.string(s); }
  void operator()(const Array& a) const {
    w.begin_array();
    for (const Value& v : a) std::visit(*this, v.data);
    w.end_array();
  }
  void operator()(const Object& o) const {
    w.begin_object();
    for (const auto& [name, v] : o.members()) {
      w.key_in_order(name);
      std::visit(*this, v.data);
    }
    w.end_object();
  }
};

}  // namespace

std::variant<Value, JsonError> read_json(std::string_view text) {
  ValueBuilder builder;
  if (std::optional<JsonError> error = parse_json(text, builder)) return *error;
  return builder.take_result();
}

std::variant<Value, JsonError> read_stored_json(std::string_view text) {
  ValueBuilder builder;
  if (std::optional<JsonError> error = parse_stored_json(text, builder)) return *error;
  return builder.take_result();
}

ByteBuffer write_json(const Value& value) {
  ByteBuffer out(ByteBuffer::kInitialCapacity);
  JsonWriter w(out);
  std::visit(TreeWalker{w}, value.data);
  return out;
}

}  // namespace pelm::codec
