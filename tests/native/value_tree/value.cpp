// Member ordering and equality of the value model (see value.hpp).
#include "value_tree/value.hpp"

#include <algorithm>
#include <bit>

namespace pelm::codec {

namespace {
struct NameLess {
  bool operator()(const Object::Member& m, std::string_view name) const noexcept {
    return compare_names(m.first, name) < 0;
  }
};
}  // namespace

void Object::put(std::string name, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), std::string_view(name), NameLess{});
  if (it != members_.end() && it->first == name) {
    it->second = std::move(value);
    return;
  }
  members_.emplace(it, std::move(name), std::move(value));
}

const Value* Object::find(std::string_view name) const noexcept {
  auto it = std::lower_bound(members_.begin(), members_.end(), name, NameLess{});
  if (it != members_.end() && it->first == name) return &it->second;
  return nullptr;
}

bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

bool operator==(const Value& a, const Value& b) {
  if (a.data.index() != b.data.index()) return false;
  if (const double* da = std::get_if<double>(&a.data)) {
    return std::bit_cast<std::uint64_t>(*da) == std::bit_cast<std::uint64_t>(std::get<double>(b.data));
  }
  return a.data == b.data;
}

}  // namespace pelm::codec
