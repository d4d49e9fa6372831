// The memoized-function type: making a wrapper, the garbage-collection slots
// and the descriptor. It is reachable as type(wrapper) only; Python cannot
// instantiate it.
//
// Binding: like a function (and like the C wrapper of functools.lru_cache),
// the wrapper bound to an instance is a method whose first argument is the
// instance, so `self` takes part in the key. Py_TPFLAGS_METHOD_DESCRIPTOR
// promises exactly that, and lets `obj.method(x)` call the wrapper with
// `obj` first without making the bound method at all.
#include <cstddef>
#include <new>

#include "cache/docstrings.hpp"
#include "memoize/memo_object.hpp"
#include "memoize/memo_methods.hpp"
#include "cache/entry_point.hpp"
#include "cache/module_types.hpp"
#include "py/messages.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace pelm {

namespace {

int memo_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
  MemoObject* self = as_memo(op);
  Py_VISIT(Py_TYPE(op));  // an instance of a heap type holds its type
  Py_VISIT(self->dict);
  Py_VISIT(self->func.get());
  Py_VISIT(self->cache.get());
  Py_VISIT(self->prefix.get());
  Py_VISIT(self->flights.get());
  return visit_plan(self->plan, visit, arg);
}

int memo_clear(PyObject* op) noexcept {
  MemoObject* self = as_memo(op);
  Py_CLEAR(self->dict);
  self->func.reset();
  self->cache.reset();
  self->prefix.reset();
  self->flights.reset();
  clear_plan(self->plan);
  return 0;
}

void memo_dealloc(PyObject* op) noexcept {
  PyObject_GC_UnTrack(op);
  PyTypeObject* type = Py_TYPE(op);
  MemoObject* self = as_memo(op);
  if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
  memo_clear(op);
  self->plan.~BindingPlan();
  self->flights.~OwnedRef();
  self->prefix.~OwnedRef();
  self->cache.~OwnedRef();
  self->func.~OwnedRef();
  PyObject_GC_Del(op);
  Py_DECREF(type);
}

PyObject* memo_descr_get(PyObject* op, PyObject* obj, PyObject*) noexcept {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(op);
  return PyMethod_New(op, obj);
}

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kOffsetMember = Py_T_PYSSIZET;
constexpr int kReadOnly = Py_READONLY;
#else
constexpr int kOffsetMember = T_PYSSIZET;
constexpr int kReadOnly = READONLY;
#endif

// A heap type takes these three offsets from members of these names.
PyMemberDef memo_members[] = {
    {"__vectorcalloffset__", kOffsetMember, offsetof(MemoObject, vectorcall), kReadOnly, nullptr},
    {"__weaklistoffset__", kOffsetMember, offsetof(MemoObject, weakrefs), kReadOnly, nullptr},
    {"__dictoffset__", kOffsetMember, offsetof(MemoObject, dict), kReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot memo_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(memo_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_doc, const_cast<char*>(doc::kMemoType)},
    {Py_tp_traverse, reinterpret_cast<void*>(memo_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(memo_clear)},
    {Py_tp_methods, memo_methods},
    {Py_tp_getset, memo_getset},
    {Py_tp_members, memo_members},
    {Py_tp_descr_get, reinterpret_cast<void*>(memo_descr_get)},
    {0, nullptr},
};

PyType_Spec memo_shape = {
    "pelm_lib.MemoizedFunction",
    sizeof(MemoObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    memo_slots,
};

}  // namespace

bool make_memo_type(PyObject* module) noexcept {
  PyObject* type = PyType_FromModuleAndSpec(module, &memo_shape, nullptr);
  types_of_module(module).memo = reinterpret_cast<PyTypeObject*>(type);
  return type != nullptr;
}

// Every interpreter's memo type shares the one deallocator.
bool is_memo(PyObject* obj) noexcept { return Py_TYPE(obj)->tp_dealloc == memo_dealloc; }

Result<OwnedRef> new_memo(MemoParts parts) {
  PyTypeObject* type = types_of_cache(parts.cache.get()).memo;
  if (type == nullptr) return Error::pending(PyExc_RuntimeError, msg::kModuleCleared);
  MemoObject* self = PyObject_GC_New(MemoObject, type);
  if (self == nullptr) return Error::fetch();
  self->vectorcall = parts.is_async ? memo_async_vectorcall : memo_vectorcall;
  self->dict = nullptr;
  self->weakrefs = nullptr;
  new (&self->func) OwnedRef(std::move(parts.func));
  new (&self->cache) OwnedRef(std::move(parts.cache));
  new (&self->prefix) OwnedRef(std::move(parts.prefix));
  self->ttl_ns = parts.ttl_ns.value_or(0);
  new (&self->flights) OwnedRef();
  new (&self->plan) BindingPlan(std::move(parts.plan));
  OwnedRef wrapper = OwnedRef::steal(reinterpret_cast<PyObject*>(self));
  if (parts.is_async) {
    self->flights = OwnedRef::steal(PyDict_New());
    if (!self->flights) return Error::fetch();
  }
  PyObject_GC_Track(wrapper.get());
  return wrapper;
}

}  // namespace pelm
