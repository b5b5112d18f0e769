// From image files to the stand-in site: the controller driven by the photo host, which writes
// the PNG files and runs the export on its own thread while the main thread serves the toggle.

#include "NubeloExportController.h"
#include "NubeloSite.h"
#include "PhotoHost.h"
#include "ScriptedKit.h"
#include "StandInSite.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <set>

using nubelo::site::Fault;

namespace {

const QString kEmail = QStringLiteral("marta@example.org");
const QString kPassword = QStringLiteral("contraseña");

std::string sha256(const QByteArray &bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
}

// Holds the export thread before the run begins, so that a cancel lands between the host's start
// and performExport every time.
class HeldController : public NubeloExportController {
public:
    using NubeloExportController::NubeloExportController;
    void performExport(const QString &path) override {
        gate.acquire();
        NubeloExportController::performExport(path);
    }
    QSemaphore gate;
};

} // namespace

class TestExportRunHost : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void photosReachTheSite_data();
    void photosReachTheSite();

private:
    QTemporaryDir mData;
    QTemporaryDir mPhotos;
    QStringList mFiles;
    std::unique_ptr<nubelo::site::Site> mSite;
};

void TestExportRunHost::initTestCase() {
    QVERIFY(mData.isValid() && mPhotos.isValid());
    std::string why;
    mSite = standin::startSite(mData.path(), kEmail, kPassword, &why);
    QVERIFY2(mSite, why.c_str());

    // A landscape JPEG larger than the bound, a portrait PNG, a small PNG.
    const struct {
        QSize size;
        QColor color;
        const char *name;
    } photos[] = {{{900, 600}, Qt::darkGreen, "landscape.jpg"},
                  {{300, 800}, Qt::darkBlue, "portrait.png"},
                  {{40, 30}, Qt::darkRed, "small.png"}};
    for (const auto &photo : photos) {
        QImage image(photo.size, QImage::Format_RGB32);
        image.fill(photo.color);
        const QString path = mPhotos.filePath(QString::fromLatin1(photo.name));
        QVERIFY(image.save(path));
        mFiles.append(path);
    }
}

void TestExportRunHost::cleanupTestCase() {
    mSite.reset();
}

void TestExportRunHost::photosReachTheSite_data() {
    QTest::addColumn<int>("fault"); // -1: none
    QTest::addColumn<bool>("uploaded");
    QTest::addColumn<bool>("cancelAtStart"); // by the host, before performExport begins
    QTest::newRow("three photos") << -1 << true << false;
    QTest::newRow("refused with 500") << int(Fault::Upload500) << false << false;
    QTest::newRow("answer lost after the site stored it")
        << int(Fault::UploadStoredThenDrop) << true << false;
    // Regression: the run cleared the flag when it began, and every photo went up.
    QTest::newRow("cancelled before performExport") << -1 << false << true;
}

void TestExportRunHost::photosReachTheSite() {
    QFETCH(int, fault);
    QFETCH(bool, uploaded);
    QFETCH(bool, cancelAtStart);
    mSite->clearFaults();
    QTemporaryDir dest;
    const std::size_t before = mSite->photos(kEmail.toStdString()).size();

    scripted::ScriptedApplication kit;
    PhotoHost host;
    HeldController controller(&host, standin::configFor(*mSite));
    QVERIFY(!controller.loadInterface());
    host.setPlugin(&controller);
    host.setDestination(dest.path());
    QVERIFY(host.setImageFiles(mFiles));

    kit.answerModalByClicking("Authenticate",
                              {{"mLoginUsername", kEmail}, {"mLoginPassword", kPassword}});
    QVERIFY(kit.click("mAuthenticate"));
    QCOMPARE(controller.connector()->getState(), int(SessionLoggedIn));
    if (fault >= 0)
        mSite->setFault(Fault(fault));

    QSignalSpy finished(&host, &PhotoHost::exportFinished);
    controller.startExport(dest.path());
    QVERIFY(host.isExporting());
    if (cancelAtStart)
        host.cancel();
    controller.gate.release();
    QVERIFY(finished.wait(30000));
    host.shutdown();

    const bool cancelled = finished.first().at(0).toBool();
    const QString message = finished.first().at(1).toString();
    const auto photos = mSite->photos(kEmail.toStdString());
    if (cancelAtStart) {
        // Stopped before its first photo: nothing written or sent, and the run ends as stopped.
        QVERIFY(!cancelled);
        QCOMPARE(photos.size(), before);
        QVERIFY(!QFileInfo::exists(dest.filePath(QStringLiteral("sfe-0.png"))));
        return;
    }
    if (!uploaded) {
        // The site's queue check says the photo never arrived: the run fails at once.
        QVERIFY(cancelled);
        QCOMPARE(message, "Unable to upload " + dest.filePath(QStringLiteral("sfe-0.png")));
        QCOMPARE(photos.size(), before);
        QCOMPARE(controller.connector()->getState(), int(SessionLoggedIn));
        return;
    }
    QVERIFY2(!cancelled, qPrintable(message));
    QVERIFY(message.isNull());
    // The toggle ended the session on the main thread.
    QCOMPARE(controller.connector()->getState(), int(SessionNone));

    // What the site holds is exactly the PNG files written, each once (an upload whose answer
    // was lost is not sent again).
    QCOMPARE(photos.size() - before, std::size_t(mFiles.size()));
    std::set<std::string> written;
    for (int i = 0; i < mFiles.size(); ++i) {
        QFile png(dest.filePath(QStringLiteral("sfe-%1.png").arg(i)));
        QVERIFY(png.open(QIODevice::ReadOnly));
        const QByteArray bytes = png.readAll();
        QVERIFY(bytes.startsWith("\x89PNG"));
        written.insert(sha256(bytes));
    }
    std::set<std::string> stored;
    for (std::size_t k = before; k < photos.size(); ++k)
        stored.insert(photos[k].sha256);
    QVERIFY(stored == written);
    QVERIFY(kit.problems().isEmpty());
}

QTEST_MAIN(TestExportRunHost)
#include "tst_exportrun_host.moc"
