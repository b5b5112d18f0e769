// Hostile input to the real nubelo-export: photo files that are cut short, that declare more
// pixels than memory holds, that are no images, that cannot be read, or links to what no photo
// is; export folders that cannot take the scratch files. Each is refused with a message that
// names the file or folder, the exit code says so, and nothing reaches the site's upload host.

#include "ExportProgram.h"

#include <QtTest>

#include <QBuffer>
#include <QtEndian>

#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using nubelo::site::Exchange;

namespace {

const QString kEmail = QStringLiteral("nico@example.org");
const QString kPassword = QStringLiteral("secreto");

QByteArray bigEndian(quint32 value) {
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &data) {
    quint32 crc = 0xffffffffu;
    for (const char byte : type + data) {
        crc ^= quint8(byte);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? 0xedb88320u ^ (crc >> 1) : crc >> 1;
    }
    return bigEndian(quint32(data.size())) + type + data + bigEndian(~crc);
}

// A grey PNG of that size whose pixel data is `rawLength` zero bytes (the whole picture, black,
// when it is (width + 1) x height): small on disc, huge once decoded. qCompress puts the length
// before the zlib stream.
QByteArray zeroPng(quint32 width, quint32 height, int rawLength) {
    const QByteArray header =
        bigEndian(width) + bigEndian(height) + QByteArray("\x08\x00\x00\x00\x00", 5);
    // The zeros are an untouched mapping, read as the kernel's zero page: they never count in
    // this process's memory, which a child's peak starts from (AddressSanitizer keeps a freed
    // buffer resident for a while).
    void *zeros = ::mmap(nullptr, size_t(rawLength), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const QByteArray packed = qCompress(static_cast<const uchar *>(zeros), rawLength).mid(4);
    ::munmap(zeros, size_t(rawLength));
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
           pngChunk("IDAT", packed) + pngChunk("IEND", {});
}

QByteArray encode(const char *format, int keepPercent) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    faults::testPicture(800, 600).save(&buffer, format);
    return bytes.left(bytes.size() * keepPercent / 100);
}

// The most memory any child process of this test has held, in bytes.
qint64 childrenPeakRss() {
    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return qint64(usage.ru_maxrss) * 1024;
}

// Permission rows need a child that file permissions bind. Root gets one by giving up its file
// privileges in the child, which takes the right to change its capabilities.
bool permissionsBindChildren() {
    return ::geteuid() != 0 || ::prctl(PR_CAPBSET_READ, CAP_SETPCAP, 0, 0, 0) == 1;
}

void withoutFilePrivileges() {
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
}

} // namespace

class TestHostileInput : public QObject {
    Q_OBJECT

    QTemporaryDir mFiles;
    QString mGoodPhoto;
    std::optional<faults::SiteWork> mWork; // one per test
    qint64 mBaselineRss = 0;

    QString file(const QString &name) const { return mWork->path(name); }
    nubelo::site::Site &site() { return *mWork->site; }

    faults::ProgramRun exportPhotos(const QStringList &photos, const QString &dir,
                                    bool filePrivileges = true) const {
        return faults::runProgram(faults::exportProgram(),
                                  faults::exportArguments(kEmail, dir, photos),
                                  mWork->environment(kPassword), 60000,
                                  filePrivileges ? std::function<void()>() : withoutFilePrivileges);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(QFileInfo(faults::exportProgram()).isExecutable());
        mGoodPhoto = mFiles.filePath(QStringLiteral("good.jpg"));
        QVERIFY(faults::testPicture(900, 600).save(mGoodPhoto));
        // What a run with a sound photo holds, for comparison with the bombs below.
        init();
        const faults::ProgramRun run = exportPhotos({mGoodPhoto}, file(QStringLiteral("scratch")));
        QVERIFY2(run.code == 0, run.describe().constData());
        mBaselineRss = childrenPeakRss();
    }

    void init() {
        mWork.emplace(kEmail, kPassword);
        QVERIFY2(mWork->site, mWork->why.c_str());
    }

    void refused_data();
    void refused();
};

