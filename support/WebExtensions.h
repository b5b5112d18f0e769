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

// The URL escaping used for the texts of a mailto URL (subject and body). Kept are ASCII
// letters, digits and ! $ & ' ( ) * + , - . / : ; = ? @ _ ~ ; everything else is written as its
// UTF-8 bytes, each as "%XX" with upper-case hex digits: "[Velkaron] Sugerencias" gives
// "%5BVelkaron%5D%20Sugerencias", a line feed %0A. Unlike stringByAddingPercentEscapes it leaves
// "&" as it is, and it always answers: an unpaired surrogate is escaped as U+FFFD (%EF%BF%BD),
// since a mail text is only shown to a person, never compared.
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
// Standard alphabet (A-Z a-z 0-9 + /), "=" padding, every group of three input bytes (the last
// one filled with zero bytes) written as four characters.
//
// Line breaks: the count of characters on the current line is compared with lineLength after
// each whole group; once it is reached or passed a "\n" follows and the count restarts. So 76
// gives lines of 76, 10 gives lines of 12, 1 to 4 a break after every group, and a break also
// follows a last group that fills its line. lineLength <= 0 gives one line. The count is a 16-bit
// integer stepping by 4, so any lineLength above 32764 never breaks either.

// The low eight bits of each UTF-16 unit, one byte per unit, not the UTF-8 form: "é" (U+00E9)
// is the byte E9, "€" (U+20AC) the byte AC, a surrogate pair two bytes. No line breaks.
QString stringUsingBase64Encoding(const QString &s);
QString stringUsingBase64EncodingWithLineLength(const QString &s, qint32 lineLength);
// The data's bytes as they are. No line breaks.
QString stringUsingBase64Encoding(const QByteArray &data);
QString stringUsingBase64EncodingWithLineLength(const QByteArray &data, qint32 lineLength);

// Reads the low eight bits of each unit (so U+0141 counts as "A"). Every non-alphabet character
// (line feeds, spaces, carriage returns, the URL-safe "-" and "_") is skipped; the first "="
// ends decoding and nothing after it is read. A group ended by "=" gives one byte after one or
// two values, two bytes after three; a lone value before "=" supplies only the upper six bits of
// its byte, whose low two bits are then zero ("Q=" gives 0x40). An unfinished group at the end
// without "=" gives nothing. Never fails.
QByteArray dataUsingBase64Decoding(const QString &s);
// dataUsingBase64Decoding read as UTF-8 (stringUsingEncoding with 4); no result when the bytes
// are not valid UTF-8.
std::optional<QString> stringUsingBase64Decoding(const QString &s);

// --- Text from bytes --------------------------------------------------------------------------

// A string from data in one of the platform's encoding numbers; no result for an unknown number
// or bytes that are not valid in the encoding. Empty data gives the empty string.
//   1  ASCII: one character per byte with the byte's code, bytes 0x80..0xFF included (raw digest
//      bytes come back this way), so it never fails.
//   4  UTF-8, strict: no result for overlong forms, encoded surrogates, values above U+10FFFF or
//      a sequence cut short. A leading byte-order mark is kept as U+FEFF, so the text is exactly
//      what the bytes say.
//   5  ISO Latin-1: one character per byte.
//   10 UTF-16: a leading FE FF (big-endian) or FF FE (little-endian) mark sets the byte order
//      and is dropped; without one the bytes are read big-endian, the order UTF-16 assumes when
//      unmarked. No result for an odd byte count or an unpaired surrogate.
//   0x90000100 / 0x94000100  UTF-16 big-endian / little-endian, no mark read.
std::optional<QString> stringUsingEncoding(const QByteArray &data, quint32 encoding);

} // namespace WebExtensions
