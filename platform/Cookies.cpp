#include "Cookies.h"

#include <QStringList>

namespace platform {

namespace {
const QByteArray kRedacted = "<redacted>";

bool isField(const QByteArray &name, const char *field) {
    return name.compare(field, Qt::CaseInsensitive) == 0;
}

// "name=value; attributes" becomes "name=<redacted>; attributes": the attributes (path, domain,
// flags) are what helps when reading a log, the value is a credential.
QByteArray redactSetCookieLine(const QByteArray &line) {
    const qsizetype semicolon = line.indexOf(';');
    const QByteArray pair = semicolon < 0 ? line : line.left(semicolon);
    const QByteArray rest = semicolon < 0 ? QByteArray() : line.mid(semicolon);
    const qsizetype equals = pair.indexOf('=');
    if (equals < 0)
        return kRedacted + rest;
    return pair.left(equals + 1) + kRedacted + rest;
}

QByteArray redactCookieField(const QByteArray &value) {
    QList<QByteArray> pairs = value.split(';');
    for (QByteArray &pair : pairs) {
        const qsizetype equals = pair.indexOf('=');
        pair = equals < 0 ? kRedacted : pair.left(equals + 1) + kRedacted;
    }
    return pairs.join(';');
}
} // namespace

QList<QNetworkCookie> cookiesWithResponseHeaderFields(const HeaderFields &fields) {
    QList<QNetworkCookie> cookies;
    for (const HeaderField &f : fields) {
        if (isField(f.first, "Set-Cookie"))
            cookies += QNetworkCookie::parseCookies(f.second);
    }
    return cookies;
}

HeaderFields requestHeaderFieldsWithCookies(const QList<QNetworkCookie> &cookies) {
    if (cookies.isEmpty())
        return {};
    QList<QByteArray> pairs;
    pairs.reserve(cookies.size());
    for (const QNetworkCookie &cookie : cookies)
        pairs.append(cookie.toRawForm(QNetworkCookie::NameAndValueOnly));
    return {{QByteArrayLiteral("Cookie"), pairs.join("; ")}};
}

void setCookieFields(UrlRequest &request, const QList<QNetworkCookie> &cookies) {
    request.removeField("Cookie");
    request.setHeaderFields(requestHeaderFieldsWithCookies(cookies));
}

QString describeCookies(const QList<QNetworkCookie> &cookies) {
    QStringList names;
    for (const QNetworkCookie &cookie : cookies)
        names.append(QString::fromUtf8(cookie.name() + '=' + kRedacted));
    return QLatin1Char('[') + names.join(QLatin1String(", ")) + QLatin1Char(']');
}

QString describeHeaderFields(const HeaderFields &fields) {
    QStringList parts;
    for (const HeaderField &f : fields) {
        if (isField(f.first, "Set-Cookie")) {
            // One entry per cookie (Qt joins them with "\n"), so the log stays one line.
            for (const QByteArray &line : f.second.split('\n'))
                parts.append(QString::fromLatin1(f.first + ": " + redactSetCookieLine(line)));
            continue;
        }
        const QByteArray value =
            isField(f.first, "Cookie") ? redactCookieField(f.second) : f.second;
        parts.append(QString::fromLatin1(f.first + ": " + value));
    }
    return QLatin1Char('{') + parts.join(QLatin1String(", ")) + QLatin1Char('}');
}

} // namespace platform
