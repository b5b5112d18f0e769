// Hostile input to the real nubelo-export: photo files that are cut short, that declare more
// pixels than memory holds, that are no images, that cannot be read, or links to what no photo
// is; export folders that cannot take the scratch files. Each is refused with a message that
// names the file, the exit code says so, and nothing reaches the site's upload host.

#include "ExportProgram.h"
#include "NubeloSite.h"
#include "StandInSite.h"

#include <QtTest>

#include <QBuffer>
#include <QTemporaryDir>
#include <QtEndian>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using nubelo::site::Exchange;

namespace {

const QString kEmail = QStringLiteral("nico@example.org");
const QString kPassword = QStringLiteral("secreto");

quint32 crc32(const QByteArray &bytes) {
    static const auto table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 c = 0xffffffffu;
    for (const char byte : bytes)
        c = table[(c ^ quint8(byte)) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

QByteArray bigEndian(quint32 value) {
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &data) {
    return bigEndian(quint32(data.size())) + type + data + bigEndian(crc32(type + data));
}

// A zlib stream of `length` zero bytes: fixed-code deflate, one literal and then matches of
// 258 bytes at distance 1, 13 bits each, so 200 MB take about 1.2 MB.
QByteArray zlibZeros(quint64 length) {
    QByteArray out("\x78\x01", 2);
    quint32 bits = 0;
    int count = 0;
    const auto put = [&](quint32 value, int n) { // least significant bit first
        bits |= value << count;
        count += n;
        while (count >= 8) {
            out.append(char(bits & 0xff));
            bits >>= 8;
            count -= 8;
        }
    };
    const auto code = [&](quint32 value, int n) { // Huffman codes go most significant bit first
        quint32 reversed = 0;
        for (int i = 0; i < n; ++i)
            reversed |= ((value >> i) & 1) << (n - 1 - i);
        put(reversed, n);
    };
    put(1, 1);     // the last block
    put(1, 2);     // fixed codes
    code(0x30, 8); // literal 0
    quint64 left = length - 1;
    for (; left >= 258; left -= 258) {
        code(0xc5, 8); // length 258
        code(0, 5);    // distance 1
    }
    for (; left > 0; --left)
        code(0x30, 8);
    code(0, 7); // end of block
    if (count > 0)
        put(0, 8 - count);
    const quint32 adler = quint32(length % 65521) << 16 | 1;
    return out + bigEndian(adler);
}

// A grey PNG of that size whose pixel data is `rawLength` zero bytes (the whole picture, black,
// when it is (width + 1) x height): tiny on disc, huge once decoded.
QByteArray zeroPng(quint32 width, quint32 height, quint64 rawLength) {
    const QByteArray header =
        bigEndian(width) + bigEndian(height) + QByteArray("\x08\x00\x00\x00\x00", 5);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
           pngChunk("IDAT", zlibZeros(rawLength)) + pngChunk("IEND", {});
}

QByteArray encode(const QImage &image, const char *format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// The most memory any child process of this test has held, in bytes.
qint64 childrenPeakRss() {
    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return qint64(usage.ru_maxrss) * 1024;
}

bool hasCapability(int capability) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("CapEff:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> capability) & 1;
    }
    return false;
}

// In the child: file permissions apply to it as to any user, root or not.
void withoutFilePrivileges() {
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
}

} // namespace

class TestHostileInput : public QObject {
    Q_OBJECT

private:
    QTemporaryDir mFiles;
    QString mGoodPhoto;
    std::unique_ptr<QTemporaryDir> mWork;
    std::unique_ptr<nubelo::site::Site> mSite;
    qint64 mBaselineRss = 0;

    QString file(const QString &name) const { return mWork->filePath(name); }

    bool write(const QString &name, const QByteArray &bytes) const {
        QFile out(file(name));
        return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"NUBELO_PLUGIN_DIR", "QT_LOGGING_RULES"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("HOME"), file(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), file(QStringLiteral("data")));
        env.insert(QStringLiteral("NUBELO_SITE_HOST"), QString::fromStdString(mSite->siteHost()));
        env.insert(QStringLiteral("NUBELO_UPLOAD_HOST"),
                   QString::fromStdString(mSite->uploadHost()));
        env.insert(QStringLiteral("NUBELO_PASSWORD"), kPassword);
        return env;
    }

    faults::ProgramRun exportPhotos(const QStringList &photos, const QString &dir,
                                    bool filePrivileges = true) const {
        const QStringList arguments =
            QStringList{QStringLiteral("--email"), kEmail, QStringLiteral("--dir"), dir} + photos;
        return faults::runProgram(faults::exportProgram(), arguments, environment(), 60000,
                                  filePrivileges ? std::function<void()>()
                                                 : std::function<void()>(withoutFilePrivileges));
    }

    int count(Exchange exchange) const {
        const auto journal = mSite->journal();
        return int(std::count_if(journal.begin(), journal.end(), [exchange](const auto &entry) {
            return entry.exchange == exchange;
        }));
    }

    // Permission tests need a child that file permissions bind. Root gets one by giving up its
    // file privileges, which takes the right to change its capabilities.
    static bool permissionsBindChildren() { return ::geteuid() != 0 || hasCapability(CAP_SETPCAP); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(mFiles.isValid());
        QVERIFY(QFileInfo(faults::exportProgram()).isExecutable());
        mGoodPhoto = mFiles.filePath(QStringLiteral("good.jpg"));
        QVERIFY(faults::testPicture(900, 600).save(mGoodPhoto));
        // What a run with a sound photo holds, for comparison with the bombs below.
        init();
        const faults::ProgramRun run = exportPhotos({mGoodPhoto}, file(QStringLiteral("scratch")));
        QVERIFY2(run.code == 0, run.describe().constData());
        mBaselineRss = childrenPeakRss();
        cleanup();
    }

    void init() {
        mWork = std::make_unique<QTemporaryDir>();
        QVERIFY(mWork->isValid());
        std::string error;
        mSite = standin::startSite(file(QStringLiteral("site")), kEmail, kPassword, &error);
        QVERIFY2(mSite, error.c_str());
    }

    void cleanup() {
        mSite.reset();
        mWork.reset();
    }

    void photo_data();
    void photo();
    void exportFolder_data();
    void exportFolder();
};

void TestHostileInput::photo_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArrayList>("says");
    QTest::addColumn<bool>("signedIn"); // refused only once the run reached the photo

