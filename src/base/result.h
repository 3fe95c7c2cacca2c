// The outcome of an operation that can fail (opening a port, starting a server, writing the
// file): its value, or a message for the operator that says what went wrong. The one convention
// of the project for such operations; shaped like C++23's std::expected<T, std::string>, so that
// callers read the same either way.
//
//   Result<int> Parse(std::string_view text);         // a value or a failure
//   Result<> Write(...);                              // success or a failure
//   if (!result) Report(result.error());
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace qln {

// What a failed operation returns: the message, complete and ready to show.
struct Failure {
  std::string message;
};

template <typename T = void>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure.message)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  // The value; only when has_value().
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  // The message; only when !has_value().
  const std::string& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, std::string> state_;
};

template <>
class Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : error_(std::move(failure.message)), failed_(true) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  // The message; empty on success.
  const std::string& error() const { return error_; }

 private:
  std::string error_;
  bool failed_ = false;
};

}  // namespace qln
