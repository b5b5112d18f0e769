#pragma once

#include "Error.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <optional>

// The values of the process-wide session state.
enum SessionState : int {
    SessionNone = 0,
    SessionLoggingIn = 1,
    SessionLoggedIn = 3,
    SessionCreatingAlbum = 5,
};

// The plug-in's client of the Nubelo site: signs in and out through the site's web forms, keeps
// the session cookie, uploads photos. One per controller.
//
// Threads: the login runs on the main thread; uploads run on the host's export thread. The
// session state is one process-wide atomic shared by every client; the cookie jar has a mutex
// of its own.
class NubeloConnections : public QObject {
    Q_OBJECT
public:
    // Resets the process-wide session state to SessionNone.
    NubeloConnections();
    // Signs out first when the session state is not SessionNone.
    ~NubeloConnections() override;

    // Signs in through the site's login form and waits for the outcome (at most the login
    // wait); getState() then tells it: SessionLoggedIn means signed in.
    std::optional<platform::Error> authenticate(const QString &email, const QString &password);
    // Signs out when signed in; always drops the session cookie. The logout's error, if any.
    std::optional<platform::Error> closeSession();

    int getState() const;
    std::optional<platform::Error> getError() const;
    // A modal warning alert with one "OK" button, through the UI kit.
    void msgBox(const QString &message, const QString &informativeText);

private:
    // The session state of the whole process (not a field: every client shares it).
    static std::atomic<int> mState;

    std::optional<platform::Error> mError;
};
