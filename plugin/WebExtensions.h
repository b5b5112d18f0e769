#pragma once

// String and data helpers for web work: percent escapes, Base64, MD5/SHA-1 digests and HTML
// entities. Stateless free functions; the receiver is the first argument. Depends on QtCore and
// OpenSSL libcrypto only.

#include <QByteArray>
#include <QString>

#include <optional>

// Every function here is a pure transform: it keeps no state between calls, takes no lock and
// leaves its argument alone, so any of them may run on any thread at the same time. "No result"
// (std::nullopt) is how a conversion reports failure; nothing throws. Each runs in time linear in
// its input and sizes its output once up front.
//
// Strings are QString, that is UTF-16 code units. A string whose units are not well-formed UTF-16
// (a high surrogate without its low half, or a low surrogate on its own) has no UTF-8 form; each
// function below says what it does with one, and none of them crashes on it.
namespace WebExtensions {

// --- Percent escapes --------------------------------------------------------------------------

// Escapes s for a URL or a form body value. Kept as they are: ASCII letters and digits, the marks
// - _ . ! ~ * ' ( ) and the reserved characters ; / ? : @ = + $ , (so an e-mail address passes
// unchanged). Everything else, "&" included, is written as its UTF-8 bytes, each as "%XX" with
// upper-case hex digits: " " -> %20, "&" -> %26, "%" -> %25, "é" -> %C3%A9.
// A surrogate pair is one character and gives the four escapes of its UTF-8 form (U+1F600 ->
// %F0%9F%98%80). A string holding an unpaired surrogate has no UTF-8 form and gives no result:
// guessing a replacement would put a different value on the wire than the one the user typed.
std::optional<QString> stringByAddingPercentEscapes(const QString &s);

// Decodes every "%XX" (hex digits in either case); each run of consecutive escapes is read as
// UTF-8. Other units are copied as they are ("+" stays "+"; an unpaired surrogate outside any
// escape passes through unchanged, since nothing has to be decoded from it). No result when a "%"
// is not followed by two hex digits, or when a run of escaped bytes is not valid UTF-8 (a lone
// %FF, an overlong form, an encoded surrogate, a sequence cut short at the end of the run).
std::optional<QString> stringByReplacingPercentEscapes(const QString &s);

// The URL escaping used for the texts of a mailto URL (subject and body). Unlike
// stringByAddingPercentEscapes it keeps "&" and more punctuation, and it always answers:
// kept are ASCII letters, digits and ! $ & ' ( ) * + , - . / : ; = ? @ _ ~ ; everything else is
// written as its UTF-8 bytes, each as "%XX" with upper-case hex digits ("[Velkaron] Sugerencias"
// -> "%5BVelkaron%5D%20Sugerencias", a line feed -> %0A). An unpaired surrogate is escaped as
// U+FFFD (%EF%BF%BD), as a mail text is only shown to a person, never compared.
QString stringByAddingPercentEscapesUsingEncoding(const QString &s);

// --- Digests ----------------------------------------------------------------------------------
// Digests of the UTF-8 form of s, through OpenSSL. A raw digest is a string of one character per
// digest byte, its code equal to the byte's value (so 0x00 and 0x80..0xFF appear as U+0000 and
// U+0080..U+00FF); the hexadecimal form is the same bytes in lowercase hex, two digits each.
// A string with an unpaired surrogate has no UTF-8 form and gives the empty string from all four,
// which no real digest is: substituting U+FFFD would give two different strings the same digest.
// The same empty answer comes when the crypto library refuses the algorithm (a FIPS-only setup).

// MD5 of the UTF-8 bytes before the first zero byte: a U+0000 ends what is digested.
// 16 characters.
QString stringUsingMD5RawHash(const QString &s);
// 32 lowercase hex digits.
QString stringUsingMD5HexadecimalHash(const QString &s);
// SHA-1 of all UTF-8 bytes, zero bytes included. 20 characters.
QString stringUsingSHA1RawHash(const QString &s);
// 40 lowercase hex digits.
QString stringUsingSHA1HexadecimalHash(const QString &s);

// --- HTML entities ----------------------------------------------------------------------------

// Per UTF-16 unit: & < > " become &amp; &lt; &gt; &quot;; printable ASCII (0x20..0x7E, the
// apostrophe too) stays; every other unit, controls and DEL and everything above 0x7E, becomes
// "&#x" + its value in lowercase hex without leading zeros + ";" (tab -> &#x9;, é -> &#xe9;).
// A surrogate pair gives two references, one per half; an unpaired surrogate gives its one.
QString stringByEscapingHTMLEntities(const QString &s);
// Four literal, case-sensitive passes over the whole text, in this order: &amp; -> &,
// &lt; -> <, &gt; -> >, &quot; -> ". Later passes see what earlier ones produced, so "&amp;lt;"
// becomes "<". Nothing else is recognised: numeric references (including the ones escaping
// writes) and all other entities stay, so this is not the inverse of stringByEscapingHTMLEntities.
QString stringByUnescapingHTMLEntities(const QString &s);

// --- Base64 -----------------------------------------------------------------------------------

QString stringUsingBase64Encoding(const QString &s);
QString stringUsingBase64EncodingWithLineLength(const QString &s, qint32 lineLength);
QByteArray dataUsingBase64Decoding(const QString &s);
std::optional<QString> stringUsingBase64Decoding(const QString &s);
QString stringUsingBase64Encoding(const QByteArray &data);
QString stringUsingBase64EncodingWithLineLength(const QByteArray &data, qint32 lineLength);
std::optional<QString> stringUsingEncoding(const QByteArray &data, quint32 encoding);

} // namespace WebExtensions
