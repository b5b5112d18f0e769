#pragma once

// The GLib side of the keyring store: libsecret's blocking calls run a prompt to its end and
// cannot be bounded from outside, so the store starts their asynchronous forms and waits here,
// on a private main context of the caller's thread, each against a deadline. Internal to the
// keychain library.

#include <QLoggingCategory>

#include <gio/gio.h>

#include <memory>

namespace keychain {

Q_DECLARE_LOGGING_CATEGORY(lcKeychain)

struct GObjectUnref {
    void operator()(gpointer p) const { g_object_unref(p); }
};
template <typename T> using GRef = std::unique_ptr<T, GObjectUnref>;

// What a step waits on: the keyring service alone, or possibly a person answering a prompt
// (the calls of the protocol that may return one). Each has its own limit (KeychainLimits).
enum class Wait { Service, Prompt };

// One per call of the store, on the caller's thread, which it must not leave: the context is the
// thread's default from construction to destruction, so the asynchronous calls started meanwhile
// report to it. Nothing outside this object sees the context.
class DeadlineRunner {
public:
    DeadlineRunner();
    // Runs what finished calls left queued, unless a call was left behind (see run).
    ~DeadlineRunner();
    DeadlineRunner(const DeadlineRunner &) = delete;
    DeadlineRunner &operator=(const DeadlineRunner &) = delete;

    // Starts one call with start(cancellable, callback, data) and runs the context until its
    // result comes. Null when it did not come in time: the call is then left behind, still
    // running, and the context is never run again (abandoned() answers true from then on).
    template <typename Start> GRef<GAsyncResult> run(Wait wait, Start &&start) {
        auto *pending = new Pending;
        // A step that may be showing a prompt gets no cancellable: cancelling would dismiss the
        // prompt, and gnome-keyring 42 aborts (perform_next_unlock assertion) when an unlock
        // prompt is dismissed before its prompter has answered, taking the user's keyring daemon
        // down. Such a prompt is left standing when we stop waiting; the user may still answer it.
        GCancellable *cancellable = wait == Wait::Service ? g_cancellable_new() : nullptr;
        start(cancellable, onReady, static_cast<gpointer>(pending));
        return await(wait, pending, cancellable);
    }

    bool abandoned() const { return mAbandoned; }

private:
    struct Pending {
        GAsyncResult *result = nullptr;
    };
    static void onReady(GObject *, GAsyncResult *result, gpointer data);
    GRef<GAsyncResult> await(Wait wait, Pending *pending, GCancellable *cancellable);
    GSource *arm(guint ms, bool *rang);
    static void disarm(GSource *alarm);

    GMainContext *mContext;
    bool mAbandoned = false;
};

} // namespace keychain
