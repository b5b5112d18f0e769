// What only the Qt Widgets kit does: its dialogs' gestures, its alerts and its loops. Binding is
// the contract every kit shares (tst_uicontract); the plug-in's own windows and their keys in a
// running program are the GUI test's.

#include "qtwidgets/QtWidgetsApplication.h"

#include <QtTest>
#include <QtWidgets>

using namespace Qt::StringLiterals;
using qtwidgets::QtWidgetsApplication;

namespace {

const QString kPanel = u":/test/TestPanel.ui"_s;
const QString kSheet = u":/test/TestSheet.ui"_s;

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

// Stops a modal run that the test failed to end, so a fault fails the test instead of hanging;
// the guard's end disarms it.
std::unique_ptr<QObject> modalGuard(ui::Application &kit) {
    auto guard = std::make_unique<QObject>();
    QTimer::singleShot(5000, guard.get(), [&kit] { kit.stopModalWithCode(kStuck); });
    return guard;
}

} // namespace

class TestQtWidgetsKit : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void controlsDriveTheirWidgets() {
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
        QVERIFY(busy->isAnimating() && bar->maximum() == 0);
        busy->stopAnimation();
        QVERIFY(!busy->isAnimating() && bar->maximum() != 0);
    }

    void sheetRuns_data() {
        QTest::addColumn<QString>("resource");
        QTest::addColumn<QString>("windowName");
        QTest::addColumn<bool>("attached");
        QTest::addColumn<QString>(
            "gesture"); // a button's objectName, "Escape", "Return" or "close"
        QTest::addColumn<int>("code");
        const QString login = u":/nubelo/LoginSheet.ui"_s, about = u":/nubelo/AboutWindow.ui"_s;
        QTest::newRow("sheet, Escape") << kSheet << "sheet" << true << "Escape" << 11;
        QTest::newRow("sheet, close button") << kSheet << "sheet" << true << "close" << 11;
        QTest::newRow("lone sheet, OK clicked") << kSheet << "sheet" << false << "okButton" << 10;
        QTest::newRow("login sheet, Return") << login << "mLoginDialog" << true << "Return" << 10;
        QTest::newRow("login sheet, Escape") << login << "mLoginDialog" << true << "Escape" << 11;
        QTest::newRow("about window, Escape") << about << "mAboutDialog" << false << "Escape" << 0;
    }

    // The dialog is on screen while its loop runs and stays there after the run until orderOut:
    // the caller goes on working with the sheet shown (the login wait). Shown twice.
    void sheetRuns() {
        QFETCH(QString, resource);
        QFETCH(QString, windowName);
        QFETCH(bool, attached);
        QFETCH(QString, gesture);
        QFETCH(int, code);

        QtWidgetsApplication kit;
        Owner owner(&kit);
        ui::Box *box = nullptr;
        ui::Window *window = nullptr;
        auto panel = kit.loadInterface(kPanel, &owner, {{u"panelBox"_s, &box}});
        auto sheet = kit.loadInterface(resource, &owner, {{windowName, &window}});
        QVERIFY(panel && sheet);
        QWidget host;
        (new QVBoxLayout(&host))->addWidget(QtWidgetsApplication::widgetFor(box));
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        QDialog *dialog = QtWidgetsApplication::dialogFor(window);

        for (int round = 0; round < 2; ++round) {
            kit.beginSheet(window, attached ? box : nullptr);
            QVERIFY(window->isVisible());
            QCOMPARE(dialog->windowModality(), attached ? Qt::WindowModal : Qt::ApplicationModal);
            if (attached)
                QCOMPARE(dialog->parentWidget(), &host);

            bool shownDuringRun = false;
            QTimer::singleShot(0, dialog, [&] {
                shownDuringRun = dialog->isVisible();
                QWidget *focus = dialog->focusWidget() ? dialog->focusWidget() : dialog;
                if (gesture == "Escape" || gesture == "Return")
                    QTest::keyClick(focus, gesture == "Escape" ? Qt::Key_Escape : Qt::Key_Return);
                else if (gesture == "close")
                    dialog->close();
                else
                    QTest::mouseClick(dialog->findChild<QAbstractButton *>(gesture),
                                      Qt::LeftButton);
            });
            const auto guard = modalGuard(kit);
            QCOMPARE(kit.runModalForWindow(window), code);
            QVERIFY(shownDuringRun && window->isVisible());
            QVERIFY(!owner.senders.isEmpty() && qobject_cast<ui::Button *>(owner.senders.last()));
            kit.orderOut(window);
            kit.endSheet(window);
            QVERIFY(!window->isVisible());
        }
    }

    void criticalAlertAnswersByButton_data() {
        QTest::addColumn<QString>("alternate");
        QTest::addColumn<QString>("other");
        QTest::addColumn<QString>("press"); // a button's text, "Escape", "close" or "loop ended"
        QTest::addColumn<int>("answer");
        const QString cancel = u"Cancel"_s, later = u"Later"_s;
        QTest::newRow("alternate") << cancel << later << "Cancel" << int(ui::AlertAlternateReturn);
        QTest::newRow("other") << cancel << later << "Later" << int(ui::AlertOtherReturn);
        QTest::newRow("Escape") << cancel << later << "Escape" << int(ui::AlertAlternateReturn);
        // The plug-in's "File exists" question: Replace, and Cancel as the other button.
        // Regression: Escape and the close button did nothing, and a loop that ended answered
        // Replace.
        for (const char *press : {"Escape", "close", "loop ended"})
            QTest::addRow("Replace or Cancel, %s", press)
                << QString() << cancel << press << int(ui::AlertOtherReturn);
        QTest::newRow("Replace or Cancel, Replace")
            << QString() << cancel << "Replace" << int(ui::AlertDefaultReturn);
    }

    void criticalAlertAnswersByButton() {
        QFETCH(QString, alternate);
        QFETCH(QString, other);
        QFETCH(QString, press);
        QFETCH(int, answer);

        QtWidgetsApplication kit;
        // From inside the alert's own loop.
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            if (press == u"Escape"_s)
                QTest::keyClick(box, Qt::Key_Escape);
            else if (press == u"close"_s)
                box->close(); // what the window's close button asks
            else if (press == u"loop ended"_s)
                box->hide();
            for (QAbstractButton *button : box->buttons())
                if (button->text() == press)
                    button->click();
        });
        QCOMPARE(kit.runCriticalAlertPanel(u"Files exist"_s, u"Replace them?"_s, u"Replace"_s,
                                           alternate, other),
                 answer);
    }

    // After the application is told to quit every new local loop returns at once. A caller that
    // runs its sheet again until a button stops it would spin for ever; the run ends through the
    // window's cancel action instead. It ends the application's loops for good: keep it last.
    void modalRunEndsWhenTheApplicationQuits() {
        QtWidgetsApplication kit;
        Owner owner(&kit);
        ui::Window *window = nullptr;
        const auto bound = kit.loadInterface(kSheet, &owner, {{u"sheet"_s, &window}});
        QVERIFY(bound);
        kit.beginSheet(window, nullptr);

        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        const auto guard = modalGuard(kit);
        QCOMPARE(kit.runModalForWindow(window), 11); // the quit ends the running loop
        QCOMPARE(kit.runModalForWindow(window), 11); // and every later run at once
        QVERIFY(window->isVisible());
        kit.orderOut(window);
    }
};

QTEST_MAIN(TestQtWidgetsKit)
#include "tst_qtwidgetskit.moc"
