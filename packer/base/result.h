#pragma once
// A value or one line of error text. The packer reports every failure as a
// single message for the command line, so nothing richer is needed.

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

}  // namespace tavrik
