#pragma once

#include <utility>
#include <variant>

namespace keldrin {

/// Either a value or the error that prevented it. It cannot be ignored: every caller has to
/// decide what a failure means for it.
/// REQUIRES: T and E are distinct types.
template <class T, class E>
class [[nodiscard]] Result {
 public:
  // By reference, not by value: a value parameter is one more move of T, and GCC's move of a
  // vector just filled stalls on the stores that filled it.
  Result(const T& value) : state_(std::in_place_index<0>, value) {}
  Result(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(const E& error) : state_(std::in_place_index<1>, error) {}
  Result(E&& error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  /// REQUIRES: ok().
  T& value() & { return *std::get_if<0>(&state_); }
  T&& value() && { return std::move(*std::get_if<0>(&state_)); }

  /// REQUIRES: !ok().
  const E& error() const& { return *std::get_if<1>(&state_); }
  E&& error() && { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, E> state_;
};

}  // namespace keldrin
