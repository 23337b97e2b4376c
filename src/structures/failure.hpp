// Internal failures of the engine.
//
// A broken invariant inside the engine (a missing stored object, a poisoned
// lock, an impossible tree state) is raised as a C++ `InternalFailure`.  The
// engine never talks to Python; the binding (src/python/errors.hpp)
// turns the exception into the Python `PanicException` when it reaches an
// entry point.  This header has no Python dependency so that the pure data
// structures can use it and be tested on their own.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace corvane {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message,
                             std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Raise an internal failure with the caller's source location.
[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw InternalFailure(std::move(message), where);
}

// Messages shared by several places.
inline constexpr const char* kPoisonedLock =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kBitmapCreate = "assertion failed: success";
inline constexpr const char* kBitmapNull = "assertion failed: !p.is_null()";

}  // namespace corvane
