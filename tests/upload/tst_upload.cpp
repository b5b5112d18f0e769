// The upload side of the service client against the stand-in site on loopback: the form as it
// arrives, byte for byte, the queue check, the outcome under the site's upload faults, the trace
// files (and what they must never write through), the albums.

#include "NubeloConnections.h"
#include "NubeloConnections_p.h"
#include "SiteSuite.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using nubelo::site::Exchange;
using nubelo::site::Fault;
using namespace standin;
using namespace NubeloConnectionsPrivate;

namespace {

const QByteArray kUntouched = "left as it was\n";
// A PNG's signature: a NUL, a high byte, CR LF and a dash, which a form must carry unchanged.
const QByteArray kPhoto("\x89PNG\r\n\x1a\n\0\xff\r\n-", 14);

QByteArray readFile(const QByteArray &path) {
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

} // namespace

class TestUpload : public SiteSuite {
    Q_OBJECT

    std::unique_ptr<NubeloConnections> signedInClient() {
        auto client = std::make_unique<NubeloConnections>(configFor(*mSite));
        client->authenticate(kEmail, kPassword);
        mSite->clearJournal();
        return client;
    }

private Q_SLOTS:
    // Known content in both trace files, so a test can tell which were written.
    void init() {
        SiteSuite::init();
        for (const char *path : {kTraceBodyPath, kTraceDataPath}) {
            ::unlink(path);
            QVERIFY(writeTraceFile(path, kUntouched));
        }
    }

    // Regression: signed out, the operations sent nothing and answered success, so an export
    // counted photos that never left the machine as uploaded.
    void signedOutSendsNothing() {
        NubeloConnections client(configFor(*mSite));
        QStringList albums{QStringLiteral("kept")};
        for (const std::optional<platform::Error> &error :
             {client.uploadImage(kPhoto, 1), client.uploadImage(kPhoto, 1, QStringLiteral("a")),
              client.finishUpload(1), client.prepareUpload(),
              client.createAlbum(QStringLiteral("a")), client.listAlbums(&albums)})
            QCOMPARE(error.value_or(platform::Error()).code, int(ErrorNotSignedIn));
        QCOMPARE(albums, QStringList{QStringLiteral("kept")});
        QVERIFY(mSite->journal().empty());
        QCOMPARE(readFile(kTraceBodyPath) + readFile(kTraceDataPath), kUntouched + kUntouched);
    }

    void upload_data() {
        QTest::addColumn<QList<int>>("faults");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<int>("error"); // the HTTP status of the error answered, 0 for none
        QTest::newRow("answered") << QList<int>{} << true << 0;
        // Regression: the refusal was counted as an uploaded photo.
        QTest::newRow("refused with 500, the check says missing")
            << QList<int>{int(Fault::Upload500)} << false << 404;
        QTest::newRow("stored, then the answer was lost")
            << QList<int>{int(Fault::UploadStoredThenDrop)} << true << 0;
        QTest::newRow("reset, the check refused")
            << QList<int>{int(Fault::UploadReset), int(Fault::QueueCheck500)} << false << 500;
    }
    void upload() {
        QFETCH(QList<int>, faults);
        QFETCH(bool, stored);
        QFETCH(int, error);
        std::unique_ptr<NubeloConnections> client = signedInClient();
        for (int fault : faults)
            mSite->setFault(Fault(fault));
        const std::size_t before = mSite->photos(kEmail.toStdString()).size();
        const std::optional<platform::Error> failed = client->uploadImage(kPhoto, 7);
        QCOMPARE(failed.value_or(platform::Error()).code, error);
        // Exactly one copy: an upload whose answer was lost is not sent again.
        QCOMPARE(mSite->photos(kEmail.toStdString()).size(), before + (stored ? 1 : 0));

        const nubelo::site::JournalEntry upload = entries(*mSite, Exchange::Upload).value(0);
        QCOMPARE(upload.method + ' ' + upload.target, std::string("POST /?upload=1&iframe=1"));
        QCOMPARE(fieldValues(upload, "Content-Type"),
                 QStringList{QStringLiteral("multipart/form-data; boundary=Velkaron")});
        QCOMPARE(fieldValues(upload, "Cookie"), QStringList{"sid=<redacted>"});
        // The form as the site's own page posts it; the photo goes in unchanged.
        QCOMPARE(QByteArray::fromStdString(upload.body),
                 "--Velkaron\r\n"
                 "Content-Disposition: form-data; name=\"iPhoto.png\"; filename=\"iPhoto.png\"\r\n"
                 "Content-Type: image/png\r\n\r\n" +
                     kPhoto +
                     "\r\n--Velkaron\r\n"
                     "Content-Disposition: form-data; name=\"func\"\r\n\r\n"
                     "addq\r\n"
                     "--Velkaron\r\n"
                     "Content-Disposition: form-data; name=\"wf\"\r\n\r\n\r\n"
                     "--Velkaron\r\n"
                     "Content-Disposition: form-data; name=\"rotate\"\r\n\r\n"
                     "0\r\n"
                     "--Velkaron--\r\n");

        // The queue check follows a failed upload only, and its body is traced.
        const auto checks = entries(*mSite, Exchange::QueueCheck);
        const QByteArray check = "func=checkq&wf=&qid=7\r\n";
        QCOMPARE(checks.size(), faults.isEmpty() ? 0 : 1);
        if (!checks.isEmpty())
            QCOMPARE(QByteArray::fromStdString(checks.first().body), check);
        QCOMPARE(readFile(kTraceBodyPath), faults.isEmpty() ? kUntouched : check);
    }

