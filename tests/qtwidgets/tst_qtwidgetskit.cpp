#include "NubeloExportController.h"
#include "RecordingExportMgr.h"
#include "qtwidgets/QtWidgetsApplication.h"

#include <QtTest>
#include <QtWidgets>

#include <thread>

using namespace Qt::StringLiterals;
using qtwidgets::QtWidgetsApplication;

namespace {

const QString kPanel = u":/test/TestPanel.ui"_s;
const QString kSheet = u":/test/TestSheet.ui"_s;
const QString kLoginSheet = u":/nubelo/LoginSheet.ui"_s;
const QString kAboutWindow = u":/nubelo/AboutWindow.ui"_s;

// The code a modal run ends with when the test's own action never stopped it.
constexpr int kStuck = -4242;

// Owns the actions of the test files and of the plug-in's windows.
class Owner : public QObject {
    Q_OBJECT
public:
    explicit Owner(ui::Application *kit)
        : mKit(kit) {}
    Q_INVOKABLE void clickGo(QObject *sender) { senders << sender; }
    Q_INVOKABLE void clickOk(QObject *sender) { stop(sender, 10); }
    Q_INVOKABLE void clickCancel(QObject *sender) { stop(sender, 11); }
    Q_INVOKABLE void clickAuthenticateLoginDialog(QObject *sender) { stop(sender, 10); }
    Q_INVOKABLE void clickCancelLoginDialog(QObject *sender) { stop(sender, 11); }
    Q_INVOKABLE void clickCloseAboutDialog(QObject *sender) { stop(sender, 0); }

    QList<QObject *> senders;

private:
    void stop(QObject *sender, int code) {
        senders << sender;
        mKit->stopModalWithCode(code);
    }
    ui::Application *mKit;
};

// A host window that records the keys that reach it.
class KeyRecorder : public QWidget {
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent *event) override { keys << event->key(); }
};

void place(QWidget *view, QWidget *host) {
    auto *layout = new QVBoxLayout(host);
    layout->addWidget(view);
    host->show();
}

// Stops a modal run that the test failed to end, so a fault fails the test instead of hanging.
class ModalGuard {
public:
    explicit ModalGuard(ui::Application &kit) {
        mTimer.setSingleShot(true);
        QObject::connect(&mTimer, &QTimer::timeout, [&kit] { kit.stopModalWithCode(kStuck); });
        mTimer.start(5000);
    }

private:
    QTimer mTimer;
};

// Runs `act` on the first message box shown, from inside its own loop; gives up after 5 s.
void whenMessageBoxShows(std::function<void(QMessageBox *)> act) {
    auto *poll = new QTimer;
    QElapsedTimer started;
    started.start();
    QObject::connect(poll, &QTimer::timeout, [poll, started, act] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box != nullptr && box->isVisible()) {
                poll->stop();
                poll->deleteLater();
                act(box);
                return;
            }
        }
        if (started.hasExpired(5000)) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(5);
}

} // namespace

class TestQtWidgetsKit : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void controlsDriveTheirWidgets();
    void sheetRuns_data();
    void sheetRuns();
    void boxKeys_data();
    void boxKeys();
    void pluginSettingsViewThroughTheController();
    void criticalAlertAnswersByButton_data();
    void criticalAlertAnswersByButton();
    void errorAlertShowsTheDescription();
    void performOnMainThreadFromAnotherThread();
    // Ends the application's loops for good: keep it last.
    void modalRunEndsWhenTheApplicationQuits();
};

// What the controls do to their widgets; binding itself is the contract every kit shares.
void TestQtWidgetsKit::controlsDriveTheirWidgets() {
    QtWidgetsApplication kit;
    Owner owner(&kit);
    ui::Box *box = nullptr;
    ui::TextField *account = nullptr;
    ui::ProgressIndicator *busy = nullptr;
    auto loaded = kit.loadInterface(
        kPanel, &owner,
        {{u"panelBox"_s, &box}, {u"accountLine"_s, &account}, {u"busyBar"_s, &busy}});
    QVERIFY2(loaded, qPrintable(platform::describe(loaded.failure())));
    QWidget *root = QtWidgetsApplication::widgetFor(box);
    // Regression: a label bound as a text field rendered text that looked like markup.
    QCOMPARE(root->findChild<QLabel *>(u"accountLine"_s)->textFormat(), Qt::PlainText);

    // A bar drawn busy in the file must not look busy before anyone starts it.
    auto *bar = root->findChild<QProgressBar *>(u"busyBar"_s);
    QVERIFY(!busy->isAnimating() && bar->maximum() != 0);
    busy->startAnimation();
    QVERIFY(busy->isAnimating() && bar->minimum() == 0 && bar->maximum() == 0);
    busy->stopAnimation();
    QVERIFY(!busy->isAnimating() && bar->maximum() != 0);
}

