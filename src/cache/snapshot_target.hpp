// What save() and load() are given as `file`: a path (a str or an
// os.PathLike; plain bytes are refused, as being far likelier a snapshot's
// text passed by mistake than a path) or a binary file object with the
// method the call needs (`write` or `read`, looked up once). A file fault
// from the snapshot layer becomes the OSError the interpreter would raise
// for it (FileNotFoundError, PermissionError, ...) with errno and filename.
//
// Resolving runs the object's own code (__fspath__, __getattr__): callers do
// it before taking any use of the cache.
#pragma once

#include <Python.h>

#include <optional>

#include "py/error.hpp"
#include "py/owned_ref.hpp"
#include "snapshot/snapshot_file.hpp"

namespace pelm {

struct FileTarget {
  std::optional<snapshot::NativePath> path;  // set for a path
  OwnedRef method;                           // set for a file object: its bound write/read
};

// `method` is "write" or "read"; `function` names the call in messages ("Cache.save()").
[[nodiscard]] Result<FileTarget> resolve_file_target(PyObject* file, const char* method, const char* function);

// The OSError of a failed file operation.
[[nodiscard]] Error file_fault_error(const snapshot::FileFault& fault);

}  // namespace pelm
