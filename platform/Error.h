#pragma once

#include <QString>

#include <optional>

namespace platform {

// The one error model of the system: a domain, a code within it and a text for people.
// "Error or nothing" is std::optional<Error>.
struct Error {
    QString domain;
    int code = 0;
    QString localizedDescription;

    friend bool operator==(const Error &, const Error &) = default;
};

using MaybeError = std::optional<Error>;

} // namespace platform
