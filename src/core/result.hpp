// Error values of the core. An operation that can fail on user input returns either its
// result or a message; the Python boundary raises the message as ValueError unchanged.
#pragma once

#include <new>
#include <string>
#include <utility>
#include <variant>

namespace zelk {

// The message of a failed operation.
struct Error {
  std::string message;
};

// Memory ran out where the cause is known: the boundary raises MemoryError with the message.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

template <class T>
class Expected {
 public:
  Expected(T value) : state_(std::move(value)) {}      // NOLINT: implicit by design
  Expected(Error error) : state_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const std::string& error() const { return std::get<1>(state_).message; }

 private:
  std::variant<T, Error> state_;
};

}  // namespace zelk
