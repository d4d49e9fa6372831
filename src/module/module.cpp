// The module `pelm_lib`: multi-phase initialisation whose execution step adds
// `init_cache` and `Cache`, each also appended to `__all__`.
//
// Interpreters. Every interpreter that imports the module gets its own module
// object and, on first need, its own kept objects (py/per_interpreter.hpp).
// The types Cache, CacheNode and the memoized function's stay static, made
// ready once per process and shared: a static type is never freed, and sharing it is safe between
// interpreters that share the main interpreter's lock, which are the only
// ones the module accepts (Py_mod_multiple_interpreters below; one with a
// lock of its own refuses the import with ImportError). Per-interpreter heap
// types would buy nothing more and would cost every method a lookup of its
// defining class.
#include <Python.h>

#include <optional>
#include <string>

#include "cache/match_arguments.hpp"
#include "cache/convert_arguments.hpp"
#include "cache/cache_object.hpp"
#include "cache/docstrings.hpp"
#include "cache/entry_point.hpp"
#include "cache/fork_watch.hpp"
#include "memoize/flight.hpp"
#include "memoize/memo_object.hpp"
#include "module/method_table.hpp"
#include "py/messages.hpp"

namespace pelm {

namespace {

constexpr std::uint64_t kDefaultLimit = 1000000;
constexpr Signature kInitCacheSignature{"init_cache()", {"limit", nullptr}, 1, 0};

PyObject* init_cache(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return object_entry([&]() -> Result<OwnedRef> {
    BoundArgs bound;
    PELM_TRY(match_vectorcall(kInitCacheSignature, args, PyVectorcall_NARGS(nargsf), kwnames, bound));
    std::uint64_t limit = kDefaultLimit;
    if (bound[0] != nullptr && bound[0] != Py_None) {
      Result<std::uint64_t> converted = convert_limit(bound[0]);
      if (!converted.ok()) return std::move(converted.error());
      limit = converted.value();
    }
    return new_cache(&CacheType, limit);
  });
}

PyMethodDef init_cache_def = {"init_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_cache)),
                              METH_FASTCALL | METH_KEYWORDS, doc::kInitCache};

// Appends `name` to the module's __all__ (made if missing), then sets it.
Result<void> add_exported(PyObject* module, const char* name, PyObject* value) {
  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch();
    PyErr_Clear();
    all = OwnedRef::steal(PyList_New(0));
    if (!all) return Error::fetch();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Error::fetch();
  } else if (!PyList_Check(all.get())) {
    return Error::pending(PyExc_TypeError, not_an_instance_text(all.get(), "list"));
  }
  OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    return Error::panic(concat({msg::kAppendToAllFailed, name}));
  }
  if (PyObject_SetAttrString(module, name, value) < 0) return Error::fetch();
  return {};
}

Result<void> exec_steps(PyObject* module) {
  if (!PyModule_Check(module)) return Error::pending(PyExc_TypeError, not_an_instance_text(module, "module"));
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return Error::fetch();
  OwnedRef fn = OwnedRef::steal(PyCMethod_New(&init_cache_def, module, module_name.get(), nullptr));
  if (!fn) return Error::fetch();
  PELM_TRY(add_exported(module, "init_cache", fn.get()));
  if (!watch_forks(reset_flights_in_child)) {
    PyErr_NoMemory();
    return Error::fetch();
  }
  if (!ready_cache_type(cache_method_table()) || !ready_memo_type()) return Error::fetch();
  return add_exported(module, "Cache", reinterpret_cast<PyObject*>(&CacheType));
}

int module_exec(PyObject* module) {
  return number_entry<int>([&]() -> Result<int> {
    PELM_TRY(exec_steps(module));
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Sub-interpreters, but only those sharing the main interpreter's lock.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pelm_lib", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace pelm

PyMODINIT_FUNC PyInit_pelm_lib() { return PyModuleDef_Init(&pelm::module_def); }
