#pragma once

// String and data helpers for web work: percent escapes, Base64, MD5/SHA-1 digests and HTML
// entities. Stateless free functions; the receiver is the first argument. Depends on QtCore and
// OpenSSL libcrypto only.

#include <QByteArray>
#include <QString>

#include <optional>

namespace WebExtensions {

std::optional<QString> stringByAddingPercentEscapes(const QString &s);
std::optional<QString> stringByReplacingPercentEscapes(const QString &s);

QString stringUsingMD5RawHash(const QString &s);
QString stringUsingMD5HexadecimalHash(const QString &s);
QString stringUsingSHA1RawHash(const QString &s);
QString stringUsingSHA1HexadecimalHash(const QString &s);
QString stringByEscapingHTMLEntities(const QString &s);
QString stringByUnescapingHTMLEntities(const QString &s);

QString stringUsingBase64Encoding(const QString &s);
QString stringUsingBase64EncodingWithLineLength(const QString &s, qint32 lineLength);
QByteArray dataUsingBase64Decoding(const QString &s);
std::optional<QString> stringUsingBase64Decoding(const QString &s);
QString stringUsingBase64Encoding(const QByteArray &data);
QString stringUsingBase64EncodingWithLineLength(const QByteArray &data, qint32 lineLength);
std::optional<QString> stringUsingEncoding(const QByteArray &data, quint32 encoding);

} // namespace WebExtensions
