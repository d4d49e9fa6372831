// The JSON text writer: compact text, byte-exact, the payload the cache counts.
//
// `JsonWriter` takes a value as a stream of events, so a converter writes
// while it walks foreign data (Python objects, a text being read) without
// building a tree first.
//
// Form: no whitespace anywhere; integers as plain decimal; floats always with a
// "." or an "e" (shortest round-trip digits, laid out by decimal exponent);
// strings with exactly 34 escaped bytes (0x00-0x1F, '"', '\\'), all other bytes
// raw; object members in ascending byte order of their names, unique, the later
// of two equal names winning. Members may be given in any order: the writer
// sorts them when the object closes.
//
// Event protocol (the caller's duty; violations are programming errors):
// values appear at top level (exactly one), as array elements, or after `key`
// inside an object. Each begin has its matching end.
//
// Failure: only memory exhaustion, reported by throwing std::bad_alloc; the
// writer and its output are then half-written and must be discarded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/byte_buffer.hpp"
#include "codec/member_order.hpp"
#include "codec/shape_memo.hpp"
#include "codec/string_text.hpp"
#include "codec/uint_to_digits.hpp"
#include "support/portable.hpp"

namespace pelm::codec {

inline constexpr std::size_t kMaxUintText = 20;   // "18446744073709551615"
inline constexpr std::size_t kMaxFloatText = 24;  // "-1.2345678901234567e-308"
// The float text of `d` at `p`; returns its end. `p` must have room for
// kFloatRoom bytes: beyond the text they are scratch, so that digits move
// in fixed-width copies. Shared by the writer and write_float_text.
inline constexpr std::size_t kFloatRoom = 48;
[[nodiscard]] char* write_float_chars(char* p, double d) noexcept;

class JsonWriter {
 public:
  // Writes into `out`, appending after anything it already holds.
  explicit JsonWriter(ByteBuffer& out) noexcept : out_(out) {}

  void null();
  void boolean(bool b);
  // Numbers are the most frequent events of all: inline, with one room check
  // for the separator and the digits.
  void uint(std::uint64_t u) { out_.commit_to(write_decimal(value_room(kMaxUintText), u)); }
  // `n` must be below zero.
  void neg_int(std::int64_t n) {
    char* p = value_room(kMaxUintText + 1);
    *p++ = '-';
    // Unsigned negation, so INT64_MIN's magnitude does not overflow.
    out_.commit_to(write_decimal(p, std::uint64_t{0} - static_cast<std::uint64_t>(n)));
  }
  // Non-finite values are written "null" (the model never holds them).
  void float_number(double d) { out_.commit_to(write_float_chars(value_room(kFloatRoom), d)); }
  // `utf8` must be valid UTF-8; it may contain NUL bytes.
  void string(std::string_view utf8);
  // A string given as `n` fixed-width code units (see write_units_text),
  // encoded and escaped straight into the output. False, with nothing
  // written, at a surrogate or for more than kMaxUnitsString units (whose
  // room would be reserved at once): the caller then gives the UTF-8.
  static constexpr std::size_t kMaxUnitsString = std::size_t{1} << 16;
  template <class Unit>
  [[nodiscard]] bool string_units(const Unit* units, std::size_t n) {
    if (n > kMaxUnitsString) return false;
    out_.reserve_extra(units_text_room(n) + 1);
    char* p = out_.end();
    // The separator is counted only once the text is known to be written.
    Frame* array = frames_.empty() || frames_.back().is_object ? nullptr : &frames_.back();
    if (array != nullptr && array->count != 0) *p++ = ',';
    char* end = write_units_text(p, units, n);
    if (end == nullptr) return false;
    if (array != nullptr) ++array->count;
    out_.commit_to(end);
    return true;
  }

  // A run of elements of the innermost open array that the caller lays out
  // itself, as texts separated by commas: `run_room(bytes)` returns where
  // the run's first element goes (after a separator when the array already
  // has elements), with room for `bytes` more; `end_run(end, count)` commits
  // the text up to `end` and counts its `count` elements. Lets a loop over
  // many numbers skip the per-element separator logic of the events above.
  [[nodiscard]] char* run_room(std::size_t bytes) {
    out_.reserve_extra(bytes + 1);
    char* p = out_.end();
    if (frames_.back().count != 0) *p++ = ',';
    return p;
  }
  void end_run(char* end, std::size_t count) noexcept {
    frames_.back().count += count;
    out_.commit_to(end);
  }

