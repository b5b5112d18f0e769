#include "KeychainDeadline_p.h"

#include "Keychain.h"

#include <atomic>

namespace keychain {

Q_LOGGING_CATEGORY(lcKeychain, "nubelo.keychain", QtWarningMsg)

namespace {

constexpr qint64 kServiceLimitMs = 10000;
std::atomic<qint64> serviceLimitMs{kServiceLimitMs};
std::atomic<qint64> promptLimitMs{-1}; // below zero: chosen by promptLimit()

// A person needs time to answer an unlock prompt. Without a display of our own the prompt most
// likely shows where nobody sees it (or nowhere, while the service waits on a prompter that
// never draws), so we wait no longer than for the service itself.
qint64 promptLimit() {
    const qint64 set = promptLimitMs.load();
    if (set >= 0)
        return set;
    const bool display =
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    return display ? 60000 : serviceLimitMs.load();
}

// A service call cut off by its deadline is cancelled and then given this long to wind down; one
// that does not is left behind unfinished rather than keep the caller waiting.
constexpr guint kWindDownMs = 1000;

gboolean onAlarm(gpointer data) {
    *static_cast<bool *>(data) = true;
    return G_SOURCE_REMOVE;
}

} // namespace

DeadlineRunner::DeadlineRunner()
    : mContext(g_main_context_new()) {
    g_main_context_push_thread_default(mContext);
}

DeadlineRunner::~DeadlineRunner() {
    // What finished calls left queued (replies, signals) holds references; a call left behind
    // may still be running and must never be dispatched, so its context is never run again.
    if (!mAbandoned) {
        while (g_main_context_iteration(mContext, FALSE)) {
        }
    }
    g_main_context_pop_thread_default(mContext);
    g_main_context_unref(mContext);
}

void DeadlineRunner::onReady(GObject *, GAsyncResult *result, gpointer data) {
    static_cast<Pending *>(data)->result = G_ASYNC_RESULT(g_object_ref(result));
}

GSource *DeadlineRunner::arm(guint ms, bool *rang) {
    GSource *alarm = g_timeout_source_new(ms);
    g_source_set_callback(alarm, onAlarm, rang, nullptr);
    g_source_attach(alarm, mContext);
    return alarm;
}

void DeadlineRunner::disarm(GSource *alarm) {
    g_source_destroy(alarm);
    g_source_unref(alarm);
}

GRef<GAsyncResult> DeadlineRunner::await(Wait wait, Pending *pending, GCancellable *cancellable) {
    const qint64 limit = wait == Wait::Prompt ? promptLimit() : serviceLimitMs.load();
    bool rang = false;
    bool cancelled = false;
    GSource *alarm = arm(static_cast<guint>(qBound<qint64>(0, limit, G_MAXUINT)), &rang);
    while (!pending->result) {
        g_main_context_iteration(mContext, TRUE);
        if (!rang || pending->result)
            continue;
        disarm(alarm);
        if (cancelled || !cancellable) {
            // Leave the call behind with what it still refers to: the pending record and the
            // cancellable stay allocated, and the context is never run again.
            mAbandoned = true;
            return nullptr;
        }
        qCDebug(lcKeychain, "deadline of %lld ms passed, cancelling",
                static_cast<long long>(limit));
        cancelled = true;
        rang = false;
        g_cancellable_cancel(cancellable);
        alarm = arm(kWindDownMs, &rang);
    }
    disarm(alarm);
    if (cancellable)
        g_object_unref(cancellable);
    GRef<GAsyncResult> result(pending->result);
    delete pending;
    return result;
}

} // namespace keychain

namespace KeychainLimits {
void setForTesting(std::chrono::milliseconds service, std::chrono::milliseconds prompt) {
    keychain::serviceLimitMs = service.count() < 0 ? keychain::kServiceLimitMs : service.count();
    keychain::promptLimitMs = prompt.count() < 0 ? -1 : prompt.count();
}
} // namespace KeychainLimits
