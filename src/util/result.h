// A value or an error, for core functions that report failures as values.
//
// Contract: holds exactly one of T or E. Accessing the wrong alternative is a
// programming error (std::get throws bad_variant_access).
#pragma once

#include <utility>
#include <variant>

namespace kovrant {

template <typename T, typename E>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace kovrant
