#include "WebExtensions.h"
#include "WebExtensionsUnicode_p.h"

// MD5 and SHA-1 digests of a string's UTF-8 form, through OpenSSL.

#include <openssl/evp.h>

#include <memory>

namespace WebExtensions {

using namespace detail;

namespace {

// One character per digest byte, code = byte value. Empty (null) when there is no digest: the
// receiver has no UTF-8 form, or the library does not offer the algorithm (a FIPS-only setup
// refuses MD5). A real digest is never empty, so callers can tell the two apart.
QString rawDigest(const QString &s, const char *name, bool stopAtZeroByte) {
    // U+0000 is the only character whose UTF-8 form holds a zero byte. What follows it is not
    // digested, but it must have a UTF-8 form all the same.
    const qsizetype length = stopAtZeroByte ? QStringView(s).indexOf(QChar(u'\0')) : qsizetype(-1);
    const qsizetype digested = length < 0 ? s.size() : length;
    if (!forEachUtf8Chunk(units(s) + digested, s.size() - digested,
                          [](const unsigned char *, std::size_t) {}))
        return QString();

    // OpenSSL 1.1 and later load their digest table by themselves, so no registration call.
    const EVP_MD *md = EVP_get_digestbyname(name);
    if (!md)
        return QString();
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1)
        return QString();
    bool updated = true;
    const bool wellFormed =
        forEachUtf8Chunk(units(s), digested, [&](const unsigned char *bytes, std::size_t size) {
            updated = updated && EVP_DigestUpdate(context.get(), bytes, size) == 1;
        });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (!wellFormed || !updated || EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1)
        return QString();
    return QString::fromLatin1(reinterpret_cast<const char *>(digest), qsizetype(digestLength));
}

QString lowercaseHex(const QString &raw) {
    static constexpr char kLowerHex[] = "0123456789abcdef";
    QString out(2 * raw.size(), Qt::Uninitialized);
    QChar *w = out.data();
    for (const QChar c : raw) {
        const char16_t byte = c.unicode() & 0xFF; // raw digests hold only codes below 0x100
        *w++ = QChar(char16_t(kLowerHex[byte >> 4]));
        *w++ = QChar(char16_t(kLowerHex[byte & 0x0F]));
    }
    return out;
}

} // namespace

QString stringUsingMD5RawHash(const QString &s) {
    // Digests already handed out were made this way (MD5 up to the first NUL, SHA-1 over all
    // of it); either changed would no longer match them.
    return rawDigest(s, "md5", true);
}

QString stringUsingMD5HexadecimalHash(const QString &s) {
    return lowercaseHex(stringUsingMD5RawHash(s));
}

QString stringUsingSHA1RawHash(const QString &s) {
    return rawDigest(s, "sha1", false);
}

QString stringUsingSHA1HexadecimalHash(const QString &s) {
    return lowercaseHex(stringUsingSHA1RawHash(s));
}

} // namespace WebExtensions
