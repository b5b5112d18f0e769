// The interface-file contract, with the same rows against every kit: the Qt Widgets kit, the
// terminal kit and the scripted kit of the tests. A file binds in all of them or in none, and
// each class of widget is the same kind of control in each.

#include "ScriptedKit.h"
#include "TerminalApplication.h"
#include "qtwidgets/QtWidgetsApplication.h"

#include <QApplication>
#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A box with a label, a secure field and a button with an action, and a first view.
const QByteArray kPanel = R"(<ui version="4.0"><widget class="QGroupBox" name="panelBox">
 <property name="firstView" stdset="0"><string>goButton</string></property>
 <layout class="QVBoxLayout" name="panelLayout">
  <item><widget class="QLabel" name="accountLine"><property name="text"><string>nobody</string>
   </property></widget></item>
  <item><widget class="QLineEdit" name="secretField"><property name="echoMode">
   <enum>QLineEdit::Password</enum></property></widget></item>
  <item><widget class="QPushButton" name="goButton"><property name="action" stdset="0">
   <string>clickGo</string></property></widget></item>
 </layout></widget></ui>)";

// A `from` that stands for no file at all.
const QByteArray kNoFile = "<no file>";

class Owner : public QObject {
    Q_OBJECT
public:
    Q_INVOKABLE void clickGo(QObject *sender) { senders << sender; }
    Q_INVOKABLE void clickBare() {} // an action that does not take the sender
    QList<QObject *> senders;
};

std::unique_ptr<ui::Application> makeKit(const QString &name) {
    if (name == "Qt Widgets"_L1)
        return std::make_unique<qtwidgets::QtWidgetsApplication>();
    if (name == "terminal"_L1)
        return std::make_unique<terminal::TerminalApplication>(
            terminal::TerminalApplication::Options{STDIN_FILENO, STDERR_FILENO, false});
    return std::make_unique<scripted::ScriptedApplication>();
}

const QStringList kKits = {u"Qt Widgets"_s, u"terminal"_s, u"scripted"_s};

QString writeFile(const QTemporaryDir &dir, const QByteArray &text) {
    const QString path = dir.filePath(u"Test.ui"_s);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// Whether the widget named "probe" binds to an outlet of type `Control *`.
template <class Control> bool bindsAs(ui::Application &kit, const QString &path) {
    Control *control = nullptr;
    Owner owner;
    return bool(kit.loadInterface(path, &owner, {{u"probe"_s, &control}}));
}

} // namespace

