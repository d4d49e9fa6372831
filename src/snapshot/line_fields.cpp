// The top-level members of a header or trailer line (see line_fields.hpp).
#include "snapshot/line_fields.hpp"

#include <utility>

namespace pelm::snapshot {

LineFields::LineFields(std::initializer_list<std::string_view> wanted) noexcept {
  for (std::string_view name : wanted) {
    if (wanted_count_ < kMaxWanted) wanted_[wanted_count_++] = name;
  }
}

const LineFields::Field* LineFields::find(std::string_view name) const noexcept {
  for (std::size_t i = 0; i < wanted_count_; ++i) {
    if (found_[i] && wanted_[i] == name) return &fields_[i];
  }
  return nullptr;
}

// A container that is a member's value is "something else" for that member.
bool LineFields::open(bool object) {
  if (depth_ == 0) {
    is_object_ = object;
  } else {
    put(std::monostate{});
  }
  ++depth_;
  return true;
}

bool LineFields::put(Field value) {
  if (!kept()) return true;
  for (std::size_t i = 0; i < wanted_count_; ++i) {
    if (wanted_[i] == name_) {
      fields_[i] = std::move(value);
      found_[i] = true;
      break;
    }
  }
  return true;
}

}  // namespace pelm::snapshot
