#pragma once

#include "Error.h"
#include "TerminalApplication.h"

#include <QString>

#include <functional>

// The password of an account kept in the desktop keyring between runs of nubelo-export: one
// item under the service "Nubelo Exporter" with the e-mail address as its account, stored only
// after a sign-in with it succeeded. The password goes to the keyring and to the sign-in, and
// nowhere else: no message, log line or file of ours holds it. Main thread only; each call
// waits for the keyring (bounded: a keyring that does not answer counts as none).
namespace remembered {

QString serviceName();

// The password remembered for `email`; a null string when there is none, or no keyring.
QString find(const QString &email);

// Stores the password for `email`, replacing an earlier one; the error's text says in one line
// why it was not stored (no keyring service, a locked keyring, ...).
platform::MaybeError store(const QString &email, const QString &password);

// --forget: deletes the item for `email` and says so. The exit code: 0 when it is gone (or
// there was none), 1 when the keyring could not be asked.
int forget(const QString &email);

} // namespace remembered

// The terminal kit, which also tells the host when a modal run follows an earlier one. During the
// sign-in that is the login sheet coming back after a refusal: the host learns that the password it
// gave was not the one that signed in, and can say so before the person is asked for another.
class SignInKit : public terminal::TerminalApplication {
public:
    // Counts modal runs from now on, and calls beforeRetry before the second and every later
    // one until stopWatching().
    void startWatching(std::function<void()> beforeRetry);
    // Stops the calls; the count stands.
    void stopWatching() { mBeforeRetry = nullptr; }
    // Whether more than one modal run happened since startWatching().
    bool retried() const { return mRuns > 1; }

    int runModalForWindow(ui::Window *window) override;

private:
    std::function<void()> mBeforeRetry;
    int mRuns = 0;
};
