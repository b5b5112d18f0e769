#pragma once

#include "Error.h"
#include "ExportPluginProtocol.h"

#include <QObject>
#include <QString>
#include <QtPlugin>

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

// Why a run failed: which photo (its position in the user's selection, counted from 1) and the
// reason.
struct ExportFailure {
    int photo = 0;
    platform::Error error;

    friend bool operator==(const ExportFailure &, const ExportFailure &) = default;
};

// The last run's outcome.
struct ExportRunOutcome {
    int uploaded = 0;                     // photos that went up
    std::optional<ExportFailure> failure; // nothing when the run ended well or was cancelled
};

// Threads: signedInAs() and lastStart() on the host's main thread; lastRun() from any thread,
// meaningful once the run has ended (the progress record says so).
class ExportPluginOutcomes {
public:
    virtual ~ExportPluginOutcomes() = default;

    // The e-mail address the user signed in with; a null string while nobody is signed in (as
    // the user sees it: a sign-out the site did not answer still signs the user out here).
    virtual QString signedInAs() = 0;
    virtual ExportStart lastStart() = 0;
    virtual ExportRunOutcome lastRun() = 0;
};

#define ExportPluginOutcomes_iid "example.nubelo.ExportPluginOutcomes/1.0"
Q_DECLARE_INTERFACE(ExportPluginOutcomes, ExportPluginOutcomes_iid)

// The plug-in's outcomes, or null when it does not tell them (or tells another version).
inline ExportPluginOutcomes *exportPluginOutcomes(ExportPluginProtocol *plugin) {
    return qobject_cast<ExportPluginOutcomes *>(dynamic_cast<QObject *>(plugin));
}
