// What the login's redirect handling does with the redirect's header fields: the cookies that
// the Set-Cookie fields set, the jar reduced to its session cookie, the log lines, and the Cookie
// field put on the redirected request.
//
// Input: header lines "Name: value" separated by "\n"; a value may itself hold "\r" or other
// bytes, as a server may send anything.

#include "FuzzInput.h"
#include "NubeloConnections.h"

#include "Cookies.h"
#include "UrlRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    platform::HeaderFields fields;
    for (const QByteArray &line : input.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            fields.append({line, QByteArray()});
        else
            fields.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    (void)platform::describeHeaderFields(fields);

    const QList<QNetworkCookie> parsed = platform::cookiesWithResponseHeaderFields(fields);
    QList<QNetworkCookie> jar = parsed;
    NubeloConnections::reduceJar(jar);

    // The first "sid", else the last cookie; nothing only when nothing was set.
    fuzz::check(jar.size() == std::min<qsizetype>(parsed.size(), 1), "reduced jar size");
    if (!parsed.isEmpty()) {
        const QNetworkCookie *expected = &parsed.last();
        for (const QNetworkCookie &cookie : parsed) {
            if (cookie.name() == "sid") {
                expected = &cookie;
                break;
            }
        }
        fuzz::check(jar.first().name() == expected->name() &&
                        jar.first().value() == expected->value(),
                    "reduced jar keeps the wrong cookie");
    }
    (void)platform::describeCookies(jar);

    // The redirected request carries the jar's Cookie field in place of the one it had, and
    // keeps its other fields.
    platform::UrlRequest request;
    request.method = "POST";
    request.headerFields = {{"Content-Type", "application/x-www-form-urlencoded"},
                            {"Cookie", "stale=1"},
                            {"Accept", "*/*"}};
    platform::setCookieFields(request, jar);
    int cookieFields = 0;
    for (const platform::HeaderField &f : request.headerFields)
        cookieFields += f.first.compare("Cookie", Qt::CaseInsensitive) == 0 ? 1 : 0;
    fuzz::check(cookieFields == (jar.isEmpty() ? 0 : 1), "Cookie fields on the request");
    fuzz::check(request.value("Content-Type") == "application/x-www-form-urlencoded" &&
                    request.value("Accept") == "*/*",
                "the request lost a field");
    if (!jar.isEmpty())
        fuzz::check(request.value("Cookie") ==
                        jar.first().toRawForm(QNetworkCookie::NameAndValueOnly),
                    "the Cookie field is not the jar's");
    return 0;
}
