#pragma once

#include <QString>
#include <QtGlobal>

// The plug-in says why something failed only in its log (its nubelo.* categories). While one of
// these lives, the last warning logged there is kept, from any thread; every message still goes
// on to the handler that was installed before. One at a time: they do not nest.
class PluginWarnings {
public:
    PluginWarnings();
    ~PluginWarnings();
    PluginWarnings(const PluginWarnings &) = delete;
    PluginWarnings &operator=(const PluginWarnings &) = delete;

    // Empty when there was none.
    QString last() const;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);
};
