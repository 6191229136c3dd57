// The boundary between C++ and the interpreter: nothing thrown may cross it, and the lock state
// is restored on every path.
//
// Every entry point that runs C++ code which allocates goes through one of these, so the caller
// gets MemoryError (or SystemError for a fault of ours) instead of a terminated process; the C++
// objects on the way are released by their destructors as usual. A thread ended at interpreter
// exit unwinds through them untouched (see thrown.h), which is why none of them is noexcept.
#pragma once

#include <Python.h>

#include <type_traits>

#include "thrown.h"

namespace corvina::py {

// Sets the exception for what was thrown; returns nullptr for the caller's convenience.
inline PyObject* raise_thrown(const Thrown& thrown) {
  if (thrown.kind == ThrownKind::NoMemory) return PyErr_NoMemory();
  PyErr_SetString(PyExc_SystemError, thrown.what);
  return nullptr;
}

// body() returns a new reference or nullptr with an exception set; so does guard().
template <typename Body>
PyObject* guard(Body&& body) {
  PyObject* result = nullptr;
  if (Thrown thrown = catch_thrown([&] { result = body(); })) return raise_thrown(thrown);
  return result;
}

// The lock that run_unlocked gave up, for a body that must take it back for a moment (to run
// the interpreter's signal handlers, say). Python objects may be touched only inside locked().
class Relock {
 public:
  explicit Relock(PyThreadState*& saved) : saved_(saved) {}
  template <typename Locked>
  auto locked(Locked&& body) {
    PyEval_RestoreThread(saved_);
    auto result = body();
    saved_ = PyEval_SaveThread();
    return result;
  }

 private:
  PyThreadState*& saved_;
};

// Runs body() (or body(relock), for a body that takes a Relock&) with the interpreter lock
// released; body must touch no Python object. Returns false with the exception set when it
// threw, once the lock is held again.
template <typename Body>
bool run_unlocked(Body&& body) {
  PyThreadState* saved = PyEval_SaveThread();
  Relock relock(saved);
  Thrown thrown = catch_thrown([&] {
    if constexpr (std::is_invocable_v<Body&, Relock&>) {
      body(relock);
    } else {
      body();
    }
  });
  // At interpreter exit a daemon thread never returns from here: it unwinds out of this frame,
  // and nothing on its way may touch a Python object (see OwnedRef).
  PyEval_RestoreThread(saved);
  if (thrown) {
    raise_thrown(thrown);
    return false;
  }
  return true;
}

}  // namespace corvina::py
