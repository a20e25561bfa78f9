// Success-or-message result of the effect writer and reader: no exception leaves either.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace kestrin::fx {

template <class T> class Result {
  public:
    static Result success(T value) {
        Result r;
        r.value_.emplace(std::move(value));
        return r;
    }
    static Result failure(std::string message) {
        Result r;
        r.error_ = std::move(message);
        return r;
    }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    // Only valid when ok().
    const T& value() const& { return *value_; }
    T& value() & { return *value_; }
    T&& value() && { return std::move(*value_); }

    // What went wrong and where; empty when ok().
    const std::string& error() const { return error_; }

  private:
    Result() = default;
    std::optional<T> value_;
    std::string error_;
};

} // namespace kestrin::fx