void TestQtWidgetsKit::sheetRuns_data() {
    QTest::addColumn<QString>("resource");
    QTest::addColumn<QString>("windowName");
    QTest::addColumn<bool>("attached");
    QTest::addColumn<QString>("gesture"); // a button's objectName, "Escape", "Return" or "close"
    QTest::addColumn<int>("code");

    QTest::newRow("sheet, OK clicked") << kSheet << "sheet" << true << "okButton" << 10;
    QTest::newRow("sheet, Escape") << kSheet << "sheet" << true << "Escape" << 11;
    QTest::newRow("sheet, close button") << kSheet << "sheet" << true << "close" << 11;
    QTest::newRow("lone sheet, OK clicked") << kSheet << "sheet" << false << "okButton" << 10;
    QTest::newRow("login sheet, Authenticate clicked")
        << kLoginSheet << "mLoginDialog" << true << "authenticateButton" << 10;
    QTest::newRow("login sheet, Return") << kLoginSheet << "mLoginDialog" << true << "Return" << 10;
    QTest::newRow("login sheet, Escape") << kLoginSheet << "mLoginDialog" << true << "Escape" << 11;
    QTest::newRow("login sheet, close button")
        << kLoginSheet << "mLoginDialog" << true << "close" << 11;
    QTest::newRow("about window, Close clicked")
        << kAboutWindow << "mAboutDialog" << false << "closeButton" << 0;
    QTest::newRow("about window, Escape")
        << kAboutWindow << "mAboutDialog" << false << "Escape" << 0;
}

// The dialog is on screen while its loop runs and stays there after the run until orderOut:
// the caller goes on working with the sheet shown (the login wait).
void TestQtWidgetsKit::sheetRuns() {
    QFETCH(QString, resource);
    QFETCH(QString, windowName);
    QFETCH(bool, attached);
    QFETCH(QString, gesture);
    QFETCH(int, code);

    QtWidgetsApplication kit;
    Owner owner(&kit);
    ui::Box *box = nullptr;
    auto panel = kit.loadInterface(kPanel, &owner, {{u"panelBox"_s, &box}});
    QVERIFY2(panel, qPrintable(platform::describe(panel.failure())));
    QWidget host;
    place(QtWidgetsApplication::widgetFor(box), &host);
    QVERIFY(QTest::qWaitForWindowExposed(&host));

    ui::Window *window = nullptr;
    auto sheet = kit.loadInterface(resource, &owner, {{windowName, &window}});
    QVERIFY2(sheet, qPrintable(platform::describe(sheet.failure())));
    QDialog *dialog = QtWidgetsApplication::dialogFor(window);
    QVERIFY(dialog);

    for (int round = 0; round < 2; ++round) { // the same window shown again
        kit.beginSheet(window, attached ? box : nullptr);
        QVERIFY(window->isVisible());
        if (attached) {
            QCOMPARE(dialog->windowModality(), Qt::WindowModal);
            QCOMPARE(dialog->parentWidget(), &host);
        } else {
            QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
        }

        bool shownDuringRun = false;
        QTimer::singleShot(0, dialog, [&] {
            shownDuringRun = dialog->isVisible();
            if (gesture == "Escape" || gesture == "Return") {
                QWidget *focus = dialog->focusWidget() ? dialog->focusWidget() : dialog;
                QTest::keyClick(focus, gesture == "Escape" ? Qt::Key_Escape : Qt::Key_Return);
            } else if (gesture == "close") {
                dialog->close();
            } else {
                QTest::mouseClick(dialog->findChild<QAbstractButton *>(gesture), Qt::LeftButton);
            }
        });
        const ModalGuard guard(kit);
        QCOMPARE(kit.runModalForWindow(window), code);
        QVERIFY(shownDuringRun);
        QVERIFY(window->isVisible());
        QVERIFY(!owner.senders.isEmpty());
        QVERIFY(qobject_cast<ui::Button *>(owner.senders.last()));

        kit.orderOut(window);
        kit.endSheet(window);
        QVERIFY(!window->isVisible());
    }
}