class TestUiContract : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void binding_data() {
        QTest::addColumn<QString>("kit");
        QTest::addColumn<QByteArray>("from"); // the panel with `from` replaced by `to`
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("reason"); // empty: the panel binds
        const QList<std::tuple<const char *, QByteArray, QByteArray, const char *>> cases = {
            {"binds", {}, {}, ""},
            {"outlet missing from the file", "\"secretField\"", "\"secret\"", "secretField"},
            {"action without the sender", "clickGo", "clickBare", "clickBare"},
            {"action on a label", R"(name="accountLine">)",
             R"(name="accountLine"><property name="action"><string>clickGo</string></property>)",
             "accountLine"},
            {"first view names nothing", "<string>goButton</string>", "<string>mNothing</string>",
             "mNothing"},
            {"not a .ui file", "</ui>", "</iu>", "line"},
            {"no such file", kNoFile, {}, "Test.ui"}};
        for (const QString &kit : kKits)
            for (const auto &[name, from, to, reason] : cases)
                QTest::newRow(qPrintable(kit + u", "_s + QLatin1String(name)))
                    << kit << from << to << QString::fromLatin1(reason);
    }
    void binding() {
        QFETCH(QString, kit);
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path =
            writeFile(dir, from.isEmpty() ? kPanel : QByteArray(kPanel).replace(from, to));
        if (from == kNoFile)
            QVERIFY(QFile::remove(path));
        Owner owner;
        ui::Box *box = nullptr;
        ui::View *first = nullptr;
        ui::TextField *account = nullptr, *secret = nullptr;
        ui::Button *go = nullptr;
        const QList<ui::Outlet> outlets{{u"panelBox"_s, &box},
                                        {u"mFirstView"_s, &first},
                                        {u"accountLine"_s, &account},
                                        {u"secretField"_s, &secret},
                                        {u"goButton"_s, &go}};

        const std::unique_ptr<ui::Application> application = makeKit(kit);
        const auto loaded = application->loadInterface(path, &owner, outlets);
        const QString why = platform::describe(loaded.failure());
        if (!reason.isEmpty()) {
            QVERIFY(!loaded);
            QVERIFY2(why.contains(reason), qPrintable(why));
            // Nothing is bound when anything is missing, the good outlets included.
            QVERIFY(!box && !first && !account && !secret && !go);
            return;
        }
        QVERIFY2(loaded, qPrintable(why));
        QVERIFY(box && account && secret && go);
        QCOMPARE(first, static_cast<ui::View *>(go));
        QCOMPARE(account->stringValue(), u"nobody"_s);
        QVERIFY(secret->isSecure() && !account->isSecure());
        QVERIFY(go->performClick());
        QCOMPARE(owner.senders, QList<QObject *>{go});
    }

    void classMap_data() {
        QTest::addColumn<QString>("kit");
        QTest::addColumn<QString>("className");
        QTest::addColumn<bool>("root");
        QTest::addColumn<QString>("kind");
        const QList<std::tuple<const char *, bool, const char *>> classes = {
            {"QLabel", false, "text field"},   {"QLineEdit", false, "text field"},
            {"QTextEdit", false, "view"},      {"QPlainTextEdit", false, "view"},
            {"QPushButton", false, "button"},  {"QCheckBox", false, "button"},
            {"QToolButton", false, "button"},  {"QProgressBar", false, "progress indicator"},
            {"QComboBox", false, "combo box"}, {"QGroupBox", false, "box"},
            {"QFrame", false, "box"},          {"QWidget", true, "box"},
            {"QListWidget", false, "view"},    {"QDialog", true, "window"}};
        for (const QString &kit : kKits)
            for (const auto &[className, root, kind] : classes)
                QTest::newRow(qPrintable(kit + u", "_s + QLatin1String(className)))
                    << kit << QString::fromLatin1(className) << root << QString::fromLatin1(kind);
    }
    // Each class binds to the outlets of its kind and to no other: a view takes every control
    // but a window.
    void classMap() {
        QFETCH(QString, kit);
        QFETCH(QString, className);
        QFETCH(bool, root);
        QFETCH(QString, kind);
        const QByteArray probe = "<widget class=\"" + className.toLatin1() + "\" name=\"probe\"/>";
        QTemporaryDir dir;
        const QString path = writeFile(
            dir,
            "<ui version=\"4.0\">" +
                (root ? probe : "<widget class=\"QWidget\" name=\"w\">" + probe + "</widget>") +
                "</ui>");
        const std::unique_ptr<ui::Application> app = makeKit(kit);
        QStringList took;
        for (const auto &[name, bound] :
             {std::pair{"view", bindsAs<ui::View>(*app, path)},
              {"text field", bindsAs<ui::TextField>(*app, path)},
              {"button", bindsAs<ui::Button>(*app, path)},
              {"progress indicator", bindsAs<ui::ProgressIndicator>(*app, path)},
              {"combo box", bindsAs<ui::ComboBox>(*app, path)},
              {"box", bindsAs<ui::Box>(*app, path)},
              {"window", bindsAs<ui::Window>(*app, path)}})
            if (bound)
                took << QString::fromLatin1(name);
        QStringList expected{kind};
        if (kind != "view"_L1 && kind != "window"_L1)
            expected.prepend(u"view"_s);
        QCOMPARE(took, expected);
    }
};

QTEST_MAIN(TestUiContract)
#include "tst_uicontract.moc"
