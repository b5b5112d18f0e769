#include "RememberedPassword.h"

#include "Keychain.h"
#include "ProgramArguments.h"
#include "TerminalIO.h"

#include <unistd.h>

namespace remembered {

namespace {

QString because(qint32 status) {
    switch (status) {
    case KeychainStatus::NotAvailable:
        return QStringLiteral("no keyring service is running");
    case KeychainStatus::AuthFailed:
        return QStringLiteral("the keyring is locked or refused access");
    default:
        return QStringLiteral("the keyring answered status %1").arg(status);
    }
}

} // namespace

QString serviceName() {
    return QStringLiteral("Nubelo Exporter");
}

QString find(const QString &email) {
    const QString password = Keychain().findGenericPasswordForAccount(email, serviceName());
    // The store answers the empty string for "none"; an empty password signs nobody in.
    return password.isEmpty() ? QString() : password;
}

platform::MaybeError store(const QString &email, const QString &password) {
    const qint32 status =
        Keychain().addGenericPassword(password, email, serviceName(), /*replaceExisting=*/true);
    if (status == KeychainStatus::Success)
        return std::nullopt;
    return platform::Error{QStringLiteral("Keychain"), status, because(status)};
}

int forget(const QString &email) {
    const qint32 status = Keychain().deleteItemForAccount(email, serviceName());
    const auto tell = [](const QString &text) {
        terminal::writeText(STDOUT_FILENO, text + QLatin1Char('\n'));
    };
    if (status == KeychainStatus::Success) {
        tell(QStringLiteral("Forgot the password remembered for %1.").arg(email));
        return 0;
    }
    if (status == KeychainStatus::ItemNotFound) {
        tell(QStringLiteral("No password is remembered for %1.").arg(email));
        return 0;
    }
    ProgramArguments::warn(
        QStringLiteral("nubelo-export"),
        QStringLiteral("--forget: %1; nothing was deleted").arg(because(status)));
    return 1;
}

} // namespace remembered

void SignInKit::startWatching(std::function<void()> beforeRetry) {
    mBeforeRetry = std::move(beforeRetry);
    mRuns = 0;
}

int SignInKit::runModalForWindow(ui::Window *window) {
    if (++mRuns > 1 && mBeforeRetry)
        mBeforeRetry();
    return TerminalApplication::runModalForWindow(window);
}
