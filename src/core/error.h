#pragma once

#include <expected>
#include <string>
#include <utility>

namespace marlune {

// The application's error value. Its user-facing description is exactly `message`: the page shows
// it as the reply's error text, so the wording is part of the interface.
struct Error {
    std::string message;

    bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// Builds the failure side of a Result: `return fail("Invalid file name.");`
inline std::unexpected<Error> fail(std::string message) {
    return std::unexpected(Error{std::move(message)});
}

}  // namespace marlune
