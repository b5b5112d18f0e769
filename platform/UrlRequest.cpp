#include "UrlRequest.h"

#include <QNetworkReply>

#include <algorithm>

namespace platform {

namespace {
bool sameName(const QByteArray &a, const QByteArray &b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QByteArray valueIn(const HeaderFields &fields, const QByteArray &field) {
    for (const HeaderField &f : fields) {
        if (sameName(f.first, field))
            return f.second;
    }
    return QByteArray();
}
} // namespace

QByteArray UrlRequest::value(const QByteArray &field) const {
    return valueIn(headerFields, field);
}

void UrlRequest::setValue(const QByteArray &field, const QByteArray &value) {
    bool placed = false;
    for (auto it = headerFields.begin(); it != headerFields.end();) {
        if (!sameName(it->first, field)) {
            ++it;
        } else if (!placed) {
            it->second = value;
            placed = true;
            ++it;
        } else {
            it = headerFields.erase(it);
        }
    }
    if (!placed)
        headerFields.append({field, value});
}

void UrlRequest::removeField(const QByteArray &field) {
    headerFields.removeIf([&](const HeaderField &f) { return sameName(f.first, field); });
}

void UrlRequest::setHeaderFields(const HeaderFields &fields) {
    for (const HeaderField &f : fields)
        setValue(f.first, f.second);
}

QNetworkRequest UrlRequest::toNetworkRequest() const {
    QNetworkRequest request(url);
    for (const HeaderField &f : headerFields)
        request.setRawHeader(f.first, f.second);
    // Without these Qt would put the cookies of a jar of its own in place of our Cookie field,
    // answer from a cache, or follow redirects behind our back.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    return request;
}

QByteArray UrlResponse::value(const QByteArray &field) const {
    return valueIn(headerFields, field);
}

Error networkError(int code, const QString &description) {
    return Error{QString::fromLatin1(kNetworkErrorDomain), code, description};
}

namespace {
int portOf(const QUrl &url) {
    return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443
                                                                                           : 80);
}
bool sameOrigin(const QUrl &a, const QUrl &b) {
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && portOf(a) == portOf(b);
}
} // namespace

Error redirectedElsewhere(const QUrl &target) {
    QString place = target.host() + QLatin1Char(':') + QString::number(portOf(target));
    if (target.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0)
        place = target.scheme() + QLatin1String("://") + place;
    return networkError(QNetworkReply::InsecureRedirectError,
                        QStringLiteral("redirected to another host: ") + place);
}

Error answerTooLarge() {
    return networkError(QNetworkReply::ProtocolFailure,
                        QStringLiteral("the site's answer is larger than %1 MiB")
                            .arg(kMaxAnswerBytes / (1024 * 1024)));
}

Error tooManyRedirects() {
    return networkError(QNetworkReply::TooManyRedirectsError,
                        QStringLiteral("Too many redirects."));
}

Error timedOut() {
    return networkError(QNetworkReply::TimeoutError, QStringLiteral("The request timed out."));
}

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

UrlRequest redirectedRequest(const UrlRequest &request, int status, const QUrl &target) {
    UrlRequest next = request;
    next.url = target;
    const bool toGet = (status == 303 && next.method != "HEAD") ||
                       ((status == 301 || status == 302) && next.method == "POST");
    if (toGet) {
        // As a browser does: the body and the fields that describe it stay behind.
        next.method = "GET";
        next.body.clear();
        for (const char *field : {"Content-Type", "Content-Length", "Content-Encoding",
                                  "Content-Language", "Content-Location"})
            next.removeField(field);
    }
    return next;
}

bool mayRedirectTo(const QList<QUrl> &origins, const QUrl &target) {
    return std::any_of(origins.begin(), origins.end(),
                       [&](const QUrl &origin) { return sameOrigin(origin, target); });
}

UrlResponse responseOf(QNetworkReply *reply) {
    UrlResponse response;
    response.url = reply->url();
    response.statusCode = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    for (const QNetworkReply::RawHeaderPair &pair : reply->rawHeaderPairs())
        response.headerFields.append({pair.first, pair.second});
    return response;
}

MaybeError transportErrorOf(QNetworkReply *reply) {
    const QNetworkReply::NetworkError code = reply->error();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Codes below 200 are the connection's and the proxy's own failures; a status with a code
    // above that is Qt's view of a 4xx or 5xx answer.
    const bool transport = code != QNetworkReply::NoError && (status == 0 || code < 200);
    if (!transport && status != 0)
        return std::nullopt;
    if (!transport)
        return networkError(QNetworkReply::ProtocolFailure, QStringLiteral("No HTTP answer."));
    return networkError(code, reply->errorString());
}

} // namespace platform
