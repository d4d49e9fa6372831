// Exact built-in containers written where no Python code can run: the fast
// way in for values made only of exact str, int, float, bool, None, list,
// tuple and dict (str keys), which is what most cached values are.
//
// Why it may write out of dict order. Converting such a value runs no code of
// the value's own (no __len__, __getitem__, __hash__, no finaliser: nothing is
// released), so nothing can observe or change the order in which its members
// are read. A dict's (name, value) pairs are therefore sorted first and each
// member written once, in its final place, instead of being written in dict
// order and moved into sorted order when the object closes.
//
// Contract of the plain path (value<Path::kPlain> and every `plain*`
// method): true when the value is written; false when it met anything else
// (another type, a str subclass key, a failure of any kind, the nesting
// limit), with no Python error pending and no error recorded. The caller
// then rewinds the writer to its mark and converts the container again by
// the general rules, in dict order, which report the error that order gives
// (the first failing member in dict order).
//
// Hazard: the sort's scratch is shared by the thread's conversions; it only
// holds live entries while a plain write is in progress, when no Python code
// (and so no other conversion) can run on this thread. Each walk counts its
// own entries from the start (sort_used_), so an exception that leaves a
// write half done leaves nothing stale behind for the next one.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "codec/member_order.hpp"
#include "convert/dict_members.hpp"
#include "convert/python_to_json_dispatch.hpp"
#include "py/str_utf8.hpp"
#include "support/portable.hpp"

namespace pelm {

// One member of a dict being sorted; the name is filled in only when the
// dict's shape is not the memo's.
struct SortedMember {
  PyObject* key;
  PyObject* value;
  std::uint64_t prefix;  // the name's first eight bytes, big-endian, zero padded
  const char* name;
  std::size_t name_len;

  [[nodiscard]] std::string_view name_view() const noexcept { return {name, name_len}; }
};

namespace {

std::vector<SortedMember>& sort_scratch() {
  thread_local std::vector<SortedMember> scratch;
  return scratch;
}

// A function object, not a function: std::sort then compares in line.
struct MemberLess {
  bool operator()(const SortedMember& a, const SortedMember& b) const noexcept {
    return codec::name_less(a.prefix, a.name_view(), b.prefix, b.name_view());
  }
};

// From this many members on, a dict is put in order by radix sort
// (sort_large_object); below, std::sort's few comparisons cost less than the
// radix sort's passes.
constexpr std::size_t kRadixMembers = 64;

// The radix sort's keys and a copy of the members being permuted: used only
// while one dict is sorted, when no other conversion can run on this thread.
struct RadixScratch {
  std::vector<codec::MemberSortKey> keys;
  std::vector<SortedMember> members;
};

RadixScratch& radix_scratch() {
  thread_local RadixScratch scratch;
  return scratch;
}

// Puts `count` members in name order in place (they are then written by
// index, as std::sort leaves them).
void sort_many_members(SortedMember* members, std::size_t count) {
  RadixScratch& scratch = radix_scratch();
  scratch.keys.resize(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    scratch.keys[i] = codec::MemberSortKey{members[i].prefix, static_cast<std::uint32_t>(i)};
  }
  codec::sort_large_object(scratch.keys.data(), scratch.keys.data() + count, count,
                           [&](std::size_t i) { return members[i].name_view(); });
  scratch.members.assign(members, members + count);
  for (std::size_t i = 0; i < count; ++i) members[i] = scratch.members[scratch.keys[i].index];
}

}  // namespace

// The UTF-8 name of every member: read in place where the str has it, else
// encoded into the arena. False (no error set) for a name that has none (a
// lone surrogate): the general rules then report it in dict order.
bool ToValueWalk::read_names(SortedMember* members, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view name;
    if (!name_utf8(members[i].key, &name)) return false;
    members[i].name = name.data();
    members[i].name_len = name.size();
    members[i].prefix = codec::name_prefix(name.data(), name.size());
  }
  return true;
}

// A name's UTF-8 where the str has it, else encoded into the arena.
bool ToValueWalk::name_utf8(PyObject* key, std::string_view* name) {
  if (std::optional<std::string_view> in_place = str_utf8_in_place(key)) [[likely]] {
    *name = *in_place;
    return true;
  }
  const std::size_t most = str_utf8_max_size(key);
  if (most == 0) return false;
  if (!name_arena_) name_arena_ = std::make_unique<NameArena>();
  char* room = name_arena_->room(most);
  const char* end = str_utf8_encode_to(key, room);
  if (end == nullptr) return false;
  const auto n = static_cast<std::size_t>(end - room);
  name_arena_->commit(n);
  *name = std::string_view(room, n);
  return true;
}

