#pragma once
// A value or one line of error text (Result<T>), and done or one line of
// error text (Status) for what only succeeds or fails. The packer reports
// every failure as a single message for the command line, so nothing richer
// is needed.

#include <optional>
#include <string>
#include <utility>

namespace tavrik {

struct Error {
    std::string message;
};

template <class T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Error error) : error_(std::move(error.message)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    T &value() { return *value_; }
    const T &value() const { return *value_; }
    T &operator*() { return *value_; }
    const T &operator*() const { return *value_; }
    T *operator->() { return &*value_; }
    const T *operator->() const { return &*value_; }

    const std::string &error() const { return error_; }

private:
    std::optional<T> value_;
    std::string error_;
};

// What a function that only succeeds or fails returns: nothing when done,
// the reason when not. A yes-or-no answer that can also fail is a
// Result<bool>.
class Status {
public:
    Status() = default;
    Status(Error error) : error_(std::move(error.message)), failed_(true) {}
    static Status done() { return Status(); }

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const std::string &error() const { return error_; }

private:
    std::string error_;
    bool failed_ = false;
};

}  // namespace tavrik
