// The capsules behind for_this_interpreter (see per_interpreter.hpp).
#include "py/per_interpreter.hpp"

#include <atomic>

#include "py/owned_ref.hpp"

namespace pelm::per_interpreter {

namespace {

std::atomic<std::uint64_t> g_destroyed{0};

// Runs when the interpreter's dict lets the capsule go: the instance's
// references are released while that interpreter is current.
void destroy_capsule(PyObject* capsule) noexcept {
  const auto* kind = static_cast<const Kind*>(PyCapsule_GetContext(capsule));
  void* instance = kind != nullptr ? PyCapsule_GetPointer(capsule, kind->key) : nullptr;
  if (instance == nullptr) {
    PyErr_Clear();
    return;
  }
  g_destroyed.fetch_add(1, std::memory_order_relaxed);
  kind->destroy(instance);
}

// A new capsule holding a new instance of `kind`; null with an error set.
OwnedRef new_capsule(const Kind& kind) {
  void* instance = kind.make();
  if (instance == nullptr) {
    PyErr_NoMemory();
    return {};
  }
  OwnedRef capsule = OwnedRef::steal(PyCapsule_New(instance, kind.key, destroy_capsule));
  if (!capsule) {
    kind.destroy(instance);
    return {};
  }
  if (PyCapsule_SetContext(capsule.get(), const_cast<Kind*>(&kind)) < 0) return {};
  return capsule;
}

}  // namespace

std::uint64_t destroyed() noexcept { return g_destroyed.load(std::memory_order_relaxed); }

void* find_or_make(const Kind& kind) {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
  if (dict == nullptr) {                                                  // it could not be made, and says nothing more
    PyErr_NoMemory();
    return nullptr;
  }
  OwnedRef key = OwnedRef::steal(PyUnicode_FromString(kind.key));
  if (!key) return nullptr;
  PyObject* stored = PyDict_GetItemWithError(dict, key.get());  // borrowed
  if (stored == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    // Making the capsule can collect garbage, whose finalisers may get here
    // first: whichever capsule is stored first is the one kept.
    OwnedRef fresh = new_capsule(kind);
    if (!fresh) return nullptr;
    stored = PyDict_SetDefault(dict, key.get(), fresh.get());
    if (stored == nullptr) return nullptr;
  }
  return PyCapsule_GetPointer(stored, kind.key);
}

}  // namespace pelm::per_interpreter
