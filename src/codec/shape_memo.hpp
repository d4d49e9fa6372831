// The member order and the written member names of the last few small object
// shapes put in sorted order, found by the identities of their members'
// names and confirmed by the names themselves.
//
// Records repeat their shape: one producer writes the same names in the same
// arrival order, record after record, and nested records repeat a few
// shapes at once, so the memo keeps several, replacing the least recently
// used. A shape is found by comparing the identities the caller gives for
// its names (the `Keys` policy) and confirmed by comparing each name with the
// memo's own copy; the memo hands back the sorted order and each member's
// name exactly as the writer writes it (quotes, escapes and colon), so later
// records skip the sort and the escaping.
//
// The `Keys` policy:
//   using Key = ...;                  compared with ==, never followed by the memo
//   static constexpr bool kCanHold;   whether a held key proves its name
//   static void hold(Key) noexcept;   keeps a key alive until release
//   static void release(Key) noexcept;
//
// Invariants: a slot describes a shape whole or nothing. The names the memo
// compares with are its own copies, never the caller's. Between calls it
// holds nothing of the caller's: the remembered keys are only compared, so a
// key gone after a call (and its identity reused) is harmless: the names
// decide. Within one call (until end_call) a slot just remembered, or
// confirmed by its names a second time, holds each of its keys, so the
// call's later records are found by keys alone: no key it compares can be
// reused meanwhile. Fixed storage: remembering allocates nothing, and shapes
// whose written names might not fit are not remembered (the room check
// cannot wrap: see member_name_fits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "codec/member_order.hpp"
#include "codec/string_text.hpp"
#include "support/portable.hpp"

#if PELM_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace pelm::codec {

template <class Keys, std::size_t kSlots>
class ShapeMemo {
 public:
  using Key = typename Keys::Key;
  static constexpr std::size_t kMaxMembers = kSmallObject;
  static constexpr std::size_t kMaxText = 512;
  static constexpr std::size_t kNone = kSlots;

  ShapeMemo() noexcept {
#if PELM_ASAN
    for (Shape& s : slots_) ASAN_POISON_MEMORY_REGION(s.guard, sizeof s.guard);
#endif
  }
  ShapeMemo(const ShapeMemo&) = delete;
  ShapeMemo& operator=(const ShapeMemo&) = delete;
  ~ShapeMemo() {
    end_call();
#if PELM_ASAN
    for (Shape& s : slots_) ASAN_UNPOISON_MEMORY_REGION(s.guard, sizeof s.guard);
#endif
  }

  // Releases the keys held since the call began; every call that used the
  // memo ends with it, so nothing of the caller's outlives a call.
  void end_call() noexcept {
    for (Shape& s : slots_) s.release();
    ++call_;
  }