    const QByteArray cutShort = "cut short: the file ends before the image does";
    // Regression: the JPEG reader filled the missing part with grey, and the photo went up.
    QTest::newRow("truncated JPEG")
        << "truncated.jpg" << 1 << QByteArrayList{"Unable to upload", cutShort} << true;
    // Regression: the BMP reader left the missing rows as whatever memory held before, and that
    // went up to the site.
    QTest::newRow("truncated BMP")
        << "truncated.bmp" << 1 << QByteArrayList{"Unable to upload", cutShort} << true;
    QTest::newRow("truncated PNG")
        << "truncated.png" << 1 << QByteArrayList{"Unable to upload", "cannot be decoded"} << true;
    QTest::newRow("header declaring 100000 x 100000 pixels")
        << "bomb.png" << 2
        << QByteArrayList{"too large (100000 x 100000 pixels, the limit is 200 megapixels)"}
        << false;
    // Below the pixel limit, but 196 MB once decoded: the image reader's allocation limit
    // refuses it before any pixel is written.
    QTest::newRow("1.2 MB of PNG decoding to 196 MB")
        << "zeros.png" << 1 << QByteArrayList{"Unable to upload", "cannot be decoded"} << true;
    QTest::newRow("not an image") << "notes.txt" << 2
                                  << QByteArrayList{"not an image that can be read"} << false;
    QTest::newRow("empty file") << "empty.jpg" << 2
                                << QByteArrayList{"not an image that can be read"} << false;
    QTest::newRow("unreadable") << "locked.jpg" << 2
                                << QByteArrayList{"cannot be read: Permission denied"} << false;
    QTest::newRow("link to /dev/zero")
        << "zero.jpg" << 2 << QByteArrayList{"not a regular file"} << false;
    QTest::newRow("link to a FIFO")
        << "fifo.jpg" << 2 << QByteArrayList{"not a regular file"} << false;
    QTest::newRow("link to a folder")
        << "folder.jpg" << 2 << QByteArrayList{"not a regular file"} << false;
    QTest::newRow("link to a file of /proc")
        << "environ.jpg" << 2 << QByteArrayList{"not an image that can be read"} << false;
    QTest::newRow("dangling link") << "gone.jpg" << 2 << QByteArrayList{"no such file"} << false;
}