  void begin_array();
  void end_array();
  void begin_object();
  // Starts a member; the member's value follows as the next event.
  void key(std::string_view utf8);
  // Starts a member whose name the caller knows to sort strictly after every
  // name given before it in this object (unique names, ascending bytes): the
  // writer keeps no record of it. An object takes either this or `key` for
  // all of its members, never both.
  void key_in_order(std::string_view utf8);
  // The member name text (quotes, escapes, colon) the last `key_in_order`
  // wrote; valid until the next event.
  [[nodiscard]] std::string_view last_key_text() const noexcept {
    return {out_.data() + last_key_at_, out_.size() - last_key_at_};
  }
  // As `key_in_order`, with the name given as text an earlier
  // `last_key_text` returned (written again byte for byte).
  void key_text_in_order(std::string_view text);
  void end_object();

  // A point to come back to inside the object just begun: `rewind` drops
  // everything written since `mark` (members, nested values) and leaves the
  // object open and empty, as `begin_object` left it. Lets a caller try a
  // faster way of writing the members and fall back to another.
  struct Mark {
    std::size_t out_size;
    std::size_t depth;
    std::size_t members;
    std::size_t names;
  };
  [[nodiscard]] Mark mark() const noexcept { return {out_.size(), frames_.size(), members_.size(), names_.size()}; }
  void rewind(const Mark& m) noexcept;

  // Forgets any half-written value (after a failed conversion) so the writer
  // and its grown arrays can be reused; the output buffer is the caller's.
  void reset() noexcept {
    frames_.clear();
    members_.clear();
    names_.clear();
    repeated_names_ = 0;
  }

  // Current nesting depth: the number of arrays and objects open.
  [[nodiscard]] std::size_t depth() const noexcept { return frames_.size(); }

  // Members dropped so far because a later member of the same object had the
  // same name, and the raw name of the last one dropped. A caller that must
  // refuse repeated names compares the count before and after end_object.
  [[nodiscard]] std::size_t repeated_names() const noexcept { return repeated_names_; }
  [[nodiscard]] std::string_view last_repeated_name() const noexcept { return last_repeated_name_; }

 private:
  // One open array or object.
  struct Frame {
    bool is_object;
    bool in_order;             // objects: names so far strictly ascending
    bool presorted;            // objects: members come through key_in_order
    std::size_t count;         // elements or members written so far
    std::size_t first_member;  // objects: index of its first span in members_
    std::size_t names_start;   // objects: where its names begin in names_
  };
  // Where one member of an open object stands in the output and its raw name.
  struct MemberSpan {
    std::size_t start;     // offset of the member's key quote in out_
    std::size_t end;       // one past the member's value (set when it closes)
    std::size_t name_off;  // raw name in names_
    std::size_t name_len;
  };
  // A member's name length as the identity the order memo finds a shape
  // by: a cheap first filter, the names themselves decide.
  struct NameLengths {
    using Key = std::size_t;
    static constexpr bool kCanHold = false;
    static void hold(Key) noexcept {}
    static void release(Key) noexcept {}
  };
  // The order found for the last small object that needed sorting. Records
  // of one shape repeat their names in the same arrival order, so the next
  // such object reuses the order after one comparison of its names.
  using OrderMemo = ShapeMemo<NameLengths, 1>;
  // The room for a value of at most `n` bytes and its separator, which it
  // writes; the value goes at the pointer returned and is committed with
  // commit_to.
  char* value_room(std::size_t n) {
    out_.reserve_extra(n + 1);
    char* p = out_.end();
    if (!frames_.empty()) {
      Frame& f = frames_.back();
      if (!f.is_object && f.count++ != 0) *p++ = ',';
    }
    return p;
  }
  void before_value();
  void open(bool is_object);
  void small_object_order(const MemberSpan* spans, std::size_t count, std::uint32_t* order) noexcept;
  [[nodiscard]] std::string_view name_of(const MemberSpan& m) const noexcept;
  void reorder_members(const Frame& f);
  PELM_COLD void note_repeated_name(std::string_view name);

  ByteBuffer& out_;
  std::vector<Frame> frames_;
  std::vector<MemberSpan> members_;  // open objects' members, innermost last
  std::vector<char> names_;          // raw (unescaped) names of those members
  std::size_t last_key_at_ = 0;      // where the last key_in_order's name began
  ByteBuffer scratch_;               // reused when an object must be reordered
  OrderMemo order_memo_;
  std::size_t repeated_names_ = 0;
  std::string last_repeated_name_;
};

// Low-level emitters shared by the writer and its tests. Each appends to
// `out`; the comment gives the most bytes it writes.
void write_uint_digits(ByteBuffer& out, std::uint64_t u);  // <= 20 bytes
void write_float_text(ByteBuffer& out, double d);          // <= 24 bytes

}  // namespace pelm::codec
