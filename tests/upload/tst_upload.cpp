// The upload side of the service client against the stand-in site on loopback: the form body
// byte for byte, the queue check, the outcome under each of the site's upload faults, the trace
// files (and what they must never write through), the album operations.

#include "NubeloConnections.h"
#include "NubeloConnections_p.h"
#include "NubeloSite.h"
#include "StandInSite.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using nubelo::site::Exchange;
using nubelo::site::Fault;
using nubelo::site::JournalEntry;
using standin::entries;
using standin::fieldValues;
using namespace NubeloConnectionsPrivate;

namespace {

const std::string kEmail = "luis@example.org";
const std::string kPassword = "secreto";
const QByteArray kUntouched = "left as it was\n";

std::optional<QByteArray> readFile(const char *path) {
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool isOurPlainFileOrAbsent(const char *path) {
    struct stat status {};
    if (::lstat(path, &status) != 0)
        return errno == ENOENT;
    return S_ISREG(status.st_mode) && status.st_uid == ::geteuid();
}

// Puts known content into both trace files, so a test can tell which were written.
void markTraceFiles() {
    for (const char *path : {kTraceBodyPath, kTraceDataPath}) {
        ::unlink(path);
        QVERIFY(writeTraceFile(path, kUntouched));
    }
}

std::string sha256(const QByteArray &bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
}

QByteArray samplePhoto() {
    QByteArray photo("\x89PNG\r\n\x1a\n\0\xff\r\n-", 14);
    for (int i = 0; i < 256; ++i)
        photo.append(char(i));
    return photo;
}

} // namespace

class TestUpload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void multipartBody_data();
    void multipartBody();
    void queueCheckBody_data();
    void queueCheckBody();
    void signedOutSendsNothing();
    void upload_data();
    void upload();
    void traceFilesNeverWrittenThrough_data();
    void traceFilesNeverWrittenThrough();
    void albums();

private:
    std::unique_ptr<NubeloConnections> signedInClient();

    QTemporaryDir mData;
    std::unique_ptr<nubelo::site::Site> mSite;
};

void TestUpload::initTestCase() {
    // The trace files have fixed names; one that another user holds makes these checks moot.
    for (const char *path : {kTraceBodyPath, kTraceDataPath}) {
        if (!isOurPlainFileOrAbsent(path))
            QSKIP("a trace file name is taken by something that is not ours");
    }
    QVERIFY(mData.isValid());
    std::string why;
    mSite = standin::startSite(mData.path(), kEmail, kPassword, &why);
    QVERIFY2(mSite, why.c_str());
}

void TestUpload::init() {
    mSite->clearFaults();
    markTraceFiles();
    mSite->clearJournal();
}

void TestUpload::cleanupTestCase() {
    mSite.reset();
}

std::unique_ptr<NubeloConnections> TestUpload::signedInClient() {
    auto client = std::make_unique<NubeloConnections>(standin::configFor(*mSite));
    client->authenticate(QString::fromStdString(kEmail), QString::fromStdString(kPassword));
    if (client->getState() != SessionLoggedIn)
        qWarning("sign-in failed");
    mSite->clearJournal();
    return client;
}

void TestUpload::multipartBody_data() {
    QTest::addColumn<QByteArray>("photo");
    QTest::newRow("small photo") << samplePhoto();
    QTest::newRow("empty photo") << QByteArray();
}

void TestUpload::multipartBody() {
    QFETCH(QByteArray, photo);
    const QByteArray body = prepareUploadData(photo);
    const QByteArray expected =
        "--Velkaron\r\n"
        "Content-Disposition: form-data; name=\"iPhoto.png\"; filename=\"iPhoto.png\"\r\n"
        "Content-Type: image/png\r\n\r\n" +
        photo +
        "\r\n--Velkaron\r\n"
        "Content-Disposition: form-data; name=\"func\"\r\n\r\n"
        "addq\r\n"
        "--Velkaron\r\n"
        "Content-Disposition: form-data; name=\"wf\"\r\n\r\n\r\n"
        "--Velkaron\r\n"
        "Content-Disposition: form-data; name=\"rotate\"\r\n\r\n"
        "0\r\n"
        "--Velkaron--\r\n";
    QCOMPARE(body, expected);
    QCOMPARE(body.size(), photo.size() + 317);
}

void TestUpload::queueCheckBody_data() {
    QTest::addColumn<int>("qid");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("7") << 7 << QByteArray("func=checkq&wf=&qid=7\r\n");
    QTest::newRow("-1") << -1 << QByteArray("func=checkq&wf=&qid=-1\r\n");
    QTest::newRow("largest") << 2147483647 << QByteArray("func=checkq&wf=&qid=2147483647\r\n");
}

void TestUpload::queueCheckBody() {
    QFETCH(int, qid);
    QFETCH(QByteArray, body);
    QCOMPARE(NubeloConnectionsPrivate::queueCheckBody(qid), body);
}

