// Result<T, E>: the value of a fallible core operation, or the one failure that stopped it.
//
// The core never throws and never aborts: every operation that can fail returns a Result and
// the caller returns at once on failure. A Failure wrapper marks the error side explicitly so
// that T and E may even be the same type (a text value or a text message).
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace corvina {

template <typename E>
struct Failure {
  E error;
};

template <typename E>
[[nodiscard]] Failure<std::decay_t<E>> fail(E&& error) {
  return Failure<std::decay_t<E>>{std::forward<E>(error)};
}

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Failure<F> failure)  // NOLINT: implicit, so `return fail(...)` reads naturally
      : storage_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const { return storage_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Asking a failure for its value (or a value for its error) is a fault of the caller; it
  // throws std::bad_variant_access, which the module's boundary reports, rather than reading
  // memory that holds something else.
  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }

  E& error() & { return std::get<1>(storage_); }
  const E& error() const& { return std::get<1>(storage_); }
  E&& error() && { return std::get<1>(std::move(storage_)); }

 private:
  std::variant<T, E> storage_;
};

// For operations that yield nothing but can fail.
using Done = std::monostate;

}  // namespace corvina
