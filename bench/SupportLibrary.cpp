#include "Comparisons.h"

#include "Harness.h"
#include "Inputs.h"
#include "WebExtensions.h"

#include <openssl/evp.h>

#include <functional>

namespace bench {

namespace {

QByteArray evpDigest(const QByteArray &bytes, const EVP_MD *type) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.constData(), size_t(bytes.size()), digest, &length, type, nullptr) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

} // namespace

void supportLibrary(Harness &harness) {
    const Options &o = harness.options();
    const qsizetype length = o.quick ? qsizetype(64) << 10 : qsizetype(64) << 20;
    say(QStringLiteral("6. the support library on %1 Mi characters")
            .arg(double(length) / (1 << 20)));
    const QString text = makeText(length);
    const QByteArray bytes = text.toLatin1(); // every character is below U+0100
    const QByteArray utf8 = text.toUtf8();
    const QByteArray base64 = bytes.toBase64();
    const QString base64Text = QString::fromLatin1(base64);

    struct Pair {
        QString id, title, reference;
        double limit;
        std::function<bool()> ours, theirs;
    };
    const QList<Pair> pairs{
        {QStringLiteral("6a"), QStringLiteral("Base64 encode of data"),
         QStringLiteral("QByteArray::toBase64"), 1.2,
         [&] { return WebExtensions::stringUsingBase64Encoding(bytes).size() == base64.size(); },
         [&] {
             return bytes.toBase64().size() == base64.size();
         }},
        {QStringLiteral("6b"), QStringLiteral("Base64 encode of a string"),
         QStringLiteral("QByteArray::toBase64"), 1.2,
         [&] { return WebExtensions::stringUsingBase64Encoding(text).size() == base64.size(); },
         [&] {
             return bytes.toBase64().size() == base64.size();
         }},
        {QStringLiteral("6c"), QStringLiteral("Base64 decode"),
         QStringLiteral("QByteArray::fromBase64"), 1.0,
         [&] { return WebExtensions::dataUsingBase64Decoding(base64Text) == bytes; },
         [&] {
             return QByteArray::fromBase64(base64).size() == bytes.size();
         }},
        {QStringLiteral("6d"), QStringLiteral("MD5 of a string (hex)"),
         QStringLiteral("EVP_Digest on its UTF-8"), 1.5,
         [&] { return WebExtensions::stringUsingMD5HexadecimalHash(text).size() == 32; },
         [&] {
             return evpDigest(utf8, EVP_md5()).size() == 32;
         }},
        {QStringLiteral("6e"), QStringLiteral("SHA-1 of a string (hex)"),
         QStringLiteral("EVP_Digest on its UTF-8"), 1.5,
         [&] { return WebExtensions::stringUsingSHA1HexadecimalHash(text).size() == 40; },
         [&] {
             return evpDigest(utf8, EVP_sha1()).size() == 40;
         }},
    };
    // The answers must agree before their times mean anything.
    if (WebExtensions::stringUsingBase64Encoding(bytes) != base64Text ||
        WebExtensions::stringUsingSHA1HexadecimalHash(text) !=
            QString::fromLatin1(evpDigest(utf8, EVP_sha1())) ||
        WebExtensions::stringUsingMD5HexadecimalHash(text) !=
            QString::fromLatin1(evpDigest(utf8, EVP_md5()))) {
        for (const Pair &pair : pairs)
            harness.add(pair.id, pair.title, QStringLiteral("ms"));
        harness.skip({QStringLiteral("6a"), QStringLiteral("6b"), QStringLiteral("6c"),
                      QStringLiteral("6d"), QStringLiteral("6e")},
                     QStringLiteral("the answers differ from the reference"));
        return;
    }
    const auto timed = [](const std::function<bool()> &work, QString *why) {
        const double begin = now();
        const bool ok = work();
        const double seconds = now() - begin;
        if (!ok) {
            *why = QStringLiteral("wrong answer");
            return kFailed;
        }
        return seconds;
    };
    // What the digests cannot avoid: the string's UTF-8 form, here as Qt makes it, and the
    // digest of that.
    QList<double> conversion, md5Whole, sha1Whole;
    for (int i = 0; i < o.reps; ++i) {
        double begin = now();
        const qsizetype size = text.toUtf8().size();
        conversion.append((now() - begin) * 1000.0 + double(size != utf8.size()));
        begin = now();
        const QByteArray md5 = evpDigest(text.toUtf8(), EVP_md5());
        md5Whole.append((now() - begin) * 1000.0 + double(md5.isEmpty()));
        begin = now();
        const QByteArray sha1 = evpDigest(text.toUtf8(), EVP_sha1());
        sha1Whole.append((now() - begin) * 1000.0 + double(sha1.isEmpty()));
    }
    QList<Figure *> made; // one per pair, in their order
    for (const Pair &pair : pairs) {
        Figure &f = harness.add(pair.id, pair.title, QStringLiteral("ms"));
        made.append(&f);
        f.reference = pair.reference;
        f.aim = Figure::Aim::RatioAtMost;
        f.limit = pair.limit;
        // Once each before the clock runs: the first call loads what the library loads lazily.
        pair.ours();
        pair.theirs();
        QList<Side> sides{
            {QStringLiteral("ours"), [&](QString *why) { return timed(pair.ours, why); }, {}},
            {pair.reference, [&](QString *why) { return timed(pair.theirs, why); }, {}},
        };
        QString why;
        if (!alternate(sides, o.reps, &why)) {
            harness.skip({f.id}, why);
            continue;
        }
        f.oursSamples = scaled(sides.at(0).samples, 1000.0);
        f.referenceSamples = scaled(sides.at(1).samples, 1000.0);
        f.ours = median(f.oursSamples);
        f.referenceValue = median(f.referenceSamples);
    }
    const QString what = QStringLiteral("%1 Mi characters, one in ten an accented Latin-1 letter")
                             .arg(double(length) / (1 << 20));
    made[0]->note = what + QStringLiteral(", handed over as their bytes.");
    made[1]->note =
        what + QStringLiteral(": ours reads the string's low bytes, the reference is handed "
                              "those bytes ready-made.");
    made[2]->note = QStringLiteral("Ours reads the text as a string, the reference as bytes.");
    const QString digestNote =
        QStringLiteral("Ours includes the string's UTF-8 conversion: Qt's toUtf8 alone takes %1 "
                       "ms on this text, and toUtf8 followed by EVP_Digest %2 ms.");
    made[3]->note = digestNote.arg(median(conversion), 0, 'f', 1).arg(median(md5Whole), 0, 'f', 1);
    made[4]->note = digestNote.arg(median(conversion), 0, 'f', 1).arg(median(sha1Whole), 0, 'f', 1);
}

} // namespace bench
