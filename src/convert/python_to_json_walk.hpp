// The walk behind write_python_as_json: one object per call, holding the writer,
// the first failure and the references that keep read containers' entries
// alive. Shared by the scalar and container translation units.
//
// Invariants: every method returns true on success; on false, `error_` holds
// the failure and no Python error is pending. `depth` is the number of
// containers open above the object being converted; a container opened at
// depth kMaxNesting would be the 128th level and is refused before it is
// touched. Raw PyObject* parameters are borrowed and kept alive by the caller
// for the whole call, either by an OwnedRef or by an immutable tuple.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "convert/conversion_error.hpp"
#include "convert/dict_shape_memo.hpp"
#include "convert/name_arena.hpp"
#include "convert/python_to_json.hpp"
#include "codec/writer.hpp"
#include "py/owned_ref.hpp"
#include "py/str_utf8.hpp"
#include "support/portable.hpp"

namespace pelm {

struct SortedMember;

class ToValueWalk {
 public:
  // What a text is for, which decides what it may not hold. A stored value
  // writes everything insert accepts. A memoized result must read back as
  // what the function returned: non-finite floats (stored as null) refuse.
  // A key must tell unequal values apart: sets refuse as well (see
  // write_python_as_key_part).
  enum class Use { kStored, kResult, kKey };

  // `shapes`: the record-shape memo to use, or null for none.
  ToValueWalk(codec::JsonWriter& out, DictShapeMemo* shapes, Use use) noexcept
      : out_(out), finite_only_(use != Use::kStored), for_key_(use == Use::kKey), shapes_(shapes) {}

  // The general rules: exact built-in types by pointer (trying the plain
  // path for their containers), then everything else out of line.
  [[nodiscard]] bool convert(PyObject* obj, int depth) { return value<Path::kGeneral>(obj, depth); }

  [[nodiscard]] ConversionError take_error() { return std::move(*error_); }

 private:
  // How the opening of a sequence came out.
  enum class Opening { kOpened, kNotASequence, kFailed };
  // The two ways of writing a value: the plain path, for exact built-in
  // values where no Python code can run, declines (false, nothing recorded)
  // what it cannot write; the general rules write it or record the error.
  enum class Path { kPlain, kGeneral };
  // How one scalar emitter came out: written, or declined with nothing
  // written, which each path settles its own way.
  enum class Emit { kWritten, kDeclined };

  // The one dispatcher, and the scalars as each path settles their emitters
  // (python_to_json_dispatch.hpp).
  template <Path kPath>
  [[nodiscard]] bool value(PyObject* obj, int depth);
  template <Path kPath>
  [[nodiscard]] PELM_ALWAYS_INLINE bool str(PyObject* str);
  template <Path kPath>
  [[nodiscard]] PELM_ALWAYS_INLINE bool exact_int(PyObject* i);
  // NaN and the infinities are written null (by the writer itself), or
  // refused where the use must tell them from None.
  template <Path kPath>
  [[nodiscard]] PELM_ALWAYS_INLINE bool float_number(double d);
  // One emitter per scalar type, shared by both paths.
  [[nodiscard]] PELM_ALWAYS_INLINE Emit emit_str(PyObject* str);
  [[nodiscard]] bool str_units_written(PyObject* str);
  [[nodiscard]] PELM_ALWAYS_INLINE Emit emit_exact_int(PyObject* i);
  [[nodiscard]] PELM_ALWAYS_INLINE Emit emit_double(double d);

  // The general rules beyond exact built-in types (python_to_json.cpp).
  PELM_NOINLINE bool convert_general(PyObject* obj, int depth);
  PELM_NOINLINE bool put_int(PyObject* obj);

