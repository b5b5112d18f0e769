#pragma once

#include "PluginProgress.h"
#include "ui/View.h"

#include <QString>

#include <optional>

// Everything the host calls on an export plug-in, in the order of the host's protocol.
//
// Threads: every call comes from the host's main thread, except performExport(), which the host
// runs on a thread of its own, and progress()/lockProgress()/unlockProgress()/cancelExport(),
// which it may call from anywhere while a run goes on. A cancelExport() that comes while
// startExport() is still asking the user (the host's window was closed meanwhile) belongs to the
// run that startExport() may then begin: that run ends before its first photo.
class ExportPluginProtocol {
public:
    virtual ~ExportPluginProtocol() = default;

    virtual ui::View *settingsView() = 0;
    virtual ui::View *firstView() = 0;
    virtual void viewWillBeActivated() = 0;
    virtual void viewWillBeDeactivated() = 0;
    virtual QString requiredFileType() = 0;
    virtual bool wantsDestinationPrompt() = 0;
    virtual QString getDestinationPath() = 0;
    virtual std::optional<QString> defaultFileName() = 0;
    virtual QString defaultDirectory() = 0;
    virtual bool treatSingleSelectionDifferently() = 0;
    virtual bool handlesMovieFiles() = 0;
    virtual bool validateUserCreatedPath(const QString &path) = 0;
    virtual void clickExport() = 0;
    virtual void startExport(const QString &path) = 0;
    virtual void performExport(const QString &path) = 0;
    // The record lives as long as the plug-in; read it only under the progress lock.
    virtual PluginProgress *progress() = 0;
    virtual void lockProgress() = 0;
    virtual void unlockProgress() = 0;
    virtual void cancelExport() = 0;
    virtual QString name() = 0;
};
