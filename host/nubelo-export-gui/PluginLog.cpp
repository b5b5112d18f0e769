#include "PluginLog.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex gMutex;
QString gLast;
QtMessageHandler gPrevious = nullptr;
} // namespace

PluginWarnings::PluginWarnings() {
    QMutexLocker lock(&gMutex);
    gLast.clear();
    gPrevious = qInstallMessageHandler(&PluginWarnings::handle);
}

PluginWarnings::~PluginWarnings() {
    QMutexLocker lock(&gMutex);
    qInstallMessageHandler(gPrevious);
}

QString PluginWarnings::last() const {
    QMutexLocker lock(&gMutex);
    return gLast;
}

void PluginWarnings::handle(QtMsgType type, const QMessageLogContext &context,
                            const QString &text) {
    QtMessageHandler previous = nullptr;
    {
        QMutexLocker lock(&gMutex);
        const bool warning = type == QtWarningMsg || type == QtCriticalMsg;
        if (warning && context.category != nullptr && qstrncmp(context.category, "nubelo.", 7) == 0)
            gLast = text;
        previous = gPrevious;
    }
    if (previous != nullptr)
        previous(type, context, text);
}
