// Writing a memoized call's key (see key.hpp).
#include "memoize/key.hpp"

#include <optional>

#include "convert/python_to_json.hpp"
#include "memoize/bind.hpp"
#include "py/messages.hpp"
#include "py/per_interpreter.hpp"
#include "py/str_utf8.hpp"

namespace pelm {

namespace {

// One argument's text; kUncacheable when it has none. Only a panic
// survives: any other failure just means "no key".
Result<Keyed> write_part(PyObject* value, codec::JsonWriter& w) {
  std::optional<ConversionError> e = write_python_as_key_part(value, w);
  if (!e) return Keyed::kWritten;
  if (e->is_panic()) return std::move(*e).to_error({});
  return Keyed::kUncacheable;
}

// Whether `r` lets the key go on being written.
bool written(Result<Keyed>& r) noexcept { return r.ok() && r.value() == Keyed::kWritten; }

Result<Keyed> write_range(const BoundCall& call, Py_ssize_t first, Py_ssize_t end, codec::JsonWriter& w) {
  for (Py_ssize_t i = first; i < end; ++i) {
    Result<Keyed> r = write_part(call.value(i), w);
    if (!written(r)) return r;
  }
  return Keyed::kWritten;
}

Result<Keyed> write_extra_positional(const BoundCall& call, PyObject* const* args, codec::JsonWriter& w) {
  w.begin_array();
  for (Py_ssize_t i = call.extra_positional_first(); i < call.extra_positional_end(); ++i) {
    Result<Keyed> r = write_part(args[i], w);
    if (!written(r)) return r;
  }
  w.end_array();
  return Keyed::kWritten;
}

// The writer sorts the members, so keyword order never matters.
Result<Keyed> write_extra_keywords(const BoundCall& call, codec::JsonWriter& w) {
  Utf8Scratch scratch;  // the writer copies each name before the next is read
  w.begin_object();
  for (std::size_t i = 0; i < call.extra_keyword_count(); ++i) {
    std::string_view name;
    if (!str_utf8_view(call.extra_keyword_name(i), scratch, &name)) {
      PyErr_Clear();  // a lone surrogate: no text, so no key
      return Keyed::kUncacheable;
    }
    w.key(name);
    Result<Keyed> r = write_part(call.extra_keyword_value(i), w);
    if (!written(r)) return r;
  }
  w.end_object();
  return Keyed::kWritten;
}

Result<Keyed> write_arguments(const BindingPlan& plan, const BoundCall& call, PyObject* const* args,
                              codec::JsonWriter& w) {
  w.begin_array();
  Result<Keyed> r = write_range(call, 0, plan.positional, w);
  if (written(r) && plan.var_positional) r = write_extra_positional(call, args, w);
  if (written(r)) r = write_range(call, plan.positional, plan.named(), w);
  if (written(r) && plan.var_keyword) r = write_extra_keywords(call, w);
  if (!written(r)) return r;
  w.end_array();
  return Keyed::kWritten;
}

// hashlib.sha256, imported on first need and kept per interpreter.
struct Hashing {
  static constexpr const char* kKey = "pelm_lib.memoize_hashing";
  OwnedRef object;
};

PyObject* sha256_constructor() {
  return kept_object<Hashing>([] {
    OwnedRef hashlib = OwnedRef::steal(PyImport_ImportModule("hashlib"));
    return hashlib ? OwnedRef::steal(PyObject_GetAttrString(hashlib.get(), "sha256")) : OwnedRef();
  });
}

// Replaces out's text after the prefix by the hex digest of the whole text.
Result<void> digest_long_key(codec::ByteBuffer& out, std::size_t prefix_size) {
  PyObject* sha256 = sha256_constructor();
  if (sha256 == nullptr) return Error::fetch();
  OwnedRef text = OwnedRef::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  OwnedRef hash = text ? OwnedRef::steal(PyObject_CallOneArg(sha256, text.get())) : OwnedRef();
  OwnedRef hex = hash ? OwnedRef::steal(PyObject_CallMethod(hash.get(), "hexdigest", nullptr)) : OwnedRef();
  std::string_view digits;
  Utf8Scratch scratch;
  if (!hex || !PyUnicode_Check(hex.get()) || !str_utf8_view(hex.get(), scratch, &digits)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, msg::kDigestNotStr.data());
    return Error::fetch();
  }
  out.truncate(prefix_size);
  out.append(digits);
  return {};
}

}  // namespace

Result<Keyed> write_call_key(const MemoObject& self, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                             PooledWriter& pooled) {
  BoundCall call(args, nargs, kwnames);
  Result<Binding> bound = call.bind(self.plan, self.func.get());
  if (!bound.ok()) return std::move(bound.error());
  if (bound.value() == Binding::kUnbound) return Keyed::kUncacheable;
  const std::string_view prefix(PyBytes_AS_STRING(self.prefix.get()),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(self.prefix.get())));
  codec::ByteBuffer& out = pooled.out();
  out.append(prefix);
  const std::size_t repeated = pooled.writer().repeated_names();
  Result<Keyed> arguments = write_arguments(self.plan, call, args, pooled.writer());
  if (!written(arguments)) return arguments;
  // Two keys of one text (str subclasses with their own equality) write as
  // one member, so the text no longer tells this argument from another:
  // no key, as for NaN and sets.
  if (pooled.writer().repeated_names() != repeated) return Keyed::kUncacheable;
  if (out.size() > kLongKey) {
    PELM_TRY(digest_long_key(out, prefix.size()));
  }
  return Keyed::kWritten;
}

Result<std::uint64_t> key_str_hash(std::string_view key) {
  Result<OwnedRef> str = key_as_str(key);
  if (!str.ok()) return std::move(str.error());
  const Py_hash_t h = PyObject_Hash(str.value().get());
  if (h == -1) return Error::fetch();
  return static_cast<std::uint64_t>(h);
}

Result<OwnedRef> key_as_str(std::string_view key) {
  OwnedRef str = OwnedRef::steal(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
  if (!str) return Error::fetch();
  return str;
}

}  // namespace pelm
