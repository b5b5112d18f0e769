#include "Application.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

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
    // The caller waits on standard primitives rather than a blocking queued connection: the
    // sanitizers see this hand-over (Qt's internal wait is invisible to them), and a call that
    // the application drops unrun (it is quitting) still releases the caller, because the
    // ticket's end, run or dropped, is what wakes it.
    struct Handshake {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    struct Ticket {
        std::shared_ptr<Handshake> handshake;
        ~Ticket() {
            const std::lock_guard lock(handshake->mutex);
            handshake->done = true;
            handshake->ended.notify_all();
        }
    };
    // Qt's event queue hands the queued call over (and later frees it) under a lock of its own,
    // which ThreadSanitizer cannot see in a Qt not built with it. Queueing under this mutex, and
    // taking it once before the call reads what it captured, shows it the same order.
    static std::mutex handOver;
    auto handshake = std::make_shared<Handshake>();
    {
        auto ticket = std::make_shared<Ticket>();
        ticket->handshake = handshake;
        const std::lock_guard queueing(handOver);
        QMetaObject::invokeMethod(
            core,
            [ticket, &work] {
                { const std::lock_guard handedOver(handOver); }
                work();
            },
            Qt::QueuedConnection);
    }
    std::unique_lock lock(handshake->mutex);
    handshake->ended.wait(lock, [&handshake] { return handshake->done; });
}

Application *app() {
    return gApplication.load();
}

void setApp(Application *application) {
    gApplication.store(application);
}

} // namespace ui
