// Resolving save()'s and load()'s `file` (see snapshot_target.hpp).
#include "cache/snapshot_target.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include "py/has_attribute.hpp"
#include "py/messages.hpp"
#include "support/portable.hpp"

namespace pelm {

namespace {

PELM_COLD Error not_a_file(PyObject* file, const char* method, const char* function) {
  return Error::pending(PyExc_TypeError, msg::not_a_snapshot_file(function, method, type_qualname(file)))
      .with_argument_note("file");
}

// As os.fspath asks: does the file's type define __fspath__?
Result<bool> has_fspath(PyObject* file) {
  if (PyUnicode_Check(file)) return true;
  if (PyBytes_Check(file)) return false;
  return has_attribute(reinterpret_cast<PyObject*>(Py_TYPE(file)), "__fspath__");
}

// The platform's form of a path object's text (os.fspath's result).
Result<snapshot::NativePath> native_path(PyObject* file) {
#if defined(_WIN32)
  PyObject* decoded = nullptr;
  if (!PyUnicode_FSDecoder(file, &decoded)) return Error::fetch().with_argument_note("file");
  OwnedRef text = OwnedRef::steal(decoded);
  Py_ssize_t n = 0;
  wchar_t* wide = PyUnicode_AsWideCharString(text.get(), &n);
  if (wide == nullptr) return Error::fetch().with_argument_note("file");
  snapshot::NativePath out(wide, static_cast<std::size_t>(n));
  PyMem_Free(wide);
  return out;
#else
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(file, &encoded)) return Error::fetch().with_argument_note("file");
  OwnedRef bytes = OwnedRef::steal(encoded);
  return snapshot::NativePath(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
#endif
}

}  // namespace

Result<FileTarget> resolve_file_target(PyObject* file, const char* method, const char* function) {
  FileTarget target;
  Result<bool> is_path = has_fspath(file);
  if (!is_path.ok()) return std::move(is_path.error()).with_argument_note("file");
  if (is_path.value()) {
    Result<snapshot::NativePath> path = native_path(file);
    if (!path.ok()) return std::move(path.error());
    target.path = std::move(path.value());
    return target;
  }
  if (PyBytes_Check(file) || PyByteArray_Check(file)) return not_a_file(file, method, function);
  target.method = OwnedRef::steal(PyObject_GetAttrString(file, method));
  if (!target.method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch().with_argument_note("file");
    PyErr_Clear();
    return not_a_file(file, method, function);
  }
  return target;
}

Error file_fault_error(const snapshot::FileFault& fault) {
#if defined(_WIN32)
  OwnedRef name =
      OwnedRef::steal(PyUnicode_FromWideChar(fault.path.data(), static_cast<Py_ssize_t>(fault.path.size())));
#else
  OwnedRef name =
      OwnedRef::steal(PyUnicode_DecodeFSDefaultAndSize(fault.path.data(), static_cast<Py_ssize_t>(fault.path.size())));
#endif
  if (!name) return Error::fetch();
#if defined(_WIN32)
  if (fault.windows_code) {
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, fault.code, name.get());
    return Error::fetch();
  }
#endif
  errno = fault.code;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  return Error::fetch();
}

}  // namespace pelm
