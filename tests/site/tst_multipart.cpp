// The site's reader of the upload form, without any network.

#include "Multipart.h"

#include <QtTest>

using nubelo::site::multipartBoundary;
using nubelo::site::parseMultipart;

namespace {

QByteArray sv(std::string_view v) {
    return QByteArray(v.data(), static_cast<qsizetype>(v.size()));
}

// The upload form exactly as our client writes it.
QByteArray clientBody(const QByteArray &photo) {
    QByteArray b;
    b += "--Velkaron\r\n";
    b += "Content-Disposition: form-data; name=\"iPhoto.png\"; filename=\"iPhoto.png\"\r\n";
    b += "Content-Type: image/png\r\n\r\n";
    b += photo;
    b += "\r\n--Velkaron\r\n";
    b += "Content-Disposition: form-data; name=\"func\"\r\n\r\n";
    b += "addq\r\n";
    b += "--Velkaron\r\n";
    b += "Content-Disposition: form-data; name=\"wf\"\r\n\r\n\r\n";
    b += "--Velkaron\r\n";
    b += "Content-Disposition: form-data; name=\"rotate\"\r\n\r\n";
    b += "0\r\n";
    b += "--Velkaron--\r\n";
    return b;
}

QByteArray binaryBytes(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7919 + 13) % 256);
    return bytes;
}

} // namespace

class TestMultipart : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsForm_data();
    void readsForm();
    void refusesForm_data();
    void refusesForm();
    void boundary_data();
    void boundary();
};

void TestMultipart::readsForm_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("boundary");
    QTest::addColumn<QByteArray>("photo");
    QTest::addColumn<QStringList>("names"); // every field, in order

    const QStringList client{"iPhoto.png", "func", "wf", "rotate"};
    const auto row = [&](const char *name, const QByteArray &photo) {
        QTest::newRow(name) << clientBody(photo) << QByteArray("Velkaron") << photo << client;
    };
    row("client form, binary photo", QByteArray("\x89PNG\r\n\x1a\n", 8) + binaryBytes(5000));
    row("client form, empty photo", QByteArray());
    row("photo holding the bare boundary word", "ab--Velkaron--cd--Velkaron");
    row("photo holding a delimiter line and then photo bytes",
        "x\r\n--Velkaron\r\n" + binaryBytes(300) + "\r\n\r\nmore");
    row("photo holding a false closing line", "x\r\n--Velkaron--\r\nthe rest");
    row("photo holding a whole func part",
        "x\r\n--Velkaron\r\nContent-Disposition: form-data; name=\"func\"\r\n\r\naddq" +
            binaryBytes(64));
    row("photo ending like a delimiter", "data\r\n--Velkaron");
    row("photo ending with CRLF", "data\r\n\r\n");
    row("photo starting with the boundary line", "--Velkaron\r\n" + binaryBytes(40));

    QTest::newRow("browser form: quoted boundary, preamble, padding, file last")
        << QByteArray(
               "preamble to ignore\r\n"
               "--a'b c\r\n"
               "content-disposition: form-data; name=func\r\n\r\n"
               "addq\r\n"
               "--a'b c  \r\n"
               "Content-Disposition: form-data; name=\"photo\"; filename=\"C:\\pics\\x.png\"\r\n"
               "Content-Type: image/png\r\n\r\n"
               "PIXELS\r\n--a'b c--\r\n\r\n")
        << QByteArray("a'b c") << QByteArray("PIXELS") << QStringList{"func", "photo"};
}

void TestMultipart::readsForm() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, boundary);
    QFETCH(QByteArray, photo);
    QFETCH(QStringList, names);

    const auto result = parseMultipart(std::string_view(body.constData(), body.size()),
                                       std::string_view(boundary.constData(), boundary.size()));
    QVERIFY2(result.ok(), result.error.c_str());
    QStringList got;
    QByteArray file;
    for (const auto &part : result.parts) {
        got << QString::fromStdString(part.name);
        if (part.filename)
            file = sv(part.data);
        if (part.name == "func")
            QCOMPARE(sv(part.data), QByteArray("addq"));
        if (part.name == "wf")
            QCOMPARE(sv(part.data), QByteArray());
    }
    QCOMPARE(got, names);
    QCOMPARE(file, photo);
}

