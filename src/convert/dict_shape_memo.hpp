// The member order and the written member names of the last small dict
// written in sorted order, remembered by the identity of its keys.
//
// Records repeat their shape: a list of dicts built by one comprehension (or
// read by one parser) shares its key objects, in the same dict order, from
// one record to the next. The memo recognises the shape by comparing key
// pointers and hands back the sorted order found for the first record and
// each member's name exactly as the writer wrote it (quotes, escapes and
// colon), so the others skip the sort and the escaping.
//
// Invariants: the memo answers only once complete (every name text added);
// while it describes a shape it holds a strong reference to each key, so no
// remembered address can be freed and reused by a different str. It lives
// for one conversion (one insert) and is released with it; releasing exact
// str objects runs no Python code. Fixed storage: remembering allocates
// nothing, and shapes whose names do not fit are not remembered.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pelm {

class DictShapeMemo {
 public:
  static constexpr std::size_t kMaxMembers = 16;
  static constexpr std::size_t kMaxText = 384;

  DictShapeMemo() noexcept = default;
  DictShapeMemo(const DictShapeMemo&) = delete;
  DictShapeMemo& operator=(const DictShapeMemo&) = delete;
  ~DictShapeMemo() { forget(); }

  // True when `keys[0..count)` are the remembered keys in the same order.
  [[nodiscard]] bool matches(PyObject* const* keys, std::size_t count) const noexcept {
    if (!complete_ || count != count_) return false;
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

  // Changes whenever another shape is started: a caller reading a matching
  // shape while nested dicts are written checks it before each name.
  [[nodiscard]] std::uint64_t generation() const noexcept { return generation_; }

  // Starts remembering `keys` (count <= kMaxMembers) with their name order;
  // the shape is complete once `add_name_text` has had every name, in order.
  void start(PyObject* const* keys, const std::uint32_t* order, std::size_t count) noexcept {
    forget();
    ++generation_;
    for (std::size_t i = 0; i < count; ++i) {
      keys_[i] = Py_NewRef(keys[i]);
      order_[i] = order[i];
    }
    count_ = count;
    added_ = 0;
  }
  void add_name_text(std::string_view text) noexcept {
    if (added_ == count_ || complete_) return;
    const std::size_t start = added_ == 0 ? 0 : text_end_[added_ - 1];
    if (text.size() > kMaxText - start) {
      forget();
      return;
    }
    std::memcpy(text_ + start, text.data(), text.size());
    text_end_[added_++] = start + text.size();
    complete_ = added_ == count_;
  }

 private:
  void forget() noexcept {
    for (std::size_t i = 0; i < count_; ++i) Py_DECREF(keys_[i]);
    count_ = 0;
    added_ = 0;
    complete_ = false;
  }

  std::uint64_t generation_ = 0;
  std::size_t count_ = 0;
  std::size_t added_ = 0;
  bool complete_ = false;
  PyObject* keys_[kMaxMembers];
  std::uint32_t order_[kMaxMembers];
  std::size_t text_end_[kMaxMembers];
  char text_[kMaxText];
};

}  // namespace pelm