// Regression: signed out, the operations sent nothing and answered success, so an export
// counted photos that never left the machine as uploaded.
void TestUpload::signedOutSendsNothing() {
    NubeloConnections client(standin::configFor(*mSite));
    const platform::Error notSignedIn{QStringLiteral("NubeloConnections"), ErrorNotSignedIn,
                                      QStringLiteral("Not signed in")};
    QStringList albums{QStringLiteral("kept")};
    QCOMPARE(client.uploadImage(samplePhoto(), 1), notSignedIn);
    QCOMPARE(client.uploadImage(samplePhoto(), 1, QStringLiteral("a")), notSignedIn);
    QCOMPARE(client.finishUpload(1), notSignedIn);
    QCOMPARE(client.prepareUpload(), notSignedIn);
    QCOMPARE(client.createAlbum(QStringLiteral("a")), notSignedIn);
    QCOMPARE(client.listAlbums(&albums), notSignedIn);
    QCOMPARE(albums, QStringList{QStringLiteral("kept")});
    QCOMPARE(client.getState(), int(SessionNone));
    QVERIFY(mSite->journal().empty());
    QCOMPARE(readFile(kTraceBodyPath), kUntouched);
    QCOMPARE(readFile(kTraceDataPath), kUntouched);
}

void TestUpload::upload_data() {
    QTest::addColumn<QList<int>>("faults");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<bool>("checked");        // a queue check followed
    QTest::addColumn<QString>("errorDomain"); // empty: uploaded
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QByteArray>("data"); // what the data trace file holds at the end

    const QByteArray arrived = "the last upload of this session was stored";
    const QByteArray missing = "the last upload of this session was not stored";
    QTest::newRow("answered") << QList<int>{} << true << false << "" << 0
                              << QByteArray("stored photo ");
    // Regression: the refusal was counted as an uploaded photo.
    QTest::newRow("refused with 500, the check says missing")
        << QList<int>{int(Fault::Upload500)} << false << true << "HTTP" << 404 << missing;
    QTest::newRow("stored, then the answer was lost")
        << QList<int>{int(Fault::UploadStoredThenDrop)} << true << true << "" << 0 << arrived;
    QTest::newRow("reset, the check refused")
        << QList<int>{int(Fault::UploadReset), int(Fault::QueueCheck500)} << false << true << "HTTP"
        << 500 << QByteArray("the queue check failed");
    QTest::newRow("reset, the check lost")
        << QList<int>{int(Fault::UploadReset), int(Fault::QueueCheckDrop)} << false << true
        << QString::fromLatin1(platform::kNetworkErrorDomain) << -1 << kUntouched;
}

void TestUpload::upload() {
    QFETCH(QList<int>, faults);
    QFETCH(bool, stored);
    QFETCH(bool, checked);
    QFETCH(QString, errorDomain);
    QFETCH(int, errorCode);
    QFETCH(QByteArray, data);

    std::unique_ptr<NubeloConnections> client = signedInClient();
    for (int fault : faults)
        mSite->setFault(Fault(fault));
    const std::size_t before = mSite->photos(kEmail).size();
    const QByteArray photo = samplePhoto();

    const std::optional<platform::Error> error = client->uploadImage(photo, 7);

    QCOMPARE(error.has_value(), !errorDomain.isEmpty());
    if (error) {
        QCOMPARE(error->domain, errorDomain);
        if (errorCode >= 0)
            QCOMPARE(error->code, errorCode);
    }
    const auto photos = mSite->photos(kEmail);
    // Exactly one copy: an upload whose answer was lost is not sent again.
    QCOMPARE(photos.size(), before + (stored ? 1 : 0));
    if (stored)
        QCOMPARE(photos.back().sha256, sha256(photo));
    else
        QCOMPARE(photos.size(), before);

    const QList<JournalEntry> uploads = entries(*mSite, Exchange::Upload);
    QVERIFY(!uploads.isEmpty());
    const JournalEntry &upload = uploads.first();
    QCOMPARE(upload.method, std::string("POST"));
    QCOMPARE(upload.target, std::string("/?upload=1&iframe=1"));
    QCOMPARE(fieldValues(upload, "Content-Type"),
             QStringList{QStringLiteral("multipart/form-data; boundary=Velkaron")});
    QCOMPARE(fieldValues(upload, "Cookie"), QStringList{"sid=<redacted>"});
    QVERIFY(fieldValues(upload, "Referer").isEmpty());
    QCOMPARE(upload.bodySha256, sha256(prepareUploadData(photo)));

    const QList<JournalEntry> checks = entries(*mSite, Exchange::QueueCheck);
    QCOMPARE(!checks.isEmpty(), checked);
    if (checked) {
        QCOMPARE(fieldValues(checks.first(), "Content-Type"),
                 QStringList{QStringLiteral("application/x-www-form-urlencoded")});
        QCOMPARE(fieldValues(checks.first(), "Cookie"), QStringList{"sid=<redacted>"});
        QCOMPARE(checks.first().body, std::string("func=checkq&wf=&qid=7\r\n"));
        QCOMPARE(readFile(kTraceBodyPath), QByteArray("func=checkq&wf=&qid=7\r\n"));
    } else {
        QCOMPARE(readFile(kTraceBodyPath), kUntouched);
    }
    QVERIFY2(readFile(kTraceDataPath).value_or("").startsWith(data),
             readFile(kTraceDataPath).value_or("").constData());
    QCOMPARE(client->getState(), int(SessionLoggedIn));
}

