// Whether the calling thread holds the interpreter lock right now.
//
// Asked only on a rare path: before dropping the last reference to an object,
// which runs its deallocator. The one way our code drops references without
// the lock is a forced unwind: at interpreter exit the C library ends a
// daemon thread that tries to take the lock back (inside user code we
// called), and the unwind runs our destructors on that thread while the main
// thread is finalising. A deallocation there would race with the main thread;
// leaking the object instead is harmless, since the process is ending.
//
// On 3.12 and later the thread's current thread state is null whenever it
// does not hold the lock (and in particular while it waits to take it back).
// On 3.11 the interpreter's own check is used; it answers yes once any
// sub-interpreter exists, so there the leak is only best effort.
#pragma once

#include <Python.h>

namespace pelm {

[[nodiscard]] inline bool this_thread_holds_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  return PyGILState_Check() != 0;
#endif
}

}  // namespace pelm
