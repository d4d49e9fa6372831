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
#include "py/static_type.hpp"

namespace pelm {

namespace {

int memo_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
  MemoObject* self = as_memo(op);
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
  MemoObject* self = as_memo(op);
  if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
  memo_clear(op);
  self->plan.~BindingPlan();
  self->flights.~OwnedRef();
  self->prefix.~OwnedRef();
  self->cache.~OwnedRef();
  self->func.~OwnedRef();
  PyObject_GC_Del(op);
}

PyObject* memo_descr_get(PyObject* op, PyObject* obj, PyObject*) noexcept {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(op);
  return PyMethod_New(op, obj);
}

PyTypeObject make_memo_type() noexcept {
  PyTypeObject t = blank_static_type();
  t.tp_name = "pelm_lib.MemoizedFunction";
  t.tp_basicsize = sizeof(MemoObject);
  t.tp_dealloc = memo_dealloc;
  t.tp_vectorcall_offset = offsetof(MemoObject, vectorcall);
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
               Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc = doc::kMemoType;
  t.tp_traverse = memo_traverse;
  t.tp_clear = memo_clear;
  t.tp_weaklistoffset = offsetof(MemoObject, weakrefs);
  t.tp_methods = memo_methods;
  t.tp_getset = memo_getset;
  t.tp_descr_get = memo_descr_get;
  t.tp_dictoffset = offsetof(MemoObject, dict);
  return t;
}

}  // namespace

PyTypeObject MemoType = make_memo_type();

bool ready_memo_type() noexcept { return PyType_Ready(&MemoType) == 0; }

Result<OwnedRef> new_memo(MemoParts parts) {
  MemoObject* self = PyObject_GC_New(MemoObject, &MemoType);
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
