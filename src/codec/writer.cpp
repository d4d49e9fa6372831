// JsonWriter events, object member ordering, and `write_json` over a tree.
//
// Invariants: `frames_` mirrors the open arrays and objects; `members_` and
// `names_` hold the members of every open object, innermost last, so a nested
// object's members are always dropped before its parent's next member begins.
// A member's span runs from its key's opening quote to the end of its value and
// excludes the separating comma, so members can be moved as whole spans.
// Objects whose names arrive strictly ascending are never touched again; any
// other object is rewritten once, when it closes. All vectors shrink by size
// only, so a writer reused for many values stops allocating once warm.
#include <algorithm>
#include <variant>

#include "codec/writer.hpp"

namespace pelm::codec {

void JsonWriter::before_value() {
  if (frames_.empty()) return;
  Frame& f = frames_.back();
  // Inside an object the member's key already wrote the separator.
  if (f.is_object) return;
  if (f.count++ != 0) out_.put(',');
}

void JsonWriter::null() {
  before_value();
  out_.append("null", 4);
}

void JsonWriter::boolean(bool b) {
  before_value();
  if (b) {
    out_.append("true", 4);
  } else {
    out_.append("false", 5);
  }
}

void JsonWriter::uint(std::uint64_t u) {
  before_value();
  write_uint_digits(out_, u);
}

void JsonWriter::neg_int(std::int64_t n) {
  before_value();
  out_.put('-');
  // Unsigned negation, so INT64_MIN's magnitude does not overflow.
  write_uint_digits(out_, std::uint64_t{0} - static_cast<std::uint64_t>(n));
}

void JsonWriter::float_number(double d) {
  before_value();
  write_float_text(out_, d);
}

void JsonWriter::string(std::string_view utf8) {
  before_value();
  write_string_text(out_, utf8);
}

void JsonWriter::open(bool is_object) {
  before_value();
  frames_.push_back(Frame{is_object, true, 0, members_.size(), names_.size()});
  out_.put(is_object ? '{' : '[');
}

void JsonWriter::begin_array() { open(false); }

void JsonWriter::end_array() {
  frames_.pop_back();
  out_.put(']');
}

void JsonWriter::begin_object() { open(true); }

std::string_view JsonWriter::name_of(const MemberSpan& m) const noexcept {
  return {names_.data() + m.name_off, m.name_len};
}

void JsonWriter::key(std::string_view utf8) {
  Frame& f = frames_.back();
  if (f.count++ != 0) {
    MemberSpan& previous = members_.back();
    previous.end = out_.size();
    out_.put(',');
    // Names compare raw, never escaped: "\n" (0x0A) must sort before " ".
    if (f.in_order && compare_names(name_of(previous), utf8) >= 0) f.in_order = false;
  }
  const std::size_t name_off = names_.size();
  names_.insert(names_.end(), utf8.begin(), utf8.end());
  members_.push_back(MemberSpan{out_.size(), 0, name_off, utf8.size()});
  write_string_text(out_, utf8);
  out_.put(':');
}

void JsonWriter::end_object() {
  const Frame f = frames_.back();
  if (f.count != 0) {
    members_.back().end = out_.size();
    if (!f.in_order) reorder_members(f);
  }
  members_.resize(f.first_member);
  names_.resize(f.names_start);
  frames_.pop_back();
  out_.put('}');
}

// Sorts the object's members by raw name, keeps only the last of equal names,
// and rewrites the object's body from a copy in `scratch_`. The body can only
// shrink, so writing it back never grows `out_`.
void JsonWriter::reorder_members(const Frame& f) {
  const auto first = members_.begin() + static_cast<std::ptrdiff_t>(f.first_member);
  const auto last = members_.end();
  const std::size_t body_start = first->start;  // still in arrival order here
  // Ties broken by position: a plain sort then behaves stably (std::stable_sort
  // would allocate a temporary buffer on every call), and among equal names the
  // last written ends up last.
  std::sort(first, last, [this](const MemberSpan& a, const MemberSpan& b) {
    const int c = compare_names(name_of(a), name_of(b));
    return c != 0 ? c < 0 : a.start < b.start;
  });
  scratch_.clear();
  scratch_.append(out_.data() + body_start, out_.size() - body_start);
  out_.truncate(body_start);
  bool first_kept = true;
  for (auto it = first; it != last; ++it) {
    const auto next = it + 1;
    if (next != last && name_of(*it) == name_of(*next)) continue;  // a later one wins
    if (!first_kept) out_.put(',');
    first_kept = false;
    out_.append(scratch_.data() + (it->start - body_start), it->end - it->start);
  }
}

namespace {

// Walks a tree through the events; objects arrive already ordered, so the
// writer never has to move them.
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
      w.key(name);
      std::visit(*this, v.data);
    }
    w.end_object();
  }
};

}  // namespace

ByteBuffer write_json(const Value& value) {
  ByteBuffer out(ByteBuffer::kInitialCapacity);
  JsonWriter w(out);
  std::visit(TreeWalker{w}, value.data);
  return out;
}

}  // namespace pelm::codec
