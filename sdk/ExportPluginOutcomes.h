#pragma once

#include "Error.h"
#include "ExportPluginProtocol.h"

#include <QObject>
#include <QString>
#include <QtPlugin>

#include <chrono>
#include <optional>

// What a host may learn of an export plug-in's outcomes as values, beside ExportPluginProtocol
// (which stays as the photo application defines it). A plug-in may implement it; a host asks
// for it with exportPluginOutcomes() and does without it when the answer is null. A host never
// reads these from the plug-in's log or its controls: a reworded line or a renamed outlet would
// change what the host concludes.
//
// Versioned by its IID: a change of meaning takes a new interface with a new IID, so a host
// never misreads an older or newer plug-in.

// How the last startExport() ended.
enum class ExportStart {
    NotAsked,  // startExport() has not been called
    Begun,     // the host's export manager was told to start the run
    FilesKept, // files of an earlier run were in the way and the user did not choose Replace
    Refused,   // a run was already under way, or the plug-in has no export manager
};

// How the last sign-in ended, as the user met it in the sign-in sheet.
enum class SignIn {
    NotAsked,   // no sign-in has been tried
    SignedIn,   // the site signed the user in
    Refused,    // the site answered, and did not sign the user in (a wrong password)
    Cancelled,  // the user closed the sheet before any attempt in it
    SiteFailed, // the site failed, or did not answer within the sign-in's wait: see the error
};

struct SignInOutcome {
    SignIn end = SignIn::NotAsked;
    // With SiteFailed: why, in words for the user ("the site did not answer within 10 s",
    // "Connection refused").
    std::optional<platform::Error> error;
};

// An exchange with the site under way, as a host may show it while the user waits.
struct SiteExchange {
    QString host; // the host it talks to, as configured ("upload.nubelo.example")
    // When a byte last moved either way (the exchange's start until one has).
    std::chrono::steady_clock::time_point silentSince;
    // How long a silence the exchange bears before it fails (a sign-in: its whole wait).
    std::chrono::milliseconds limit{0};
};

// Why a run failed: which photo (its position in the user's selection, counted from 1) and the
// reason.
struct ExportFailure {
    int photo = 0;
    platform::Error error;

    friend bool operator==(const ExportFailure &, const ExportFailure &) = default;
};

// The last run's outcome.
struct ExportRunOutcome {
    // Photos that went up. It counts up during the run, by one as each photo goes up, and
    // lastRun() copies it whole under the plug-in's lock, so a host may poll it from any thread
    // to learn which photos are on the site: the first `uploaded` of the selection (a run goes
    // in order and stops at its first failed photo).
    int uploaded = 0;
    std::optional<ExportFailure> failure; // nothing when no photo failed (a cancel is none)
};

// Threads: signedInAs(), lastStart() and lastSignIn() on the host's main thread; lastRun() and
// exchangeUnderWay() from any thread. lastRun() is final once the run has ended (the progress
// record says so).
class ExportPluginOutcomes {
public:
    virtual ~ExportPluginOutcomes() = default;

    // The e-mail address the user signed in with; a null string while nobody is signed in (as
    // the user sees it: a sign-out the site did not answer still signs the user out here).
    virtual QString signedInAs() = 0;
    virtual ExportStart lastStart() = 0;
    virtual ExportRunOutcome lastRun() = 0;
    // How the last sign-in ended. When the user gave up after a failed attempt, that attempt's
    // outcome stands (Refused or SiteFailed): it is why nobody is signed in.
    virtual SignInOutcome lastSignIn() = 0;
    // The plug-in's exchange with the site under way now (a sign-in, an upload, a queue check,
    // a sign-out), or nothing between exchanges.
    virtual std::optional<SiteExchange> exchangeUnderWay() = 0;
};

#define ExportPluginOutcomes_iid "example.nubelo.ExportPluginOutcomes/2.0"
Q_DECLARE_INTERFACE(ExportPluginOutcomes, ExportPluginOutcomes_iid)

// The plug-in's outcomes, or null when it does not tell them (or tells another version).
inline ExportPluginOutcomes *exportPluginOutcomes(ExportPluginProtocol *plugin) {
    return qobject_cast<ExportPluginOutcomes *>(dynamic_cast<QObject *>(plugin));
}
