// A coroutine call's key as a private Python object (see async_key.hpp).
#include "memoize/async_key.hpp"

#include <new>
#include <utility>

#include "py/per_interpreter.hpp"

namespace pelm {

namespace {

struct AsyncKeyObject {
  PyObject_HEAD
  MissedKey key;  // built with placement new, destroyed in dealloc
};

AsyncKeyObject* as_async_key(PyObject* op) noexcept { return reinterpret_cast<AsyncKeyObject*>(op); }

// An instance of a heap type holds a reference to its type.
void async_key_dealloc(PyObject* op) noexcept {
  PyTypeObject* type = Py_TYPE(op);
  as_async_key(op)->key.~MissedKey();
  type->tp_free(op);
  Py_DECREF(type);
}

// The str hash of the text, never -1 (the interpreter maps that to -2).
Py_hash_t async_key_hash(PyObject* op) noexcept { return static_cast<Py_hash_t>(as_async_key(op)->key.str_hash); }

PyObject* async_key_compare(PyObject* a, PyObject* b, int op) noexcept {
  const MissedKey* other = async_key_of(b);
  if (other == nullptr || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const MissedKey& mine = as_async_key(a)->key;
  const bool equal = mine.str_hash == other->str_hash && mine.text == other->text;
  return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
}

PyType_Slot async_key_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(async_key_dealloc)},
    {Py_tp_hash, reinterpret_cast<void*>(async_key_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(async_key_compare)},
    {0, nullptr},
};

PyType_Spec async_key_shape = {
    "pelm_lib.MemoizedCallKey",
    sizeof(AsyncKeyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    async_key_slots,
};

// The type, kept per interpreter: its instances are that interpreter's
// objects.
struct AsyncKeyType {
  static constexpr const char* kKey = "pelm_lib.memoize_async_key_type";
  OwnedRef object;
};

PyTypeObject* async_key_type() {
  return reinterpret_cast<PyTypeObject*>(
      kept_object<AsyncKeyType>([] { return OwnedRef::steal(PyType_FromSpec(&async_key_shape)); }));
}

}  // namespace

Result<OwnedRef> new_async_key(MissedKey key) {
  PyTypeObject* type = async_key_type();
  if (type == nullptr) return Error::fetch();
  OwnedRef obj = OwnedRef::steal(type->tp_alloc(type, 0));
  if (!obj) return Error::fetch();
  new (&as_async_key(obj.get())->key) MissedKey(std::move(key));
  return obj;
}

// Every interpreter's key type is made from the one declared shape, so its instances,
// and only they, have this dealloc.
const MissedKey* async_key_of(PyObject* obj) noexcept {
  if (Py_TYPE(obj)->tp_dealloc != async_key_dealloc) return nullptr;
  return &as_async_key(obj)->key;
}

}  // namespace pelm
