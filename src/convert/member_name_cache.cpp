// The shared short-key cache (see member_name_cache.hpp): its slots and the
// miss, which makes the str the slot keeps.
#include "convert/member_name_cache.hpp"

#include "py/per_interpreter.hpp"
#include "py/str_from_utf8.hpp"

namespace pelm {

MemberNames* member_names_here() { return for_this_interpreter<MemberNames>(); }

namespace member_name_detail {

PyObject* refill(OwnedRef& slot, std::string_view ascii) noexcept {
  PyObject* fresh = new_ascii_str(ascii);
  if (fresh == nullptr) return nullptr;
  // Hashing now, once, is what later dict insertions of this key save.
  (void)PyObject_Hash(fresh);
  slot.reset(Py_NewRef(fresh));
  return fresh;
}

}  // namespace member_name_detail

}  // namespace pelm
