// The module `pelm_lib`: multi-phase initialisation whose execution step adds
// `init_cache` and `Cache`, each also appended to `__all__`.
//
// Interpreters. Every interpreter that imports the module gets its own module
// object, its own types in the module's state (cache/module_types.hpp) and,
// on first need, its own kept objects (py/per_interpreter.hpp), so
// interpreters with a lock of their own may import it too. What stays
// process-wide holds no Python object and is safe from any thread: the fork
// generation and the fork handler (atomics, registered under a mutex), the
// waits-for graph of threads and the table of memoize's flights (under their
// mutex), the per-thread hash-key source and spare writers, the method
// table (made once, then only read) and the steady clock.
#include <Python.h>

#include <optional>
#include <string>

#include "cache/match_arguments.hpp"
#include "cache/convert_arguments.hpp"
#include "cache/cache_object.hpp"
#include "cache/docstrings.hpp"
#include "cache/entry_point.hpp"
#include "cache/fork_watch.hpp"
#include "cache/module_types.hpp"
#include "memoize/flight.hpp"
#include "memoize/memo_object.hpp"
#include "module/method_table.hpp"
#include "py/messages.hpp"

namespace pelm {

namespace {

constexpr std::uint64_t kDefaultLimit = 1000000;
constexpr Signature kInitCacheSignature{"init_cache()", {"limit", nullptr}, 1, 0};

PyObject* init_cache(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return object_entry([&]() -> Result<OwnedRef> {
    BoundArgs bound;
    PELM_TRY(match_vectorcall(kInitCacheSignature, args, PyVectorcall_NARGS(nargsf), kwnames, bound));
    std::uint64_t limit = kDefaultLimit;
    if (bound[0] != nullptr && bound[0] != Py_None) {
      Result<std::uint64_t> converted = convert_limit(bound[0]);
      if (!converted.ok()) return std::move(converted.error());
      limit = converted.value();
    }
    PyTypeObject* type = types_of_module(module).cache;
    if (type == nullptr) return Error::pending(PyExc_RuntimeError, msg::kModuleCleared);
    return new_cache(type, limit);
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
  if (!make_cache_types(module, cache_method_table()) || !make_memo_type(module)) return Error::fetch();
  return add_exported(module, "Cache", reinterpret_cast<PyObject*>(types_of_module(module).cache));
}

int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
  int failed = 0;
  for_each_type_slot(types_of_module(module), [&](PyTypeObject* type) {
    if (failed == 0 && type != nullptr) failed = visit(reinterpret_cast<PyObject*>(type), arg);
  });
  return failed;
}

int module_clear(PyObject* module) noexcept {
  for_each_type_slot(types_of_module(module), [](PyTypeObject*& type) { Py_CLEAR(type); });
  return 0;
}

void module_free(void* module) noexcept { module_clear(static_cast<PyObject*>(module)); }

int module_exec(PyObject* module) {
  return number_entry<int>([&]() -> Result<int> {
    PELM_TRY(exec_steps(module));
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Sub-interpreters, those with a lock of their own included.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pelm_lib",      "",           kModuleTypesSize, nullptr,
    module_slots,          module_traverse, module_clear, module_free,
};

}  // namespace

}  // namespace pelm

PyMODINIT_FUNC PyInit_pelm_lib() { return PyModuleDef_Init(&pelm::module_def); }