  // Containers (python_to_json_containers.cpp).
  [[nodiscard]] bool enter(int depth);
  [[nodiscard]] bool exact_list(PyObject* list, int depth);
  [[nodiscard]] bool exact_tuple(PyObject* tuple, int depth);
  [[nodiscard]] bool exact_dict(PyObject* dict, int depth);
  [[nodiscard]] bool dict_in_order(PyObject* dict, int depth);
  [[nodiscard]] bool exact_dict_rest(PyObject* dict, Py_ssize_t pos, PyObject* key, PyObject* value, int depth);
  [[nodiscard]] bool sequence(PyObject* obj, int depth, bool by_flag);
  [[nodiscard]] Opening open_sequence(PyObject* obj, bool by_flag, Py_ssize_t& n);
  // Turns a recorded failure (the result of `fail`) into the opening's answer.
  [[nodiscard]] static Opening failed(bool /*recorded*/) noexcept { return Opening::kFailed; }
  [[nodiscard]] bool set(PyObject* obj, int depth);
  [[nodiscard]] bool mapping(PyObject* obj, int depth);
  [[nodiscard]] bool mapping_items(PyObject* obj, int depth);
  [[nodiscard]] bool dataclass(PyObject* obj, PyObject* fields, int depth);
  [[nodiscard]] bool member(PyObject* key, PyObject* value, int depth);
  [[nodiscard]] bool member_name(PyObject* key);

  // The plain path's containers (python_to_json_plain.cpp): false means
  // "written another way", never an error; the caller rewinds and converts
  // by the general rules.
  [[nodiscard]] bool plain_array(PyObject* seq, int depth);
  [[nodiscard]] bool plain_elements(PyObject* seq, int depth);
  template <bool kRuns>
  [[nodiscard]] bool plain_items(PyObject* const* items, Py_ssize_t n, int depth);
  [[nodiscard]] Py_ssize_t plain_float_run(PyObject* const* items, Py_ssize_t i, Py_ssize_t n);
  [[nodiscard]] Py_ssize_t plain_int_run(PyObject* const* items, Py_ssize_t i, Py_ssize_t n);
  [[nodiscard]] bool plain_dict(PyObject* dict, int depth);
  [[nodiscard]] bool plain_members(PyObject* dict, int depth);
  [[nodiscard]] bool read_names(SortedMember* members, std::size_t count);
  [[nodiscard]] bool name_utf8(PyObject* key, std::string_view* name);
  [[nodiscard]] bool write_small(std::size_t base, std::size_t count, int depth);
  [[nodiscard]] bool write_large(std::size_t base, std::size_t count, int depth, bool names_read);
  // Runs `plain_body` on the container just begun; when it declines, rewinds
  // and runs `general_body` with no plain attempt anywhere below, so a value
  // that declines deep down costs at most two walks.
  template <class Plain, class General>
  bool plain_first(Plain plain_body, General general_body) {
    if (redoing_) return general_body();
    const codec::JsonWriter::Mark mark = out_.mark();
    if (plain_body()) return true;
    out_.rewind(mark);
    redoing_ = true;
    const bool ok = general_body();
    redoing_ = false;
    return ok;
  }

  // Failures (python_to_json.cpp); cold, and always return false.
  PELM_COLD PELM_NOINLINE bool fail(ConversionError e);
  PELM_COLD PELM_NOINLINE bool fail_interpreter();

  codec::JsonWriter& out_;
  bool finite_only_;
  bool for_key_;
  std::optional<ConversionError> error_;
  // Entries of the exact dicts being read, key then value, innermost dict last.
  std::vector<OwnedRef> held_;
  // The UTF-8 of the str being written, when it has none of its own; the
  // writer copies it before the next str is read.
  Utf8Scratch utf8_scratch_;
  // Set while a container that declined the plain write is converted again.
  bool redoing_ = false;
  DictShapeMemo* shapes_;
  // The thread's sort scratch (python_to_json_plain.cpp), looked up once.
  std::vector<SortedMember>* sort_scratch_ = nullptr;
  // Entries of the sort scratch in use by the dicts being written.
  std::size_t sort_used_ = 0;
  // Names of non-ASCII keys without a UTF-8 form (name_utf8), made on first need.
  std::unique_ptr<NameArena> name_arena_;
};

// isinstance(obj, cls); a raising check is reported as unraisable and is no.
[[nodiscard]] bool is_instance_quietly(PyObject* obj, PyObject* cls);

// The attribute, or null when it is absent or its lookup raises.
[[nodiscard]] OwnedRef optional_attribute(PyObject* obj, PyObject* name);

}  // namespace pelm
