#pragma once

#include "Error.h"

#include <memory>

class QNetworkAccessManager;

namespace platform {

// The platform's own network thread, with one network manager, on which synchronous requests
// run. It starts on first use. shutdown() stops it for good: a request made afterwards fails at
// once. Hosts call it at teardown, after the last request (the controller's logout) and before
// the application object goes; the application's destruction calls it too, as a last resort.
void shutdown();
// True until shutdown() has been called.
bool networkAvailable();

namespace detail {

// Work for the network thread. run() is called on that thread (at most once); stop() is called
// on the thread calling shutdown() for every job not yet retired, whether run() came or not.
class NetworkJob {
public:
    virtual ~NetworkJob();
    virtual void run(QNetworkAccessManager &manager) = 0;
    virtual void stop(const Error &why) = 0;
};

// Hands the job to the network thread, starting it if needed. False when it cannot run there:
// after shutdown(), or when called on the network thread itself (the caller would wait for
// itself).
bool submit(const std::shared_ptr<NetworkJob> &job);
// The job has ended; the thread lets go of it.
void retire(const NetworkJob *job);

} // namespace detail
} // namespace platform
