// Thrown: what a C++ exception becomes where it may go no further.
//
// The core reports failures as values, but the standard library still throws when memory runs
// out (bad_alloc, or length_error for a size no container can hold). Every place where C++ code
// meets a caller that cannot take an exception (the interpreter, a C callback of the Arrow
// interface) runs that code through catch_thrown() and reports the value its own way.
//
// A thread that the interpreter ends at exit (pthread_exit) leaves by a forced unwind, which is
// no exception: it must pass through every frame on its way out, or the process aborts. So
// nothing here catches everything, and no frame that calls catch_thrown() may be noexcept.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

namespace corvina {

enum class ThrownKind : uint8_t {
  Nothing,   // nothing was thrown
  NoMemory,  // an allocation failed, or asked for more than a container can hold
  Other,     // any other standard exception: a fault of ours, reported as such
};

struct Thrown {
  ThrownKind kind = ThrownKind::Nothing;
  // The what() of Other, cut to fit: copying it must not allocate on a failure path.
  char what[160] = {};

  explicit operator bool() const { return kind != ThrownKind::Nothing; }
};

template <typename Body>
[[nodiscard]] Thrown catch_thrown(Body&& body) {
  Thrown thrown;
  try {
    body();
  } catch (const std::bad_alloc&) {
    thrown.kind = ThrownKind::NoMemory;
  } catch (const std::length_error&) {
    thrown.kind = ThrownKind::NoMemory;
  } catch (const std::exception& error) {
    thrown.kind = ThrownKind::Other;
    std::strncpy(thrown.what, error.what(), sizeof thrown.what - 1);
  }
  return thrown;
}

}  // namespace corvina
