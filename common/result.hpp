// Result<T, E>: the codec's one way of reporting failure. Every fallible
// operation returns its value or exactly one error; nothing is thrown across
// the codec's own interfaces.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vdx {

template <class E>
struct Failure {
  E error;
};

// fail(e) converts to any Result<T, E>, so `return fail(SomeError{...});`
// works whatever the value type is.
template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F, std::enable_if_t<std::is_convertible_v<F, E>, int> = 0>
  Result(Failure<F> failure)
      : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class F, std::enable_if_t<std::is_convertible_v<F, E>, int> = 0>
  Result(Failure<F> failure) : error_(std::move(failure.error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  E& error() & { return *error_; }
  const E& error() const& { return *error_; }
  E&& error() && { return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace vdx

#define VDX_CONCAT_INNER(a, b) a##b
#define VDX_CONCAT(a, b) VDX_CONCAT_INNER(a, b)

// Propagates the error of a Result whose error type the caller also returns.
#define RETURN_IF_ERROR(expr)                                   \
  do {                                                          \
    auto vdx_result_ = (expr);                                  \
    if (!vdx_result_.ok()) return ::vdx::fail(std::move(vdx_result_).error()); \
  } while (0)

// `ASSIGN_OR_RETURN(auto x, f());` binds the value or propagates the error.
#define ASSIGN_OR_RETURN(lhs, expr)                                     \
  auto VDX_CONCAT(vdx_tmp_, __LINE__) = (expr);                         \
  if (!VDX_CONCAT(vdx_tmp_, __LINE__).ok())                             \
    return ::vdx::fail(std::move(VDX_CONCAT(vdx_tmp_, __LINE__)).error()); \
  lhs = std::move(VDX_CONCAT(vdx_tmp_, __LINE__)).value()
