// Outcomes of the peer's operations: an error is a value with a one-line
// text, so that commands print it as it is and tests can compare kinds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace grfs_client {

enum class ErrorKind {
    none,
    usage,          // bad arguments
    unreachable,    // name lookup or connect failed
    refused,        // the agent answered the session-open exchange with a nonzero status
    closed,         // the peer closed the connection or ended the session
    timeout,        // no answer in time
    protocol,       // bytes that do not follow the protocol
    retcode,        // a reply carried a nonzero retcode; see Error::retcode
    io,             // a local file or socket call failed
    archive,        // an archive file that does not follow its format
    mismatch,       // verify found a difference
};

struct Error {
    ErrorKind kind = ErrorKind::none;
    std::string text;      // one line, no line end
    int16_t retcode = 0;   // for ErrorKind::retcode

    bool ok() const { return kind == ErrorKind::none; }
};

using Status = Error;  // ok() when nothing went wrong

inline Error make_error(ErrorKind kind, std::string text, int16_t retcode = 0) {
    return Error{kind, std::move(text), retcode};
}

// A value or an error.
template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    T* operator->() { return &value(); }
    const Error& error() const {
        static const Error no_error{};
        return ok() ? no_error : std::get<1>(v_);
    }

private:
    std::variant<T, Error> v_;
};

}  // namespace grfs_client
