// The member order and the written member names of the last few small dict
// shapes written in sorted order, remembered by the identity of their keys.
//
// Records repeat their shape: a list of dicts built by one comprehension (or
// read by one parser), or the values a service caches over and over, share
// their key objects, in the same dict order, from one record to the next.
// Nested records repeat a few shapes at once (a feature, its geometry and its
// properties), so the memo keeps several, replacing the least recently used.
// A shape is recognised by comparing key pointers; the memo hands back the
// sorted order and each member's name exactly as the writer writes it
// (quotes, escapes and colon), so later records skip the sort and the
// escaping.
//
// Invariants: a slot describes a shape whole or nothing. While a slot
// describes a shape it holds a strong reference to each key, so no
// remembered address can be freed and reused by a different str. The memo
// lives as long as its owner (a cache keeps one for all its inserts) and is
// released with it, under the interpreter lock; releasing exact str objects
// runs no Python code. One conversion uses a memo at a time: a cache's
// conversions hold its exclusive use. Fixed storage: remembering allocates
// nothing, and shapes whose names might not fit are not remembered (the room
// check must not wrap: see codec::member_name_fits).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec/writer.hpp"
#include "support/portable.hpp"

#if PELM_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace pelm {

class DictShapeMemo {
 public:
  static constexpr std::size_t kMaxMembers = 16;
  static constexpr std::size_t kMaxText = 512;
  static constexpr std::size_t kSlots = 4;
  static constexpr std::size_t kNone = kSlots;

  DictShapeMemo() noexcept {
#if PELM_ASAN
    for (Shape& s : slots_) ASAN_POISON_MEMORY_REGION(s.guard, sizeof s.guard);
#endif
  }
  DictShapeMemo(const DictShapeMemo&) = delete;
  DictShapeMemo& operator=(const DictShapeMemo&) = delete;
  ~DictShapeMemo() {
    for (Shape& s : slots_) {
      s.forget();
#if PELM_ASAN
      ASAN_UNPOISON_MEMORY_REGION(s.guard, sizeof s.guard);
#endif
    }
  }

  // The slot remembering `keys[0..count)` in that order, or kNone; a found
  // slot counts as just used.
  [[nodiscard]] std::size_t find(PyObject* const* keys, std::size_t count) noexcept {
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
      Shape& s = slots_[slot];
      if (s.count != count || count == 0 || s.keys[0] != keys[0]) continue;
      std::size_t i = 1;
      while (i < count && s.keys[i] == keys[i]) ++i;
      if (i == count) {
        s.last_use = ++clock_;
        return slot;
      }
    }
    return kNone;
  }
  // Of the shape in `slot`: the dict-order index of the i-th member in name
  // order, and that member's written name.
  [[nodiscard]] std::uint32_t order(std::size_t slot, std::size_t i) const noexcept { return slots_[slot].order[i]; }
  [[nodiscard]] std::string_view name_text(std::size_t slot, std::size_t i) const noexcept {
    const Shape& s = slots_[slot];
    const std::size_t start = i == 0 ? 0 : s.text_end[i - 1];
    return {s.text + start, s.text_end[i] - start};
  }
  // Changes whenever `slot` is given another shape: a caller reading a slot
  // while nested dicts are written checks it before each name.
  [[nodiscard]] std::uint64_t generation(std::size_t slot) const noexcept { return slots_[slot].generation; }

  // Remembers `keys` (1 <= count <= kMaxMembers) with their name order in
  // the least recently used slot, and returns it; `name_at(i)` is the UTF-8
  // name of the i-th member in that order. kNone, with that slot emptied,
  // when the names might not fit.
  template <class NameAt>
  std::size_t remember(PyObject* const* keys, const std::uint32_t* order, std::size_t count, NameAt name_at) noexcept {
    std::size_t slot = 0;
    for (std::size_t i = 1; i < kSlots; ++i) {
      if (slots_[i].last_use < slots_[slot].last_use) slot = i;
    }
    Shape& s = slots_[slot];
    s.forget();
    ++s.generation;
    std::size_t end = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view name = name_at(i);
      if (!codec::member_name_fits(kMaxText - end, name.size())) return kNone;
      end = static_cast<std::size_t>(codec::write_member_name_chars(s.text + end, name) - s.text);
      s.text_end[i] = static_cast<std::uint16_t>(end);
      s.order[i] = order[i];
    }
    for (std::size_t i = 0; i < count; ++i) s.keys[i] = Py_NewRef(keys[i]);
    s.count = count;
    s.last_use = ++clock_;
    return slot;
  }

 private:
  struct Shape {
    std::uint64_t generation = 0;
    std::uint64_t last_use = 0;
    std::size_t count = 0;
    PyObject* keys[kMaxMembers];
    std::uint32_t order[kMaxMembers];
    std::uint16_t text_end[kMaxMembers];
    char text[kMaxText];
#if PELM_ASAN
    // Poisoned: a name written past `text` is reported, not silently laid
    // over the next slot's fields.
    alignas(8) char guard[64];
#endif

    void forget() noexcept {
      for (std::size_t i = 0; i < count; ++i) Py_DECREF(keys[i]);
      count = 0;
    }
  };
  static_assert(kMaxText <= UINT16_MAX, "name ends are kept in 16 bits");

  std::uint64_t clock_ = 0;
  Shape slots_[kSlots];
};

}  // namespace pelm
