#pragma once

// Keeps what the plug-in logs under its own categories ("nubelo.*"), from any thread, for a test
// to read back; everything else goes on to the handler that was there before.

#include <QByteArray>
#include <QMutex>
#include <QStringList>
#include <QtGlobal>

#include <utility>

namespace logrecorder {

namespace detail {
inline QMutex lock;
inline QStringList lines;
inline QtMessageHandler previous = nullptr;
inline bool echoOwn = true;

inline void record(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (context.category != nullptr && QByteArray(context.category).startsWith("nubelo.")) {
        {
            QMutexLocker locker(&lock);
            lines.append(message);
        }
        if (!echoOwn)
            return;
    }
    previous(type, context, message);
}
} // namespace detail

// echoOwn: whether the plug-in's own lines also reach the previous handler (the test's output).
inline void install(bool echoOwn) {
    detail::echoOwn = echoOwn;
    detail::previous = qInstallMessageHandler(detail::record);
}

inline void uninstall() {
    qInstallMessageHandler(detail::previous);
}

// What was kept since the last take.
inline QStringList take() {
    QMutexLocker locker(&detail::lock);
    return std::exchange(detail::lines, {});
}

} // namespace logrecorder