void TestMultipart::refusesForm_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("boundary");
    QTest::addColumn<QString>("reason");

    const QByteArray good = clientBody("PHOTO");
    QTest::newRow("truncated body")
        << good.left(good.size() - 20) << QByteArray("Velkaron") << "not closed";
    QTest::newRow("truncated inside the photo")
        << good.left(120) << QByteArray("Velkaron") << "not closed";
    QTest::newRow("wrong boundary") << good << QByteArray("Other") << "does not contain";
    QTest::newRow("no parts") << QByteArray("--Velkaron--\r\n") << QByteArray("Velkaron")
                              << "no fields";
    QTest::newRow("part without Content-Disposition")
        << QByteArray("--Velkaron\r\nContent-Type: text/plain\r\n\r\nx\r\n--Velkaron--\r\n")
        << QByteArray("Velkaron") << "Content-Disposition";
    QTest::newRow("part headers never end")
        << QByteArray("--Velkaron\r\nContent-Disposition: form-data; name=\"a\"\r\n") +
               QByteArray(9000, 'x')
        << QByteArray("Velkaron") << "too long";
    QTest::newRow("field sent twice")
        << QByteArray("--Velkaron\r\nContent-Disposition: form-data; name=\"func\"\r\n\r\naddq\r\n"
                      "--Velkaron\r\nContent-Disposition: form-data; name=\"func\"\r\n\r\nx\r\n"
                      "--Velkaron--\r\n")
        << QByteArray("Velkaron") << "twice";
    QTest::newRow("field sent twice, its name holding a line break: the reason stays one line")
        << QByteArray("--Velkaron\r\nContent-Disposition: form-data; name=\"a\nb\"\r\n\r\nx\r\n"
                      "--Velkaron\r\nContent-Disposition: form-data; name=\"a\nb\"\r\n\r\ny\r\n"
                      "--Velkaron--\r\n")
        << QByteArray("Velkaron") << "the field \"a?b\" appears twice";
    QTest::newRow("data after the closing line")
        << good + "junk" << QByteArray("Velkaron") << "follows the closing";
    QTest::newRow("not form-data")
        << QByteArray("--Velkaron\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n"
                      "--Velkaron--\r\n")
        << QByteArray("Velkaron") << "not form-data";
}

void TestMultipart::refusesForm() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, boundary);
    QFETCH(QString, reason);

    const auto result = parseMultipart(std::string_view(body.constData(), body.size()),
                                       std::string_view(boundary.constData(), boundary.size()));
    QVERIFY(!result.ok());
    QVERIFY(result.parts.empty());
    QVERIFY2(QString::fromStdString(result.error).contains(reason), result.error.c_str());
    QVERIFY(result.error.find('\n') == std::string::npos);
}

void TestMultipart::boundary_data() {
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("boundary"); // empty: refused

    QTest::newRow("client") << QByteArray("multipart/form-data; boundary=Velkaron")
                            << QByteArray("Velkaron");
    QTest::newRow("quoted, after another parameter")
        << QByteArray("Multipart/Form-Data; charset=utf-8; BOUNDARY=\"x y:z\"")
        << QByteArray("x y:z");
    QTest::newRow("another type") << QByteArray("text/plain; boundary=x") << QByteArray();
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << QByteArray();
    QTest::newRow("empty boundary")
        << QByteArray("multipart/form-data; boundary=\"\"") << QByteArray();
    QTest::newRow("boundary too long")
        << "multipart/form-data; boundary=" + QByteArray(71, 'b') << QByteArray();
}

void TestMultipart::boundary() {
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, boundary);

    std::string error;
    const auto got = multipartBoundary(contentType.toStdString(), &error);
    if (boundary.isEmpty()) {
        QVERIFY(!got);
        QVERIFY(!error.empty());
    } else {
        QVERIFY2(got, error.c_str());
        QCOMPARE(QByteArray::fromStdString(*got), boundary);
    }
}

QTEST_APPLESS_MAIN(TestMultipart)
#include "tst_multipart.moc"