namespace {

// Values whose conversion is a plain write: exact scalars and the three exact
// containers (whose contents are checked as they are written).
bool is_plain_type(PyObject* value) noexcept {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyDict_Type ||
         type == &PyList_Type || type == &PyBool_Type || value == Py_None || type == &PyTuple_Type;
}

// Below this many items (a coordinate pair) a list pays less writing its
// numbers one at a time than setting up runs of them (below).
constexpr Py_ssize_t kMinRun = 8;

}  // namespace

bool ToValueWalk::plain_array(PyObject* seq, int depth) {
  if (depth >= kMaxNesting) return false;
  out_.begin_array();
  if (!plain_elements(seq, depth)) return false;
  out_.end_array();
  return true;
}

// A list's items cannot change while no code runs, so they are read in place.
// Short lists go one item at a time; the choice is made here, once per list,
// so that their loop (a coordinate pair's) carries no test of its own.
bool ToValueWalk::plain_elements(PyObject* seq, int depth) {
  PyObject* const* items = PySequence_Fast_ITEMS(seq);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  return n < kMinRun ? plain_items<false>(items, n, depth) : plain_items<true>(items, n, depth);
}

template <bool kRuns>
bool ToValueWalk::plain_items(PyObject* const* items, Py_ssize_t n, int depth) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    // Numbers are written in the loop: arrays of them are common, and a
    // call per item would cost about what writing the number does.
    if (Py_TYPE(item) == &PyLong_Type) {
      if constexpr (kRuns) {
        const Py_ssize_t last = plain_int_run(items, i, n);
        if (last >= i) {
          i = last;
          continue;
        }
      }
      if (!exact_int<Path::kPlain>(item)) return false;
    } else if (Py_TYPE(item) == &PyFloat_Type) {
      if constexpr (kRuns) {
        i = plain_float_run(items, i, n);
        if (i < 0) return false;
      } else if (!float_number<Path::kPlain>(PyFloat_AS_DOUBLE(item))) {
        return false;
      }
    } else if (!value<Path::kPlain>(item, depth + 1)) {
      return false;
    }
  }
  return true;
}

// Runs of numbers: the items from items[i] on, while they are of the run's
// type (and, for ints, small enough to read in place) up to a chunk's end,
// written as one text with one room check and no separator logic per
// number, which cost about a tenth of writing a float and a third of
// writing a small int. Each returns the index of the run's last item. (An
// index, not a reference: the caller's loop counter then stays in a
// register.) A chunk bounds the room a long list reserves ahead of its text.
namespace {
constexpr Py_ssize_t kRunChunk = 64;
}  // namespace

// -1 when a float declines (a non-finite one where only finite ones go).
Py_ssize_t ToValueWalk::plain_float_run(PyObject* const* items, Py_ssize_t i, Py_ssize_t n) {
  const Py_ssize_t limit = std::min(n, i + kRunChunk);
  char* p = out_.run_room(static_cast<std::size_t>(limit - i) * (codec::kMaxFloatText + 1) + codec::kFloatRoom);
  Py_ssize_t k = i;
  do {
    const double d = PyFloat_AS_DOUBLE(items[k]);
    if (finite_only_ && !std::isfinite(d)) [[unlikely]] {
      return -1;
    }
    p = codec::write_float_chars(p, d);
    *p++ = ',';
  } while (++k < limit && Py_TYPE(items[k]) == &PyFloat_Type);
  out_.end_run(p - 1, static_cast<std::size_t>(k - i));
  return k - 1;
}

// i - 1 when items[i] itself is too large to read in place: the caller then
// writes it the general way.
Py_ssize_t ToValueWalk::plain_int_run(PyObject* const* items, Py_ssize_t i, Py_ssize_t n) {
  const Py_ssize_t limit = std::min(n, i + kRunChunk);
  char* p = out_.run_room(static_cast<std::size_t>(limit - i) * (codec::kMaxUintText + 2));
  Py_ssize_t k = i;
  for (; k < limit; ++k) {
    PyObject* item = items[k];
    long long v = 0;
    if (Py_TYPE(item) != &PyLong_Type || !small_int_value(item, v)) break;
    // Below 2^60 in magnitude: the negation cannot overflow.
    if (v < 0) {
      *p++ = '-';
      v = -v;
    }
    p = codec::write_decimal(p, static_cast<std::uint64_t>(v));
    *p++ = ',';
  }
  if (k != i) out_.end_run(p - 1, static_cast<std::size_t>(k - i));
  return k - 1;
}

