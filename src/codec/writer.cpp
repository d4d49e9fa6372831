// JsonWriter events and object member ordering.
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
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "codec/writer.hpp"
#include "support/portable.hpp"

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

void JsonWriter::string(std::string_view utf8) {
  before_value();
  write_string_text(out_, utf8);
}

void JsonWriter::open(bool is_object) {
  before_value();
  frames_.push_back(Frame{is_object, true, false, 0, members_.size(), names_.size()});
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
  write_member_name_text(out_, utf8);
}

void JsonWriter::key_in_order(std::string_view utf8) {
  Frame& f = frames_.back();
  f.presorted = true;
  if (f.count++ != 0) out_.put(',');
  last_key_at_ = out_.size();
  write_member_name_text(out_, utf8);
}

namespace {

// Copies n bytes between distinct buffers. Member names and members are
// mostly a few to a few dozen bytes, where overlapping word moves beat a
// call to memcpy.
void copy_short(char* dst, const char* src, std::size_t n) noexcept {
  auto move = [&](auto word, std::size_t at) {
    std::memcpy(&word, src + at, sizeof word);
    std::memcpy(dst + at, &word, sizeof word);
  };
  if (n >= 16 && n <= 32) {
    move(std::array<std::uint64_t, 2>{}, 0);
    move(std::array<std::uint64_t, 2>{}, n - 16);
  } else if (n >= 8 && n <= 16) {
    move(std::uint64_t{}, 0);
    move(std::uint64_t{}, n - 8);
  } else if (n >= 4 && n < 8) {
    move(std::uint32_t{}, 0);
    move(std::uint32_t{}, n - 4);
  } else if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  } else {
    std::memcpy(dst, src, n);
  }
}

}  // namespace

void JsonWriter::key_text_in_order(std::string_view text) {
  Frame& f = frames_.back();
  f.presorted = true;
  out_.reserve_extra(text.size() + 1);
  char* p = out_.end();
  if (f.count++ != 0) *p++ = ',';
  copy_short(p, text.data(), text.size());
  out_.commit(static_cast<std::size_t>(p - out_.end()) + text.size());
}

void JsonWriter::rewind(const Mark& m) noexcept {
  out_.truncate(m.out_size);
  frames_.resize(m.depth);
  members_.resize(m.members);
  names_.resize(m.names);
  Frame& f = frames_.back();
  f.in_order = true;
  f.presorted = false;
  f.count = 0;
}

void JsonWriter::end_object() {
  const Frame f = frames_.back();
  if (f.count != 0 && !f.presorted) {
    members_.back().end = out_.size();
    if (!f.in_order) reorder_members(f);
  }
  members_.resize(f.first_member);
  names_.resize(f.names_start);
  frames_.pop_back();
  out_.put('}');
}

// The members of a small object in ascending name order (equal names in
// arrival order), from the memo when the object repeats the names, in the
// same arrival order, of the last small object sorted.
void JsonWriter::small_object_order(const MemberSpan* spans, std::size_t count, std::uint32_t* order) noexcept {
  std::size_t lengths[kSmallObject];
  for (std::size_t i = 0; i < count; ++i) lengths[i] = spans[i].name_len;
  auto name_at = [&](std::size_t i) { return name_of(spans[i]); };
  const std::size_t slot =
      order_memo_.find(lengths, count, [&](std::size_t i) { return std::optional<std::string_view>(name_at(i)); });
  if (slot != OrderMemo::kNone) {
    for (std::size_t i = 0; i < count; ++i) order[i] = order_memo_.order(slot, i);
    return;
  }
  MemberSortKey keys[kSmallObject];
  sort_small_object(
      count, name_at, [&](std::size_t i) { return name_prefix(names_.data() + spans[i].name_off, spans[i].name_len); },
      keys);
  for (std::size_t i = 0; i < count; ++i) order[i] = keys[i].index;
  // Not remembered when the names might not fit; the order stands either way.
  order_memo_.remember(lengths, order, count, [&](std::size_t i) { return name_at(order[i]); });
}

// Sorts the object's members by raw name, keeps only the last of equal names,
// and rewrites the object's body from a copy in `scratch_`. The body can only
// shrink, so writing it back in place never grows `out_`.
void JsonWriter::reorder_members(const Frame& f) {
  MemberSpan* spans = members_.data() + f.first_member;
  const std::size_t count = members_.size() - f.first_member;
  const std::size_t body_start = spans[0].start;  // still in arrival order here
  scratch_.clear();
  scratch_.append(out_.data() + body_start, out_.size() - body_start);
  // Among equal names (adjacent once sorted, in arrival order) the last
  // written is the one kept.
  auto rewrite_body = [&](auto span_at, auto same_name_as_next) {
    char* out = out_.data() + body_start;
    bool first_kept = true;
    for (std::size_t i = 0; i < count; ++i) {
      const MemberSpan& m = span_at(i);
      if (i + 1 < count && same_name_as_next(i)) {
        note_repeated_name(name_of(m));
        continue;
      }
      if (!first_kept) *out++ = ',';
      first_kept = false;
      copy_short(out, scratch_.data() + (m.start - body_start), m.end - m.start);
      out += m.end - m.start;
    }
    out_.truncate(static_cast<std::size_t>(out - out_.data()));
  };
  if (count <= kSmallObject) {
    std::uint32_t order[kSmallObject];
    small_object_order(spans, count, order);
    rewrite_body([&](std::size_t i) -> const MemberSpan& { return spans[order[i]]; },
                 [&](std::size_t i) { return name_of(spans[order[i]]) == name_of(spans[order[i + 1]]); });
    return;
  }
  // A plain sort with ties broken by position behaves stably; std::stable_sort
  // would allocate a temporary buffer on every call.
  std::sort(spans, spans + count, [this](const MemberSpan& a, const MemberSpan& b) {
    const int c = compare_names(name_of(a), name_of(b));
    return c != 0 ? c < 0 : a.start < b.start;
  });
  rewrite_body([&](std::size_t i) -> const MemberSpan& { return spans[i]; },
               [&](std::size_t i) { return name_of(spans[i]) == name_of(spans[i + 1]); });
}

void JsonWriter::note_repeated_name(std::string_view name) {
  ++repeated_names_;
  last_repeated_name_.assign(name);
}

}  // namespace pelm::codec
