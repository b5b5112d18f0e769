#pragma once

#include "Error.h"

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QUrl>

#include <chrono>
#include <utility>

class QNetworkReply;

namespace platform {

// A header field as it goes on the wire: name and value, in the order they were set.
using HeaderField = std::pair<QByteArray, QByteArray>;
using HeaderFields = QList<HeaderField>;

// The error domain of every failure of an HTTP exchange; the code is a QNetworkReply::NetworkError.
inline constexpr const char *kNetworkErrorDomain = "Network";

// The longest answer body any exchange reads; a longer answer fails the exchange at this point
// (answerTooLarge()), so a peer can never fill memory or a file with its answer.
inline constexpr qint64 kMaxAnswerBytes = 4 * 1024 * 1024;

// The most redirects one exchange follows; the next one fails it (tooManyRedirects()).
inline constexpr int kMaxRedirects = 20;

// An HTTP request as our exchanges build it. Kept apart from QNetworkRequest because a redirect
// changes the method and the body, which QNetworkRequest does not hold, and because the order of
// the header fields matters to the site.
struct UrlRequest {
    QUrl url;
    QByteArray method = "GET";
    HeaderFields headerFields;
    QByteArray body;
    // The longest silence an exchange bears: it fails once no byte has moved either way for
    // this long. A slow answer or upload that keeps moving goes on.
    std::chrono::milliseconds timeout{60000};
    // Besides the request's own place (scheme, host and port), the places a redirect may lead
    // to. A redirect to any other place is not followed, and the exchange fails with
    // redirectedElsewhere(): the request's fields (a session cookie, a login's body) would go
    // along.
    QList<QUrl> redirectOrigins;

    // The value of the first field of that name (compared without case), or a null array.
    QByteArray value(const QByteArray &field) const;
    // Replaces the value of the first field of that name in place and drops any later duplicate;
    // a new name goes to the end.
    void setValue(const QByteArray &field, const QByteArray &value);
    void removeField(const QByteArray &field);
    // Sets each given field as setValue() does and leaves the others as they were.
    void setHeaderFields(const HeaderFields &fields);

    // What Qt sends for it: our fields in order, no cache, no cookie jar of Qt's own, and
    // redirects left to the caller.
    QNetworkRequest toNetworkRequest() const;
};

// An HTTP answer of any status: status, header fields (Qt joins repeated Set-Cookie fields with
// "\n") and the URL that answered.
struct UrlResponse {
    QUrl url;
    int statusCode = 0;
    HeaderFields headerFields;

    QByteArray value(const QByteArray &field) const;
};

// A network error with the given code and text.
Error networkError(int code, const QString &description);
// "redirected to another host: HOST:PORT" (with the scheme too when that is what differs).
Error redirectedElsewhere(const QUrl &target);
// "the site's answer is larger than 4 MiB".
Error answerTooLarge();
// "Too many redirects."
Error tooManyRedirects();
// "The request timed out.": no byte moved either way for the request's timeout.
Error timedOut();

// Whether an answer of this status sends the client to its Location.
bool isRedirectStatus(int status);
// What a browser sends after `request` was answered `status` with a Location of `target`: the
// same request at the new place, except that a 303, or a 301 or 302 after a POST, turns it into
// a GET without the body and the fields that describe it.
UrlRequest redirectedRequest(const UrlRequest &request, int status, const QUrl &target);
// True when `target` has the scheme, host and port of one of `origins`.
bool mayRedirectTo(const QList<QUrl> &origins, const QUrl &target);

// The answer that a finished reply carries (its status is 0 when no HTTP answer came).
UrlResponse responseOf(QNetworkReply *reply);
// The transport failure of a finished reply, or nothing when it brought an HTTP answer of any
// status (Qt flags 4xx and 5xx answers as errors too; those are answers here).
MaybeError transportErrorOf(QNetworkReply *reply);

} // namespace platform
