#pragma once

#include <QString>
#include <QtGlobal>

#include <chrono>

// A generic-password store over the user's keyring (the Secret Service).
//
// One item per (service, account) pair in the keyring's default collection, labelled
// "service (account)" so a person recognises it in a keyring manager. Service, account and
// password are used up to their first U+0000; the password is kept as its UTF-8 bytes.
//
// Every call blocks its caller until the keyring has answered, and never longer than a bounded
// time: a keyring service that is missing or does not answer gives KeychainStatus::NotAvailable,
// a locked keyring that nobody unlocks (no prompt can be shown, or the prompt is dismissed or
// left unanswered) gives KeychainStatus::AuthFailed. The class keeps no state; calls from
// several threads at once are fine.
class Keychain {
public:
    // 0, or a status below. An existing item is left as it is (DuplicateItem) unless
    // replaceExisting is set; a replaced item is written only when its password changes.
    // A null password, account or service is a bad parameter and touches nothing.
    qint32 addGenericPassword(const QString &password, const QString &account,
                              const QString &service, bool replaceExisting);
    // The stored password, or the empty string when there is none or it cannot be read.
    QString findGenericPasswordForAccount(const QString &account, const QString &service);
    // 0, ItemNotFound, or a status below. A null account or service is a bad parameter.
    qint32 deleteItemForAccount(const QString &account, const QString &service);
};

// The statuses the store answers, in the numbering keychain callers know.
namespace KeychainStatus {
inline constexpr qint32 Success = 0;
inline constexpr qint32 DuplicateItem = -25299;
inline constexpr qint32 ItemNotFound = -25300;
inline constexpr qint32 NotAvailable = -25291; // no keyring service reachable, or it did not answer
inline constexpr qint32 AuthFailed = -25293;   // locked and not unlocked, or access refused
inline constexpr qint32 BadParameter = -50;
inline constexpr qint32 IoError = -36; // the service answered with a failure of its own
} // namespace KeychainStatus

// Test seam: how long one call waits on the keyring service, and on a person answering an unlock
// prompt, before it gives up. Programs keep the defaults: 10 s for the service; for a prompt 60 s
// when this process has a display (DISPLAY or WAYLAND_DISPLAY), else the service's limit.
// A negative value restores the default.
namespace KeychainLimits {
void setForTesting(std::chrono::milliseconds service, std::chrono::milliseconds prompt);
}
