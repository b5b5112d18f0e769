#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// Keeps the plug-in's log (the nubelo.* categories) in memory instead of on the terminal: it is
// for diagnosis, and some of it (the session cookie) has no business on a screen. A failed
// export prints the reason found there. QT_LOGGING_RULES in the environment shows everything
// as usual. Messages of Qt's own categories at warning level and above still go to standard
// error.
namespace DiagnosticLog {

// Installs the message handler (once).
void install();
// A mark to look back from.
quint64 mark();
// The last warning (or worse) of the nubelo.* categories logged after `mark`.
std::optional<QString> lastWarningSince(quint64 mark);
// Every such warning logged after `mark` (of those still kept), oldest first.
QStringList warningsSince(quint64 mark);

} // namespace DiagnosticLog