    void traceFileNeverWrittenThrough_data() {
        QTest::addColumn<QString>("plant");
        QTest::newRow("symbolic link to a file") << "link";
        QTest::newRow("dangling symbolic link") << "dangling";
        QTest::newRow("hard link to a file") << "hard";
        QTest::newRow("another user's file") << "foreign";
        QTest::newRow("our own file, longer than the new text") << "own";
    }
    // Regression: the names lie in /tmp, and a write followed a link planted there into any
    // file the user may write (or created the link's target).
    void traceFileNeverWrittenThrough() {
        QFETCH(QString, plant);
        if (plant == "foreign" && ::geteuid() != 0)
            QSKIP("only root can give a file to another user");
        QTemporaryDir place;
        const QByteArray name = QFile::encodeName(place.filePath("theData.txt"));
        const QByteArray target = QFile::encodeName(place.filePath("target"));
        if (plant != "dangling")
            QVERIFY(writeTraceFile(target, kUntouched));
        if (plant == "link" || plant == "dangling")
            QCOMPARE(::symlink(target, name), 0);
        else if (plant == "hard")
            QCOMPARE(::link(target, name), 0);
        else
            QVERIFY(writeTraceFile(name, kUntouched) &&
                    (plant == "own" || ::chown(name, 65534, 65534) == 0));
        if (plant == "own") { // replaced whole: no tail of the older, longer text stays
            QVERIFY(writeTraceFile(name, "written"));
            QCOMPARE(readFile(name), QByteArray("written"));
            return;
        }
        QVERIFY(!writeTraceFile(name, "written"));
        const QByteArray left = plant == "dangling" ? QByteArray("(none)") : kUntouched;
        QCOMPARE(readFile(target), left);
        QCOMPARE(readFile(name), left);
    }

    // Regression: creating an album sent the logout, so the site ended the session.
    void albums() {
        std::unique_ptr<NubeloConnections> client = signedInClient();
        const QString album = QStringLiteral("Verano & playa, año 2024");
        QCOMPARE(client->uploadImage(kPhoto, 1, album), std::nullopt);
        QCOMPARE(client->getState(), int(SessionLoggedIn));
        QVERIFY(entries(*mSite, Exchange::Logout).isEmpty());
        // An album that cannot be made (it exists) stops the upload before it is sent.
        const std::optional<platform::Error> twice = client->uploadImage(kPhoto, 2, album);
        QVERIFY(twice && twice->code == 409);
        QCOMPARE(client->getState(), int(SessionLoggedIn));
        QCOMPARE(entries(*mSite, Exchange::Upload).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestUpload)
#include "tst_upload.moc"
