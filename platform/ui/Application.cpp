#include "Application.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <atomic>

namespace ui {

namespace {
std::atomic<Application *> gApplication{nullptr};
}

Application::~Application() = default;

void Application::performOnMainThread(const std::function<void()> &work) {
    QCoreApplication *core = QCoreApplication::instance();
    if (core == nullptr || QThread::currentThread() == core->thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(core, work, Qt::BlockingQueuedConnection);
}

Application *app() {
    return gApplication.load();
}

void setApp(Application *application) {
    gApplication.store(application);
}

} // namespace ui