void TestHostileInput::photo() {
    QFETCH(QString, kind);
    QFETCH(int, code);
    QFETCH(QByteArrayList, says);
    QFETCH(bool, signedIn);

    const QImage picture = faults::testPicture(800, 600);
    const QString path = file(kind);
    const QByteArray target = QFile::encodeName(path);
    bool filePrivileges = true;
    if (kind == QLatin1String("truncated.jpg")) {
        const QByteArray jpeg = encode(picture, "JPG");
        QVERIFY(write(kind, jpeg.left(jpeg.size() * 6 / 10)));
    } else if (kind == QLatin1String("truncated.bmp")) {
        const QByteArray bmp = encode(picture, "BMP");
        QVERIFY(write(kind, bmp.left(bmp.size() / 2)));
    } else if (kind == QLatin1String("truncated.png")) {
        const QByteArray png = encode(picture, "PNG");
        QVERIFY(write(kind, png.left(png.size() * 9 / 10)));
    } else if (kind == QLatin1String("bomb.png")) {
        QVERIFY(write(kind, zeroPng(100000, 100000, 100001)));
    } else if (kind == QLatin1String("zeros.png")) {
        QVERIFY(write(kind, zeroPng(14000, 14000, 14001ull * 14000)));
    } else if (kind == QLatin1String("notes.txt")) {
        QVERIFY(write(kind, "a shopping list, not a photo\n"));
    } else if (kind == QLatin1String("empty.jpg")) {
        QVERIFY(write(kind, {}));
    } else if (kind == QLatin1String("locked.jpg")) {
        if (!permissionsBindChildren())
            QSKIP("running as root without the right to give up file privileges: a child reads "
                  "any file");
        QVERIFY(write(kind, encode(picture, "JPG")));
        QVERIFY(QFile::setPermissions(path, {}));
        filePrivileges = false;
    } else if (kind == QLatin1String("zero.jpg")) {
        QCOMPARE(::symlink("/dev/zero", target.constData()), 0);
    } else if (kind == QLatin1String("fifo.jpg")) {
        const QByteArray fifo = QFile::encodeName(file(QStringLiteral("fifo")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QCOMPARE(::symlink(fifo.constData(), target.constData()), 0);
    } else if (kind == QLatin1String("folder.jpg")) {
        QCOMPARE(::symlink(QFile::encodeName(mFiles.path()).constData(), target.constData()), 0);
    } else if (kind == QLatin1String("environ.jpg")) {
        QCOMPARE(::symlink("/proc/self/environ", target.constData()), 0);
    } else if (kind == QLatin1String("gone.jpg")) {
        QCOMPARE(::symlink(QFile::encodeName(file(QStringLiteral("nowhere.jpg"))).constData(),
                           target.constData()),
                 0);
    }

    // The hostile photo first, a sound one after it: the run must not get to the second.
    const faults::ProgramRun run =
        exportPhotos({path, mGoodPhoto}, file(QStringLiteral("scratch")), filePrivileges);

    QVERIFY2(run.finished && !run.crashed, run.describe().constData());
    QVERIFY2(run.code == code, run.describe().constData());
    QVERIFY2(run.err.contains(QFile::encodeName(path)), run.describe().constData());
    for (const QByteArray &text : says)
        QVERIFY2(run.err.contains(text),
                 ("missing \"" + text + "\"\n" + run.describe()).constData());
    QCOMPARE(count(Exchange::Login), signedIn ? 1 : 0);
    QCOMPARE(count(Exchange::Upload), 0);
    QVERIFY(mSite->photos(kEmail.toStdString()).empty());
    QCOMPARE(int(mSite->sessionCount()), 0);
    // Not one child of this test held much more than a sound run did: no bomb went off.
    QVERIFY2(childrenPeakRss() < mBaselineRss + (100 << 20),
             qPrintable(QStringLiteral("peak %1 MB, a sound run %2 MB")
                            .arg(childrenPeakRss() >> 20)
                            .arg(mBaselineRss >> 20)));
}

void TestHostileInput::exportFolder_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("says");
    QTest::newRow("a file") << "file" << QByteArray("not a folder");
    QTest::newRow("a folder without write permission")
        << "read-only" << QByteArray("cannot write in it: Permission denied");
    QTest::newRow("to be made in a folder without write permission")
        << "read-only/inner" << QByteArray("cannot be created in");
    QTest::newRow("to be made under a file") << "file/inner" << QByteArray("Not a directory");
}

void TestHostileInput::exportFolder() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, says);
    const bool permissions = kind.startsWith(QLatin1String("read-only"));
    if (permissions && !permissionsBindChildren())
        QSKIP("running as root without the right to give up file privileges");
    QVERIFY(write(QStringLiteral("file"), "a file"));
    QVERIFY(QDir().mkpath(file(QStringLiteral("read-only"))));
    QVERIFY(QFile::setPermissions(file(QStringLiteral("read-only")),
                                  QFile::ReadOwner | QFile::ExeOwner));

    const faults::ProgramRun run = exportPhotos({mGoodPhoto}, file(kind), !permissions);

    QVERIFY2(run.finished && !run.crashed, run.describe().constData());
    QVERIFY2(run.code == 2, run.describe().constData());
    QVERIFY2(run.err.contains(says), run.describe().constData());
    QVERIFY(mSite->journal().empty());
    QVERIFY(!QFileInfo::exists(file(QStringLiteral("read-only/inner"))));
}

QTEST_GUILESS_MAIN(TestHostileInput)
#include "tst_hostileinput.moc"
