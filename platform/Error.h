#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace platform {

// The one error model of the system: a domain, a code within it and a text for people.
// Every failure across platform/, plugin/ and the hosts travels in one of two shapes:
//  - an operation that answers nothing but may fail answers MaybeError (nothing on success);
//  - an operation that answers a value answers Expected<T>: the value, or the Error that
//    prevented it.
// No out-parameter carries a reason. Where an interface outside the house fixes another shape
// (a keychain status number, an error-or-nil from the service client, a yes/no to the host),
// that interface keeps it and the code under it speaks Error.
struct Error {
    QString domain;
    int code = 0;
    QString localizedDescription;

    friend bool operator==(const Error &, const Error &) = default;
};

using MaybeError = std::optional<Error>;

// The error's text for people, or an empty string without one: for diagnostics.
inline QString describe(const MaybeError &error) {
    return error ? error->localizedDescription : QString();
}

// A T or the Error that prevented it; true when it holds the value.
template <class T> class Expected {
public:
    Expected(T value)
        : mState(std::in_place_index<0>, std::move(value)) {}
    Expected(Error error)
        : mState(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const { return mState.index() == 0; }
    T &operator*() { return std::get<0>(mState); }
    const T &operator*() const { return std::get<0>(mState); }
    T *operator->() { return &std::get<0>(mState); }
    const T *operator->() const { return &std::get<0>(mState); }
    // Only when it holds no value.
    const Error &error() const { return std::get<1>(mState); }
    // The Error, or nothing when it holds the value.
    MaybeError failure() const { return *this ? MaybeError() : MaybeError(error()); }

private:
    std::variant<T, Error> mState;
};

} // namespace platform
