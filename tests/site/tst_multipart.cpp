// The site's reader of the upload form, without any network.

#include "Multipart.h"

#include <QtTest>

using nubelo::site::multipartBoundary;
using nubelo::site::parseMultipart;

namespace {

// The upload form exactly as our client writes it.
QByteArray clientBody(const QByteArray &photo) {
    return "--Velkaron\r\nContent-Disposition: form-data; name=\"iPhoto.png\"; "
           "filename=\"iPhoto.png\"\r\nContent-Type: image/png\r\n\r\n" +
           photo +
           "\r\n--Velkaron\r\nContent-Disposition: form-data; name=\"func\"\r\n\r\naddq\r\n"
           "--Velkaron\r\nContent-Disposition: form-data; name=\"wf\"\r\n\r\n\r\n"
           "--Velkaron\r\nContent-Disposition: form-data; name=\"rotate\"\r\n\r\n0\r\n"
           "--Velkaron--\r\n";
}

QByteArray fields(int count) {
    QByteArray body;
    for (int i = 0; i < count; ++i)
        body += "--Velkaron\r\nContent-Disposition: form-data; name=\"f" + QByteArray::number(i) +
                "\"\r\n\r\nv\r\n";
    return body + "--Velkaron--\r\n";
}

QByteArray binaryBytes(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7919 + 13) % 256);
    return bytes;
}

nubelo::site::MultipartResult parse(const QByteArray &body, const QByteArray &boundary) {
    return parseMultipart(std::string_view(body.constData(), size_t(body.size())),
                          std::string_view(boundary.constData(), size_t(boundary.size())));
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
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QStringList>("names"); // every field, in order

    const QStringList client{"iPhoto.png", "func", "wf", "rotate"};
    const auto row = [&](const char *name, const QByteArray &photo) {
        QTest::newRow(name) << clientBody(photo) << QByteArray("Velkaron") << photo << "iPhoto.png"
                            << client;
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
    row("photo holding a second file part",
        "x\r\n--Velkaron\r\nContent-Disposition: form-data; name=\"o\"; filename=\"o\"\r\n\r\ny");
    row("photo ending like a delimiter", "data\r\n--Velkaron");
    row("photo ending with CRLF", "data\r\n\r\n");
    row("photo starting with the boundary line", "--Velkaron\r\n" + binaryBytes(40));
    QTest::newRow("closing line without CRLF")
        << clientBody("P").chopped(2) << QByteArray("Velkaron") << QByteArray("P") << "iPhoto.png"
        << client;

    QTest::newRow("browser form: quoted boundary, preamble, padding, file last")
        << QByteArray("preamble to ignore\r\n"
                      "--a'b c\r\n"
                      "content-disposition: form-data; name=func\r\n\r\n"
                      "addq\r\n"
                      "--a'b c  \r\n"
                      "Content-Disposition: form-data; name=\"photo\"; "
                      "filename=\"C:\\pics\\x\\\".png\"\r\n"
                      "Content-Type: image/png\r\n\r\n"
                      "PIXELS\r\n--a'b c--\r\n\r\n")
        << QByteArray("a'b c") << QByteArray("PIXELS") << "C:\\pics\\x\".png"
        << QStringList{"func", "photo"};
}

void TestMultipart::readsForm() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, boundary);
    QFETCH(QByteArray, photo);
    QFETCH(QString, filename);
    QFETCH(QStringList, names);

    const auto result = parse(body, boundary);
    QVERIFY2(result.ok(), result.error.c_str());
    QStringList got;
    for (const auto &part : result.parts) {
        got << QString::fromStdString(part.name);
        const QByteArray data(part.data.data(), qsizetype(part.data.size()));
        if (part.filename) {
            QCOMPARE(QString::fromStdString(*part.filename), filename);
            QCOMPARE(data, photo);
        }
        if (part.name == "func")
            QCOMPARE(data, QByteArray("addq"));
        if (part.name == "wf")
            QCOMPARE(data, QByteArray());
    }
    QCOMPARE(got, names);
}

void TestMultipart::refusesForm_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("boundary");
    QTest::addColumn<QString>("reason");

    const QByteArray good = clientBody("PHOTO");
    const auto row = [](const char *name, const QByteArray &body, const char *reason) {
        QTest::newRow(name) << body << QByteArray("Velkaron") << reason;
    };
    row("truncated body", good.left(good.size() - 20), "not closed");
    QTest::newRow("wrong boundary") << good << QByteArray("Other") << "does not contain";
    row("no parts", "--Velkaron--\r\n", "no fields");
    row("part without Content-Disposition",
        "--Velkaron\r\nContent-Type: text/plain\r\n\r\nx\r\n--Velkaron--\r\n",
        "Content-Disposition");
    row("part headers never end",
        "--Velkaron\r\nContent-Disposition: form-data; name=\"a\"\r\n" + QByteArray(9000, 'x'),
        "too long");
    row("field sent twice, its name holding a line break: the reason stays one line",
        "--Velkaron\r\nContent-Disposition: form-data; name=\"a\nb\"\r\n\r\nx\r\n"
        "--Velkaron\r\nContent-Disposition: form-data; name=\"a\nb\"\r\n\r\ny\r\n--Velkaron--\r\n",
        "the field \"a?b\" appears twice");
    row("data after the closing line", good + "junk", "follows the closing");
    row("not form-data",
        "--Velkaron\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n--Velkaron--\r\n",
        "not form-data");
    row("one part more than allowed", fields(65), "too many parts");
}

void TestMultipart::refusesForm() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, boundary);
    QFETCH(QString, reason);

    const auto result = parse(body, boundary);
    QVERIFY(!result.ok());
    QVERIFY(result.parts.empty());
    QVERIFY2(QString::fromStdString(result.error).contains(reason), result.error.c_str());
    QVERIFY(result.error.find('\n') == std::string::npos);
}

void TestMultipart::boundary_data() {
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("boundary"); // empty: refused

    QTest::newRow("quoted, after another parameter")
        << QByteArray("Multipart/Form-Data; charset=utf-8; BOUNDARY=\"x y:z\"")
        << QByteArray("x y:z");
    QTest::newRow("another type") << QByteArray("text/plain; boundary=x") << QByteArray();
    QTest::newRow("no boundary") << QByteArray("multipart/form-data") << QByteArray();
    QTest::newRow("empty boundary")
        << QByteArray("multipart/form-data; boundary=\"\"") << QByteArray();
    QTest::newRow("longest boundary")
        << "multipart/form-data; boundary=" + QByteArray(70, 'b') << QByteArray(70, 'b');
    QTest::newRow("boundary too long")
        << "multipart/form-data; boundary=" + QByteArray(71, 'b') << QByteArray();
}

void TestMultipart::boundary() {
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, boundary);

    std::string error;
    const auto got = multipartBoundary(contentType.toStdString(), &error);
    QCOMPARE(QByteArray::fromStdString(got.value_or("")), boundary);
    QCOMPARE(error.empty(), bool(got));
}

QTEST_APPLESS_MAIN(TestMultipart)
#include "tst_multipart.moc"
