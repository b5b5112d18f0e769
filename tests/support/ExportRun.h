#pragma once

// The controller on the real interface files as a host holds it: a fake host that writes the
// photos and notes what it saw of the progress record, the scripted kit, and the export run on a
// thread of its own while the main thread serves events, as a host's does.

#include "NubeloExportController.h"
#include "RecordingExportMgr.h"
#include "ScriptedKit.h"

#include <QFile>
#include <QTest>
#include <QThread>

#include <atomic>
#include <functional>
#include <thread>

namespace scripted {

// A photo of its own for each index, with bytes a text conversion would spoil.
inline QByteArray photoBytes(int index) {
    return QByteArray("\x89PNG\r\n\x1a\n\0", 9) + QByteArray(300 + index, char(0xf0 + index));
}

// What the host was asked for, and the progress record as it read it then.
struct ExportCall {
    int index = 0;
    QString dest;
    PluginProgress record;
    ImageExportSettings settings;
};

// The hooks run on the export thread; onExport may have the host fail to write the photo, or
// claim to have written it without doing so.
class FakeHost : public RecordingExportMgr {
public:
    enum Write { Writes, Fails, ClaimsOnly };
    int imageCount() override {
        if (onCount)
            onCount();
        return count;
    }
    bool exportImageAtIndex(int index, const QString &dest,
                            const ImageExportSettings *options) override {
        plugin->lockProgress();
        const PluginProgress record = *plugin->progress();
        plugin->unlockProgress();
        calls.append({index, dest, record, *options});
        const Write write = onExport ? onExport(index) : Writes;
        if (write != Writes)
            return write == ClaimsOnly;
        QFile file(dest);
        return file.open(QIODevice::WriteOnly) &&
               file.write(photoBytes(index)) == photoBytes(index).size();
    }
    ExportPluginProtocol *plugin = nullptr;
    int count = 0;
    std::function<void()> onCount;
    std::function<Write(int)> onExport;
    QList<ExportCall> calls; // the test reads them once the run's thread has ended
};

// Notes whether each hand-over ran its work on the main thread; `duringHandOver` runs first.
class Kit : public ScriptedApplication {
public:
    void performOnMainThread(const std::function<void()> &work) override {
        ScriptedApplication::performOnMainThread([&] {
            handOvers.append(QThread::currentThread() == QCoreApplication::instance()->thread());
            if (duringHandOver)
                duringHandOver();
            work();
        });
    }
    QList<bool> handOvers; // written on the main thread only
    std::function<void()> duringHandOver;
};

struct Harness {
    explicit Harness(const PluginConfig &config = {})
        : controller(&host, config) {
        host.plugin = &controller;
        if (const platform::MaybeError error = controller.loadInterface())
            qFatal("%s", qPrintable(error->localizedDescription));
        kit.clearRecords();
    }

    // Through the toggle and the login sheet, as a person signs in.
    bool signIn(const QString &email, const QString &password) {
        kit.answerModalByClicking("Authenticate",
                                  {{"mLoginUsername", email}, {"mLoginPassword", password}});
        const bool clicked = kit.click("mAuthenticate");
        kit.clearRecords();
        return clicked && controller.connector()->getState() == SessionLoggedIn;
    }

    // `meanwhile` runs on the main thread once the run has begun. A run that never ends would
    // leave its thread behind, so it stops the test.
    void exportOnThread(const QString &path, const std::function<void()> &meanwhile = {}) {
        std::atomic<bool> done{false};
        std::thread thread([&] {
            controller.performExport(path);
            done.store(true);
        });
        if (meanwhile)
            meanwhile();
        if (!QTest::qWaitFor([&] { return done.load(); }, 30000))
            qFatal("the export run did not end");
        thread.join();
    }

    PluginProgress record() {
        controller.lockProgress();
        const PluginProgress copy = *controller.progress();
        controller.unlockProgress();
        return copy;
    }

    template <class T> T *control(const char *name) const {
        return kit.find<T>(QString::fromLatin1(name));
    }

    FakeHost host;
    Kit kit; // outlives the controller, whose views it made
    NubeloExportController controller;
};

} // namespace scripted