void TestHostileInput::refused_data() {
    QTest::addColumn<QString>("name");      // of the photo file; none: a sound photo
    QTest::addColumn<QByteArray>("bytes");  // in it
    QTest::addColumn<QByteArray>("linkTo"); // else the photo is a link to this ("fifo": one)
    QTest::addColumn<QString>("dir");       // the export folder, when it is the hostile input
    QTest::addColumn<int>("code"); // 1: refused only once the run had signed in and met the photo
    QTest::addColumn<QByteArrayList>("says");

    const QByteArray cutShort = "cut short: the file ends before the image does";
    const QByteArray unreadable = "not an image that can be read";
    const QByteArray notAFile = "not a regular file";
    const auto row = [](const char *what, const char *name, const QByteArray &bytes, int code,
                        const QByteArrayList &says, const QByteArray &linkTo = {}) {
        QTest::newRow(what) << QString::fromLatin1(name) << bytes << linkTo << QString() << code
                            << says;
    };
    // Regression: the JPEG reader filled the missing part with grey, and the photo went up.
    row("truncated JPEG", "truncated.jpg", encode("JPG", 60), 1, {"photo 1 of 2, ", cutShort});
    // Regression: the BMP reader left the missing rows as whatever memory held before, and that
    // went up to the site.
    row("truncated BMP", "truncated.bmp", encode("BMP", 50), 1, {"photo 1 of 2, ", cutShort});
    row("truncated PNG", "truncated.png", encode("PNG", 90), 1,
        {"photo 1 of 2, ", "cannot be decoded"});
    row("header declaring 100000 x 100000 pixels", "bomb.png", zeroPng(100000, 100000, 100001), 2,
        {"too large (100000 x 100000 pixels, the limit is 200 megapixels)"});
    // Below the pixel limit, but 196 MB once decoded: the image reader's allocation limit
    // refuses it before any pixel is written.
    row("190 kB of PNG decoding to 196 MB", "zeros.png", zeroPng(14000, 14000, 14001 * 14000), 1,
        {"photo 1 of 2, ", "cannot be decoded"});
    row("not an image", "notes.txt", "a shopping list, not a photo\n", 2, {unreadable});
    row("empty file", "empty.jpg", "", 2, {unreadable});
    row("unreadable", "locked.jpg", encode("JPG", 100), 2, {"cannot be read: Permission denied"},
        "locked");
    row("link to /dev/zero", "zero.jpg", {}, 2, {notAFile}, "/dev/zero");
    row("link to a FIFO", "fifo.jpg", {}, 2, {notAFile}, "fifo");
    row("dangling link", "gone.jpg", {}, 2, {"no such file"}, "nowhere.jpg");
    // Export folders that cannot take the scratch files ("file" is a file, "read-only" a folder).
    for (const auto &[what, dir, says] :
         {std::tuple("folder: a file", "file", "not a folder"),
          std::tuple("folder: no write permission", "read-only",
                     "cannot write in it: Permission denied"),
          std::tuple("folder: to be made in one without write permission", "read-only/inner",
                     "cannot be created in"),
          std::tuple("folder: to be made under a file", "file/inner", "Not a directory")})
        QTest::newRow(what) << QString() << QByteArray() << QByteArray() << QString::fromLatin1(dir)
                            << 2 << QByteArrayList{says};
    // A child's peak starts from ours: forget what making the bombs took.
    QFile peak(QStringLiteral("/proc/self/clear_refs"));
    QVERIFY(peak.open(QIODevice::WriteOnly) && peak.write("5") == 1);
}

void TestHostileInput::refused() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, linkTo);
    QFETCH(QString, dir);
    QFETCH(int, code);
    QFETCH(QByteArrayList, says);

    const QString path = name.isEmpty() ? mGoodPhoto : file(name);
    const bool locked = linkTo == "locked" || dir.startsWith(QLatin1String("read-only"));
    if (locked && !permissionsBindChildren())
        QSKIP("running as root without the right to give up file privileges");
    QFile plain(file(QStringLiteral("file")));
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write("a file") == 6);
    QVERIFY(QDir().mkpath(file(QStringLiteral("read-only"))));
    QVERIFY(QFile::setPermissions(file(QStringLiteral("read-only")),
                                  QFile::ReadOwner | QFile::ExeOwner));
    if (linkTo == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(file(QStringLiteral("fifo"))).constData(), 0600), 0);
    if (!name.isEmpty() && (linkTo.isEmpty() || locked)) {
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
        QVERIFY(!locked || out.setPermissions({}));
    } else if (!name.isEmpty()) { // relative targets: beside the link
        QCOMPARE(::symlink(linkTo.constData(), QFile::encodeName(path).constData()), 0);
    }

    // The hostile photo first, a sound one after it: the run must not get to the second.
    const faults::ProgramRun run = exportPhotos(
        {path, mGoodPhoto}, file(dir.isEmpty() ? QStringLiteral("scratch") : dir), !locked);

    QVERIFY2(run.finished && !run.crashed && run.code == code, run.describe().constData());
    QVERIFY2(run.err.contains(QFile::encodeName(dir.isEmpty() ? path : file(dir))),
             run.describe().constData());
    for (const QByteArray &text : says)
        QVERIFY2(run.err.contains(text), ("missing \"" + text + "\"\n" + run.describe()).data());
    QCOMPARE(int(standin::entries(site(), Exchange::Login).size()), code == 1 ? 1 : 0);
    QCOMPARE(int(standin::entries(site(), Exchange::Upload).size()), 0);
    QVERIFY(site().photos(kEmail.toStdString()).empty());
    QCOMPARE(int(site().sessionCount()), 0);
    QVERIFY(!QFileInfo::exists(file(QStringLiteral("read-only/inner"))));
    // Not one child of this test held much more than a sound run did: no bomb went off.
    QVERIFY2(childrenPeakRss() < mBaselineRss + (100 << 20),
             qPrintable(QStringLiteral("peak %1 MB, a sound run %2 MB")
                            .arg(childrenPeakRss() >> 20)
                            .arg(mBaselineRss >> 20)));
}

QTEST_GUILESS_MAIN(TestHostileInput)
#include "tst_hostileinput.moc"
