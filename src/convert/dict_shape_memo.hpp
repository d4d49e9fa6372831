// The member order and the written member names of the last small dict
// written in sorted order, remembered by the identity of its keys.
//
// Records repeat their shape: a list of dicts built by one comprehension (or
// read by one parser), or the values a service caches over and over, share
// their key objects, in the same dict order, from one record to the next.
// The memo recognises the shape by comparing key pointers and hands back the
// sorted order and each member's name exactly as the writer writes it
// (quotes, escapes and colon), so the other records skip the sort and the
// escaping.
//
// Invariants: a shape is remembered whole or not at all. While the memo
// describes a shape it holds a strong reference to each key, so no
// remembered address can be freed and reused by a different str. It lives as
// long as its owner (a cache keeps one for all its inserts) and is released
// with it, under the interpreter lock; releasing exact str objects runs no
// Python code. One conversion uses a memo at a time: a cache's conversions
// hold its exclusive use. Fixed storage: remembering allocates nothing, and
// shapes whose names might not fit are not remembered.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec/writer.hpp"

namespace pelm {

class DictShapeMemo {
 public:
  static constexpr std::size_t kMaxMembers = 16;
  static constexpr std::size_t kMaxText = 512;

  DictShapeMemo() noexcept = default;
  DictShapeMemo(const DictShapeMemo&) = delete;
  DictShapeMemo& operator=(const DictShapeMemo&) = delete;
  ~DictShapeMemo() { forget(); }

  // True when `keys[0..count)` are the remembered keys in the same order.
  [[nodiscard]] bool matches(PyObject* const* keys, std::size_t count) const noexcept {
    if (count != count_) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (keys[i] != keys_[i]) return false;
    }
    return true;
  }
  // Of a matching shape: the dict-order index of the i-th member in name
  // order, and that member's written name.
  [[nodiscard]] std::uint32_t order(std::size_t i) const noexcept { return order_[i]; }
  [[nodiscard]] std::string_view name_text(std::size_t i) const noexcept {
    const std::size_t start = i == 0 ? 0 : text_end_[i - 1];
    return {text_ + start, text_end_[i] - start};
  }
  // Changes whenever another shape is remembered: a caller reading the memo
  // while nested dicts are written checks it before each name.
  [[nodiscard]] std::uint64_t generation() const noexcept { return generation_; }

  // Remembers `keys` (count <= kMaxMembers, at least one) with their name
  // order; `name_at(i)` is the UTF-8 name of the i-th member in that order.
  // False, with nothing remembered, when the names might not fit.
  template <class NameAt>
  bool remember(PyObject* const* keys, const std::uint32_t* order, std::size_t count, NameAt name_at) noexcept {
    forget();
    ++generation_;
    std::size_t end = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view name = name_at(i);
      if (name.size() > (kMaxText - end - 3) / 6) return false;
      end = static_cast<std::size_t>(codec::write_member_name_chars(text_ + end, name) - text_);
      text_end_[i] = end;
      order_[i] = order[i];
    }
    for (std::size_t i = 0; i < count; ++i) keys_[i] = Py_NewRef(keys[i]);
    count_ = count;
    return true;
  }

 private:
  void forget() noexcept {
    for (std::size_t i = 0; i < count_; ++i) Py_DECREF(keys_[i]);
    count_ = 0;
  }

  std::uint64_t generation_ = 0;
  std::size_t count_ = 0;
  PyObject* keys_[kMaxMembers];
  std::uint32_t order_[kMaxMembers];
  std::size_t text_end_[kMaxMembers];
  char text_[kMaxText];
};

}  // namespace pelm
