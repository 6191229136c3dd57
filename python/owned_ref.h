// OwnedRef: one strong reference to a Python object, released when the holder goes away.
//
// With every reference held this way, an early `return nullptr` on an error path releases what
// was built so far; no Py_DECREF pairs are written by hand.
//
// A daemon thread that the interpreter ends at exit unwinds through our frames without a thread
// state, while the main thread tears the objects down: a reference dropped then would free or
// touch what is no longer ours to touch. So a reference is dropped only by a thread that has an
// interpreter state attached, and otherwise left behind with the dying thread; every other path
// that lets go of one holds the lock (or is attached, without the lock) by construction.
#pragma once

#include <Python.h>

#include <utility>

namespace corvina::py {

// Py_XDECREF, but for a thread being ended at exit (see above).
inline void drop_reference(PyObject* object) {
  if (object != nullptr && PyThreadState_GetUnchecked() != nullptr) Py_DECREF(object);
}

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (the result of most C API calls); null stays null.
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  // Adds a reference to a borrowed object.
  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      drop_reference(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { drop_reference(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (a C API function that steals, or a return value).
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace corvina::py
