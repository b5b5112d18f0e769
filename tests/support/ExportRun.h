#pragma once

// The controller as a host drives it: signed in through its panel, the export run on a thread of
// its own, the progress record read under its lock.

#include "NubeloExportController.h"
#include "ScriptedKit.h"

#include <QTest>

#include <atomic>
#include <functional>
#include <thread>

namespace scripted {

// The controller's interface must be loaded; leaves the kit's records empty.
inline void signIn(ScriptedApplication &kit, NubeloExportController &controller,
                   const QString &email, const QString &password) {
    kit.answerModalByClicking("Authenticate",
                              {{"mLoginUsername", email}, {"mLoginPassword", password}});
    QVERIFY(kit.click("mAuthenticate"));
    QCOMPARE(controller.connector()->getState(), int(SessionLoggedIn));
    kit.clearRecords();
}

// The main thread serves its events meanwhile, as a host's does; `meanwhile` runs on it once the
// run has begun. A run that never ends would leave the thread behind, so it stops the test.
inline void exportOnThread(NubeloExportController &controller, const QString &path,
                           const std::function<void()> &meanwhile = {}) {
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

inline PluginProgress progressRecord(ExportPluginProtocol &plugin) {
    plugin.lockProgress();
    PluginProgress copy = *plugin.progress();
    plugin.unlockProgress();
    return copy;
}

} // namespace scripted
