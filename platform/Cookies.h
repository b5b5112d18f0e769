#pragma once

#include "UrlRequest.h"

#include <QList>
#include <QNetworkCookie>

namespace platform {

// The cookies that the Set-Cookie fields among `fields` set, in the order they came. No origin
// is applied: only names and values count here, so a cookie without a domain stays without one.
QList<QNetworkCookie> cookiesWithResponseHeaderFields(const HeaderFields &fields);

// The request fields that carry `cookies`: one "Cookie" field "name=value; name=value", or none
// for an empty list. Nothing is matched against a host, a path or an expiry.
HeaderFields requestHeaderFieldsWithCookies(const QList<QNetworkCookie> &cookies);

// Puts the fields made of `cookies` into `request` in place of any Cookie field it held, keeping
// its other fields.
void setCookieFields(UrlRequest &request, const QList<QNetworkCookie> &cookies);

// Texts for the log, where a cookie's value never goes: "sid=<redacted>".
QString describeCookies(const QList<QNetworkCookie> &cookies);
// Header fields for the log, with the values of Set-Cookie and Cookie fields redacted.
QString describeHeaderFields(const HeaderFields &fields);

} // namespace platform
