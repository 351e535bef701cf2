#pragma once

#include <expected>
#include <string>
#include <utility>

namespace marlune {

// What kind of failure an Error is. Code that reacts to a particular failure branches on this,
// never on the message, whose wording belongs to the page.
enum class ErrorCode {
    failed,       // anything without a more specific kind
    cancelled,    // the caller (or a quit) stopped the work
    superseded,   // a newer request made this one pointless
    nameTaken,    // the output name exists already
    tooDeep,      // JSON nested past the limit
    nothingKept,  // a file holds nothing worth keeping (a movie without one complete part)
};

// The application's error value. Its user-facing description is exactly `message`: the page shows
// it as the reply's error text, so the wording is part of the interface.
struct Error {
    std::string message;
    ErrorCode code = ErrorCode::failed;

    bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// Builds the failure side of a Result: `return fail("Invalid file name.");`
inline std::unexpected<Error> fail(std::string message, ErrorCode code = ErrorCode::failed) {
    return std::unexpected(Error{std::move(message), code});
}

}  // namespace marlune
