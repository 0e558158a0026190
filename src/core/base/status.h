// Error values of the core. Core functions report failures by returning a
// Status or a Result<T>; only the Python layer turns them into exceptions.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tessarine {

// What kind of failure a Status carries. The Python layer maps kinds to
// exception types; persistence errors keep the kind their I/O error had.
enum class ErrorCode {
  kOk = 0,
  kInvalidArgument,  // a bad value from the caller (ValueError)
  kNotFound,         // an unknown collection or document (KeyError)
  kAlreadyExists,    // a duplicate collection name (ValueError)
  kInvalidData,      // bytes that cannot be read back (snapshot, log)
  kIo,               // an operating-system I/O failure
  kOther,            // any other failure
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(ErrorCode code, std::string message) : code_(code), message_(std::move(message)) {}

  static Status Ok() { return Status(); }
  static Status InvalidArgument(std::string m) {
    return {ErrorCode::kInvalidArgument, std::move(m)};
  }
  static Status NotFound(std::string m) { return {ErrorCode::kNotFound, std::move(m)}; }
  static Status AlreadyExists(std::string m) { return {ErrorCode::kAlreadyExists, std::move(m)}; }
  static Status InvalidData(std::string m) { return {ErrorCode::kInvalidData, std::move(m)}; }
  static Status Io(std::string m) { return {ErrorCode::kIo, std::move(m)}; }
  static Status Other(std::string m) { return {ErrorCode::kOther, std::move(m)}; }

  bool ok() const { return code_ == ErrorCode::kOk; }
  ErrorCode code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  ErrorCode code_ = ErrorCode::kOk;
  std::string message_;
};

// Either a value or a failed Status.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}         // NOLINT
  Result(Status status) : state_(std::in_place_index<1>, std::move(status)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  const T& value() const& { return std::get<0>(state_); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& operator*() const& { return value(); }
  T& operator*() & { return value(); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }

  // The failure, or an Ok status when there is a value.
  const Status& status() const {
    static const Status kOk;
    return ok() ? kOk : std::get<1>(state_);
  }

 private:
  std::variant<T, Status> state_;
};

}  // namespace tessarine