void TestQtWidgetsKit::boxKeys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("characters");
    QTest::addColumn<bool>("handled");

    QTest::newRow("Return") << int(Qt::Key_Return) << Qt::KeyboardModifiers() << "\r" << true;
    QTest::newRow("Shift+Return") << int(Qt::Key_Return) << Qt::KeyboardModifiers(Qt::ShiftModifier)
                                  << "\r" << true;
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << Qt::KeyboardModifiers(Qt::KeypadModifier)
                                  << "\x03" << true;
    QTest::newRow("Ctrl+C") << int(Qt::Key_C) << Qt::KeyboardModifiers(Qt::ControlModifier) << "c"
                            << false;
    QTest::newRow("Ctrl+Shift+C") << int(Qt::Key_C)
                                  << Qt::KeyboardModifiers(Qt::ControlModifier | Qt::ShiftModifier)
                                  << "C" << false;
    QTest::newRow("letter") << int(Qt::Key_X) << Qt::KeyboardModifiers() << "x" << false;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << Qt::KeyboardModifiers() << "\x1b" << false;
}

// A key a child leaves alone reaches the box's handler once; what the handler declines goes on
// to the window as if the box were not there.
void TestQtWidgetsKit::boxKeys() {
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, characters);
    QFETCH(bool, handled);

    QtWidgetsApplication kit;
    Owner owner(&kit);
    ui::Box *box = nullptr;
    ui::Button *go = nullptr;
    auto panel = kit.loadInterface(kPanel, &owner, {{u"panelBox"_s, &box}, {u"goButton"_s, &go}});
    QVERIFY2(panel, qPrintable(platform::describe(panel.failure())));
    QStringList seen;
    box->setKeyEquivalentHandler([&seen](const ui::KeyEvent &event) {
        seen << event.charactersIgnoringModifiers;
        return event.charactersIgnoringModifiers == "\r" ||
               event.charactersIgnoringModifiers == "\x03";
    });
    KeyRecorder host;
    place(QtWidgetsApplication::widgetFor(box), &host);

    QTest::keyClick(QtWidgetsApplication::widgetFor(go), Qt::Key(key), modifiers);
    QCOMPARE(seen, QStringList{characters});
    QCOMPARE(host.keys.contains(key), !handled);
    QVERIFY(owner.senders.isEmpty()); // the focused button was not clicked
}