bool ToValueWalk::plain_dict(PyObject* dict, int depth) {
  if (depth >= kMaxNesting) return false;
  out_.begin_object();
  if (!plain_members(dict, depth)) return false;
  out_.end_object();
  return true;
}

// Collects the (key, value) pairs, puts them in name order and writes each
// member once. Nested dicts push their own pairs above this dict's and may
// move the scratch: entries are read by index, never held across a write.
bool ToValueWalk::plain_members(PyObject* dict, int depth) {
  if (sort_scratch_ == nullptr) sort_scratch_ = &sort_scratch();
  std::vector<SortedMember>& scratch = *sort_scratch_;
  const std::size_t base = sort_used_;
  const auto count = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
  // Grown, never shrunk: entries past sort_used_ are stale and overwritten
  // before they are read, so they need no clearing.
  if (scratch.size() < base + count) scratch.resize(std::max(base + count, 2 * scratch.size()));
  sort_used_ = base + count;
  std::size_t n = 0;
  const bool read_all = for_each_dict_member(dict, [&](PyObject* key, PyObject* value) {
    // More members than the dict's size would mean a misread table: stop
    // before the scratch ends, and let the general path convert it.
    if (n == count || !PyUnicode_CheckExact(key) || !is_plain_type(value)) return false;
    scratch[base + n++] = SortedMember{key, value, 0, nullptr, 0};
    return true;
  });
  bool done = false;
  if (read_all && n == count) {
    done = count <= DictShapeMemo::kMaxMembers && shapes_ != nullptr ? write_small(base, count, depth)
                                                                     : write_large(base, count, depth, false);
  }
  sort_used_ = base;
  return done;
}

// Names of one dict are unique, so no tie needs breaking. Also the way out
// for a small dict whose names the memo cannot hold (read already, then).
bool ToValueWalk::write_large(std::size_t base, std::size_t count, int depth, bool names_read) {
  std::vector<SortedMember>& scratch = *sort_scratch_;
  if (!names_read && !read_names(scratch.data() + base, count)) return false;
  if (count < kRadixMembers || count > UINT32_MAX) {
    std::sort(scratch.begin() + static_cast<std::ptrdiff_t>(base),
              scratch.begin() + static_cast<std::ptrdiff_t>(base + count), MemberLess{});
  } else {
    sort_many_members(scratch.data() + base, count);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const SortedMember m = scratch[base + i];
    out_.key_in_order(m.name_view());
    if (!value<Path::kPlain>(m.value, depth + 1)) return false;
  }
  return true;
}

// A shape the memo knows (same keys, same names) takes its order and written
// names from there; any other is sorted and remembered first, then written
// the same way.
bool ToValueWalk::write_small(std::size_t base, std::size_t count, int depth) {
  DictShapeMemo& shapes = *shapes_;
  SortedMember* members = sort_scratch_->data() + base;
  PyObject* keys[DictShapeMemo::kMaxMembers];
  for (std::size_t i = 0; i < count; ++i) keys[i] = members[i].key;
  std::uint32_t order[DictShapeMemo::kMaxMembers];
  std::size_t slot = shapes.find(keys, count, [&](std::size_t i) { return str_utf8_in_place(keys[i]); });
  if (slot != DictShapeMemo::kNone) {
    for (std::size_t i = 0; i < count; ++i) order[i] = shapes.order(slot, i);
  } else {
    if (!read_names(members, count)) return false;
    codec::MemberSortKey sorted[DictShapeMemo::kMaxMembers];
    codec::sort_small_object(
        count, [&](std::size_t i) { return members[i].name_view(); }, [&](std::size_t i) { return members[i].prefix; },
        sorted);
    for (std::size_t i = 0; i < count; ++i) order[i] = sorted[i].index;
    if (count != 0) {
      slot = shapes.remember(keys, order, count, [&](std::size_t i) { return members[order[i]].name_view(); });
    }
    if (slot == DictShapeMemo::kNone) return write_large(base, count, depth, true);
  }
  // Nested dicts of other shapes may take this slot: the order was copied,
  // and the names are read afresh once the slot has changed.
  const std::uint64_t generation = shapes.generation(slot);
  for (std::size_t i = 0; i < count; ++i) {
    const SortedMember m = (*sort_scratch_)[base + order[i]];
    if (shapes.generation(slot) == generation) [[likely]] {
      out_.key_text_in_order(shapes.name_text(slot, i));
    } else {
      std::string_view name;
      if (!name_utf8(m.key, &name)) return false;
      out_.key_in_order(name);
    }
    if (!value<Path::kPlain>(m.value, depth + 1)) return false;
  }
  return true;
}

}  // namespace pelm
