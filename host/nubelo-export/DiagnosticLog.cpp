#include "DiagnosticLog.h"

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>

#include <deque>

namespace DiagnosticLog {

namespace {

struct Entry {
    quint64 number = 0;
    QtMsgType type = QtDebugMsg;
    QString text;
};

constexpr std::size_t kKept = 64;

QMutex gMutex; // messages come from the export thread and the network thread too
std::deque<Entry> gEntries;
quint64 gNext = 1;
QtMessageHandler gPrevious = nullptr;
bool gShowAll = false;

bool isOurs(const QMessageLogContext &context) {
    return context.category != nullptr && qstrncmp(context.category, "nubelo.", 7) == 0;
}

void handle(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    const bool ours = isOurs(context);
    if (ours) {
        QMutexLocker locker(&gMutex);
        gEntries.push_back(Entry{gNext++, type, text});
        if (gEntries.size() > kKept)
            gEntries.pop_front();
    }
    const bool shown =
        gShowAll || (!ours && type != QtDebugMsg && type != QtInfoMsg) || type == QtFatalMsg;
    if (shown && gPrevious != nullptr)
        gPrevious(type, context, text);
}

} // namespace

void install() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    gShowAll = !qEnvironmentVariableIsEmpty("QT_LOGGING_RULES");
    gPrevious = qInstallMessageHandler(handle);
}

quint64 mark() {
    QMutexLocker locker(&gMutex);
    return gNext - 1;
}

std::optional<QString> lastWarningSince(quint64 mark) {
    QMutexLocker locker(&gMutex);
    for (auto entry = gEntries.rbegin(); entry != gEntries.rend(); ++entry) {
        if (entry->number <= mark)
            break;
        if (entry->type == QtWarningMsg || entry->type == QtCriticalMsg)
            return entry->text;
    }
    return std::nullopt;
}

QStringList warningsSince(quint64 mark) {
    QMutexLocker locker(&gMutex);
    QStringList found;
    for (const Entry &entry : gEntries) {
        if (entry.number > mark && (entry.type == QtWarningMsg || entry.type == QtCriticalMsg))
            found.append(entry.text);
    }
    return found;
}

} // namespace DiagnosticLog