// The plug-in's own files, bound by the controller: its settings view placed in a host window,
// Return there asking the host to export, Ctrl+C not.
void TestQtWidgetsKit::pluginSettingsViewThroughTheController() {
    QtWidgetsApplication kit;
    ui::setApp(&kit);
    scripted::RecordingExportMgr mgr;
    {
        NubeloExportController controller(&mgr);
        const platform::MaybeError error = controller.loadInterface();
        QVERIFY2(!error, qPrintable(platform::describe(error)));
        QWidget *view = QtWidgetsApplication::widgetFor(controller.settingsView());
        QWidget *first = QtWidgetsApplication::widgetFor(controller.firstView());
        QVERIFY(view && first);
        QVERIFY(view->isAncestorOf(first));

        // Declared after the controller: the host's window, and the view placed in it, go first.
        KeyRecorder host;
        place(view, &host);
        QTest::keyClick(first, Qt::Key_Return);
        QCOMPARE(mgr.clicks, 1);
        QTest::keyClick(first, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(mgr.clicks, 2);
        QTest::keyClick(first, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(mgr.clicks, 2);
        QVERIFY(host.keys.contains(Qt::Key_C)); // Qt's turn: a copy, say
        QVERIFY(!host.keys.contains(Qt::Key_Return) && !host.keys.contains(Qt::Key_Enter));
    }
    ui::setApp(nullptr);
}

void TestQtWidgetsKit::criticalAlertAnswersByButton_data() {
    QTest::addColumn<QString>("alternate");
    QTest::addColumn<QString>("other");
    QTest::addColumn<QString>("press"); // a button's text, "Escape", "close" or "loop ended"
    QTest::addColumn<int>("answer");

    const QString cancel = u"Cancel"_s;
    QTest::newRow("default") << cancel << "Later"
                             << "Replace" << int(ui::AlertDefaultReturn);
    QTest::newRow("alternate") << cancel << "Later"
                               << "Cancel" << int(ui::AlertAlternateReturn);
    QTest::newRow("other") << cancel << "Later"
                           << "Later" << int(ui::AlertOtherReturn);
    QTest::newRow("Escape") << cancel << "Later"
                            << "Escape" << int(ui::AlertAlternateReturn);
    QTest::newRow("Escape, no other button")
        << cancel << QString() << "Escape" << int(ui::AlertAlternateReturn);
    // The plug-in's "File exists" question: Replace, and Cancel as the other button. Regression:
    // Escape and the close button did nothing, and a loop that ended answered Replace.
    for (const char *press : {"Escape", "close", "loop ended"})
        QTest::addRow("Replace or Cancel, %s", press)
            << QString() << cancel << press << int(ui::AlertOtherReturn);
    QTest::newRow("Replace or Cancel, Replace")
        << QString() << cancel << "Replace" << int(ui::AlertDefaultReturn);
}

void TestQtWidgetsKit::criticalAlertAnswersByButton() {
    QFETCH(QString, alternate);
    QFETCH(QString, other);
    QFETCH(QString, press);
    QFETCH(int, answer);

    QtWidgetsApplication kit;
    QStringList shown;
    whenMessageBoxShows([&](QMessageBox *box) {
        shown << box->text() << box->informativeText();
        QStringList buttons;
        QAbstractButton *toClick = nullptr;
        for (QAbstractButton *button : box->buttons()) {
            buttons << button->text();
            if (button->text() == press)
                toClick = button;
        }
        buttons.sort();
        shown << buttons;
        if (press == u"Escape"_s)
            QTest::keyClick(box, Qt::Key_Escape);
        else if (press == u"close"_s)
            box->close(); // what the window's close button asks
        else if (press == u"loop ended"_s)
            box->hide();
        else if (toClick != nullptr)
            toClick->click();
    });
    QCOMPARE(kit.runCriticalAlertPanel(u"Files exist"_s, u"Replace them?"_s, u"Replace"_s,
                                       alternate, other),
             answer);
    QStringList buttons{u"Replace"_s};
    for (const QString &button : {alternate, other})
        if (!button.isNull())
            buttons << button;
    buttons.sort();
    buttons.prepend(u"Replace them?"_s);
    buttons.prepend(u"Files exist"_s);
    QCOMPARE(shown, buttons);
}

void TestQtWidgetsKit::errorAlertShowsTheDescription() {
    QtWidgetsApplication kit;
    QStringList texts;
    whenMessageBoxShows([&texts](QMessageBox *box) {
        texts << box->text();
        for (QAbstractButton *button : box->buttons())
            texts << button->text();
        box->buttons().constFirst()->click();
    });
    kit.presentError({u"NSURLErrorDomain"_s, -1004, u"Could not connect to the server."_s});
    QCOMPARE(texts, (QStringList{u"Could not connect to the server."_s, u"OK"_s}));
}

// The export thread's end-of-run toggle: carried out on the main thread while that thread sits
// in a sheet's modal run, and the caller goes on only once it is done.
void TestQtWidgetsKit::performOnMainThreadFromAnotherThread() {
    QtWidgetsApplication kit;
    Owner owner(&kit);
    ui::Window *window = nullptr;
    auto sheet = kit.loadInterface(kSheet, &owner, {{u"sheet"_s, &window}});
    QVERIFY2(sheet, qPrintable(platform::describe(sheet.failure())));
    kit.beginSheet(window, nullptr);

    QThread *ranOn = nullptr;
    bool doneBeforeReturn = false;
    std::thread worker([&] {
        bool done = false;
        kit.performOnMainThread([&] {
            ranOn = QThread::currentThread();
            kit.stopModalWithCode(7);
            done = true;
        });
        doneBeforeReturn = done;
    });
    const ModalGuard guard(kit);
    const int code = kit.runModalForWindow(window);
    worker.join();
    QCOMPARE(code, 7);
    QCOMPARE(ranOn, QThread::currentThread());
    QVERIFY(doneBeforeReturn);
    kit.orderOut(window);
}

// After the application is told to quit every new local loop returns at once. A caller that
// runs its sheet again until a button stops it would spin for ever; the run ends through the
// window's cancel action instead.
void TestQtWidgetsKit::modalRunEndsWhenTheApplicationQuits() {
    QtWidgetsApplication kit;
    Owner owner(&kit);
    ui::Window *window = nullptr;
    auto sheet = kit.loadInterface(kSheet, &owner, {{u"sheet"_s, &window}});
    QVERIFY2(sheet, qPrintable(platform::describe(sheet.failure())));
    kit.beginSheet(window, nullptr);

    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    const ModalGuard guard(kit);
    QCOMPARE(kit.runModalForWindow(window), 11); // the quit ends the running loop
    QCOMPARE(kit.runModalForWindow(window), 11); // and every later run at once
    QVERIFY(window->isVisible());
    kit.orderOut(window);
}

QTEST_MAIN(TestQtWidgetsKit)
#include "tst_qtwidgetskit.moc"