void TestUpload::traceFilesNeverWrittenThrough_data() {
    QTest::addColumn<QString>("plant");
    QTest::newRow("symbolic link to a file") << "link";
    QTest::newRow("dangling symbolic link") << "dangling";
    QTest::newRow("hard link to a file") << "hard";
    QTest::newRow("another user's file") << "foreign";
}

// Regression: both names lie in /tmp, and a write followed a link planted there into any file
// the user may write (or created the link's target).
void TestUpload::traceFilesNeverWrittenThrough() {
    QFETCH(QString, plant);
    if (plant == QLatin1String("foreign") && ::geteuid() != 0)
        QSKIP("only root can give a file to another user");
    QTemporaryDir place;
    std::unique_ptr<NubeloConnections> client = signedInClient();

    struct Planted {
        const char *name;
        QByteArray target;
    };
    QList<Planted> planted;
    for (const char *name : {kTraceBodyPath, kTraceDataPath}) {
        const QByteArray target = QFile::encodeName(place.filePath(QFileInfo(name).fileName()));
        ::unlink(name);
        if (plant != QLatin1String("dangling"))
            QVERIFY(writeTraceFile(target.constData(), kUntouched));
        if (plant == QLatin1String("link") || plant == QLatin1String("dangling"))
            QCOMPARE(::symlink(target.constData(), name), 0);
        else if (plant == QLatin1String("hard"))
            QCOMPARE(::link(target.constData(), name), 0);
        else
            QVERIFY(writeTraceFile(name, kUntouched) && ::chown(name, 65534, 65534) == 0);
        planted.append({name, target});
    }
    // Whatever happens below, what was planted goes.
    const auto removePlanted = qScopeGuard([&] {
        for (const Planted &p : planted)
            ::unlink(p.name);
    });

    mSite->setFault(Fault::Upload500); // writes the data file twice and the body file once
    const std::optional<platform::Error> error = client->uploadImage(samplePhoto(), 3);
    QVERIFY(error && error->code == 404); // the operation went on regardless

    for (const Planted &p : planted) {
        struct stat status {};
        QCOMPARE(::lstat(p.name, &status), 0);
        if (plant == QLatin1String("dangling")) {
            QVERIFY(S_ISLNK(status.st_mode));
            QVERIFY(!QFile::exists(QFile::decodeName(p.target)));
        } else {
            QCOMPARE(readFile(p.target.constData()), kUntouched);
            QCOMPARE(readFile(p.name), kUntouched);
        }
    }
}

// Regression: creating an album sent the logout, so the site ended the session.
void TestUpload::albums() {
    std::unique_ptr<NubeloConnections> client = signedInClient();
    const QString summer = QStringLiteral("Verano & playa, año 2024");
    const QString winter = QStringLiteral("Invierno");

    QCOMPARE(client->createAlbum(summer), std::nullopt);
    QCOMPARE(client->getState(), int(SessionLoggedIn));
    QVERIFY(entries(*mSite, Exchange::Logout).isEmpty());
    const QList<JournalEntry> creates = entries(*mSite, Exchange::Albums);
    QCOMPARE(creates.size(), 1);
    QCOMPARE(creates.first().method, std::string("POST"));
    QCOMPARE(creates.first().target, std::string("/?m=Albums&func=create_album"));

    const std::optional<platform::Error> twice = client->createAlbum(summer);
    QVERIFY(twice && twice->domain == QLatin1String("HTTP") && twice->code == 409);
    QCOMPARE(client->getState(), int(SessionLoggedIn));

    // Into a new album; an album that cannot be made stops the upload before it is sent.
    mSite->clearJournal();
    QCOMPARE(client->uploadImage(samplePhoto(), 1, winter), std::nullopt);
    QCOMPARE(entries(*mSite, Exchange::Upload).size(), 1);
    mSite->clearJournal();
    QVERIFY(client->uploadImage(samplePhoto(), 2, winter).has_value());
    QVERIFY(entries(*mSite, Exchange::Upload).isEmpty());

    QStringList listed;
    QCOMPARE(client->listAlbums(&listed), std::nullopt);
    QStringList onSite;
    for (const std::string &name : mSite->albums(kEmail))
        onSite.append(QString::fromStdString(name));
    QCOMPARE(listed, onSite);
    QVERIFY(listed.contains(summer) && listed.contains(winter));
}

QTEST_GUILESS_MAIN(TestUpload)
#include "tst_upload.moc"
