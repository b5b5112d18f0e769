#pragma once

#include "UrlRequest.h"

#include <functional>
#include <optional>

namespace platform {

struct SyncResult {
    std::optional<QByteArray> data;      // the body of an answer of any status; none on failure
    std::optional<UrlResponse> response; // the final answer, when one came
    MaybeError error;                    // a transport failure or the time limit
};

// Sends `request` on the platform's network thread and blocks the calling thread, which runs no
// event loop meanwhile, until the answer has come or no byte has moved for request.timeout.
// Redirects are followed as a browser follows them, at most 20, and only to the places the
// request allows (UrlRequest::redirectOrigins); no cache and no cookie jar take part. The body
// is at most kMaxAnswerBytes, or the exchange fails. A POST is sent once, never again by the
// stack on its own. Fails at once when the network thread is not running (after shutdown()).
SyncResult sendSynchronousRequest(const UrlRequest &request);
// The same, and `moved` is called on the network thread each time a byte moves either way, so
// the caller can show how long the exchange has been silent. It is never called once this
// function has returned.
SyncResult sendSynchronousRequest(const UrlRequest &request, std::function<void()> moved);

} // namespace platform