  // The slot remembering `keys[0..count)` in that order with the names
  // `name_at(i)` (key i's name, or nothing, which never matches), or kNone;
  // a found slot counts as just used.
  template <class NameAt>
  [[nodiscard]] std::size_t find(const Key* keys, std::size_t count, NameAt name_at) noexcept {
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
      Shape& s = slots_[slot];
      if (s.count != count || count == 0 || s.keys[0] != keys[0]) continue;
      std::size_t i = 1;
      while (i < count && s.keys[i] == keys[i]) ++i;
      if (i == count && (s.held || s.same_names(name_at))) {
        if (s.confirmed_in == call_) s.hold();
        s.confirmed_in = call_;
        s.last_use = ++clock_;
        return slot;
      }
    }
    return kNone;
  }
  // Of the shape in `slot`: the arrival index of the i-th member in name
  // order, and that member's written name.
  [[nodiscard]] std::uint32_t order(std::size_t slot, std::size_t i) const noexcept { return slots_[slot].order[i]; }
  [[nodiscard]] std::string_view name_text(std::size_t slot, std::size_t i) const noexcept {
    const Shape& s = slots_[slot];
    const std::size_t start = i == 0 ? 0 : s.text_end[i - 1];
    return {s.text + start, s.text_end[i] - start};
  }
  // Changes whenever `slot` is given another shape: a caller reading a slot
  // while nested objects are written checks it before each name.
  [[nodiscard]] std::uint64_t generation(std::size_t slot) const noexcept { return slots_[slot].generation; }

  // Remembers `keys` (1 <= count <= kMaxMembers) with their name order in
  // the least recently used slot, and returns it; `name_at(i)` is the name
  // of the i-th member in that order (key order[i]). kNone, with that slot
  // emptied, when the names might not fit.
  template <class NameAt>
  std::size_t remember(const Key* keys, const std::uint32_t* order, std::size_t count, NameAt name_at) noexcept {
    std::size_t slot = 0;
    for (std::size_t i = 1; i < kSlots; ++i) {
      if (slots_[i].last_use < slots_[slot].last_use) slot = i;
    }
    Shape& s = slots_[slot];
    s.release();
    s.count = 0;
    ++s.generation;
    std::size_t end = 0;
    std::size_t raw_end = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view name = name_at(i);
      if (!member_name_fits(kMaxText - end, name.size())) return kNone;
      end = static_cast<std::size_t>(write_member_name_chars(s.text + end, name) - s.text);
      s.text_end[i] = static_cast<std::uint16_t>(end);
      s.order[i] = order[i];
      // The written name is at least the raw one plus three bytes, so the
      // raw names fit whenever the written ones do. An empty name's data
      // may be null (the writer's names of an object of empty names), which
      // memcpy must not be given.
      if (!name.empty()) std::memcpy(s.raw + raw_end, name.data(), name.size());
      s.raw_start[order[i]] = static_cast<std::uint16_t>(raw_end);
      s.raw_size[order[i]] = static_cast<std::uint16_t>(name.size());
      raw_end += name.size();
    }
    for (std::size_t i = 0; i < count; ++i) s.keys[i] = keys[i];
    s.count = count;
    s.hold();
    s.confirmed_in = call_;
    s.last_use = ++clock_;
    return slot;
  }

 private:
  struct Shape {
    std::uint64_t generation = 0;
    std::uint64_t last_use = 0;
    std::size_t count = 0;
    std::uint64_t confirmed_in = 0;  // the call that last found or made it
    bool held = false;               // each key is held until end_call
    Key keys[kMaxMembers];           // between calls compared only, never followed
    std::uint32_t order[kMaxMembers];
    std::uint16_t text_end[kMaxMembers];
    // Key i's own copy of its name: raw_size[i] bytes at raw + raw_start[i]
    // (i in arrival order, unlike `text`, which is in name order).
    std::uint16_t raw_start[kMaxMembers];
    std::uint16_t raw_size[kMaxMembers];
    char raw[kMaxText];
    char text[kMaxText];
#if PELM_ASAN
    // Poisoned: a name written past `text` is reported, not silently laid
    // over the next slot's fields.
    alignas(8) char guard[64];
#endif

    void hold() noexcept {
      if (!Keys::kCanHold || held) return;
      for (std::size_t i = 0; i < count; ++i) Keys::hold(keys[i]);
      held = true;
    }
    void release() noexcept {
      if (!held) return;
      held = false;
      for (std::size_t i = 0; i < count; ++i) Keys::release(keys[i]);
    }

    // Whether key i's current name, `name_at(i)`, is the one remembered,
    // for every key. Names are short: a byte loop beats a call to memcmp.
    template <class NameAt>
    bool same_names(NameAt name_at) const noexcept {
      for (std::size_t i = 0; i < count; ++i) {
        const std::optional<std::string_view> name = name_at(i);
        if (!name || name->size() != raw_size[i]) return false;
        const char* own = raw + raw_start[i];
        for (std::size_t b = 0; b < name->size(); ++b) {
          if ((*name)[b] != own[b]) return false;
        }
      }
      return true;
    }
  };
  static_assert(kMaxText <= UINT16_MAX, "name ends are kept in 16 bits");

  std::uint64_t clock_ = 0;
  std::uint64_t call_ = 1;  // counts end_call: slots start confirmed in none
  Shape slots_[kSlots];
};

}  // namespace pelm::codec
