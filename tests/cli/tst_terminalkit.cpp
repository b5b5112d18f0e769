// The terminal UI kit over the plug-in's own interface files: what a person can click, the
// conversation a modal run turns into (with and without a person at a terminal), critical
// alert panels, interrupts, and no echo for secure fields on a real pseudo-terminal.

#include "TerminalApplication.h"
#include "TerminalControls.h"

#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kAuthenticate = 10;
constexpr int kCancel = 11;

QString uiFile(const char *name) {
    return qEnvironmentVariable("NUBELO_SOURCE_DIR") + QStringLiteral("/plugin/ui/") +
           QLatin1String(name);
}

// A pipe whose ends close with it.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        closeWrite();
        if (read >= 0)
            ::close(read);
    }
    void put(const QByteArray &bytes) const {
        QVERIFY(::write(write, bytes.constData(), size_t(bytes.size())) == bytes.size());
    }
    void closeWrite() {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
    // Everything there now, without waiting.
    QByteArray drain() const {
        QByteArray all;
        char buffer[4096];
        for (;;) {
            struct pollfd fd = {read, POLLIN, 0};
            if (::poll(&fd, 1, 0) <= 0 || (fd.revents & POLLIN) == 0)
                break;
            const ssize_t got = ::read(read, buffer, sizeof buffer);
            if (got <= 0)
                break;
            all.append(buffer, got);
        }
        return all;
    }
};

// Reads `fd` into `screen` until `text` is there; gives up after 5 s without output.
void readUntil(int fd, const char *text, QByteArray &screen) {
    char buffer[512];
    while (!screen.contains(text)) {
        struct pollfd ready = {fd, POLLIN, 0};
        if (::poll(&ready, 1, 5000) <= 0)
            return;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return;
        screen.append(buffer, got);
    }
}

} // namespace

// Stands in for the plug-in's controller: the actions the interface files name, and the
// outlets of the login sheet.
class Owner : public QObject {
    Q_OBJECT
public:
    Q_INVOKABLE void clickAuthenticateLoginDialog(QObject *) { ui::app()->stopModalWithCode(10); }
    Q_INVOKABLE void clickCancelLoginDialog(QObject *) { ui::app()->stopModalWithCode(11); }
    Q_INVOKABLE void clickLoginLogout(QObject *) { ++toggles; }
    Q_INVOKABLE void clickSugerencias(QObject *) {}
    Q_INVOKABLE void clickAbout(QObject *) {}

    QList<ui::Outlet> sheetOutlets() {
        return {{QStringLiteral("mLoginDialog"), &mLoginDialog},
                {QStringLiteral("mLoginUsername"), &mLoginUsername},
                {QStringLiteral("mLoginPassword"), &mLoginPassword},
                {QStringLiteral("mLoginErrorMessage"), &mLoginErrorMessage}};
    }
    // The sheet as the account panel runs it: one modal run.
    int runSheet() {
        ui::app()->beginSheet(mLoginDialog, nullptr);
        return ui::app()->runModalForWindow(mLoginDialog);
    }
    void showError(const QString &text) {
        mLoginErrorMessage->setStringValue(text);
        mLoginErrorMessage->setHidden(false);
    }

    int toggles = 0;
    ui::Window *mLoginDialog = nullptr;
    ui::TextField *mLoginUsername = nullptr;
    ui::TextField *mLoginPassword = nullptr;
    ui::TextField *mLoginErrorMessage = nullptr;
};

class TestTerminalKit : public QObject {
    Q_OBJECT

private:
    struct Kit {
        Pipe input;
        Pipe output;
        std::unique_ptr<terminal::TerminalApplication> app;
        Owner owner;
        std::unique_ptr<QObject> sheet;

        explicit Kit(bool interactive) {
            app = std::make_unique<terminal::TerminalApplication>(
                terminal::TerminalApplication::Options{input.read, output.write, interactive});
            ui::setApp(app.get());
        }
        bool loadSheet() {
            auto loaded = app->loadInterface(uiFile("LoginSheet.ui"), &owner, owner.sheetOutlets());
            if (!loaded)
                qWarning() << loaded.error().localizedDescription;
            else
                sheet = std::move(*loaded);
            return sheet != nullptr;
        }
    };

private Q_SLOTS:
    // A person reaches only what is on screen: not a hidden button, nor one in a window that
    // is not shown yet.
    void clicksReachOnlyWhatIsShown() {
        Kit kit(false);
        auto settings = kit.app->loadInterface(uiFile("SettingsView.ui"), &kit.owner, {});
        QVERIFY2(settings, qPrintable(platform::describe(settings.failure())));
        QVERIFY(kit.app->click(QStringLiteral("mAuthenticate")));
        QCOMPARE(kit.owner.toggles, 1);
        QVERIFY(!kit.app->click(QStringLiteral("mHelp")));
        QVERIFY(kit.loadSheet());
        QVERIFY(!kit.app->click(QStringLiteral("cancelButton")));
    }

    // Without a person the kit never reads its input: it takes what it was given once, presses
    // the default button, and a second run counts as Cancel after printing the status line.
    void withoutATerminalTakesGivenValuesThenCancels() {
        Kit kit(false);
        QVERIFY(kit.loadSheet());
        kit.input.put("typed by nobody\n");
        kit.app->setGivenValue(QStringLiteral("mLoginUsername"), QStringLiteral("ana@example.org"));
        kit.app->setGivenValue(QStringLiteral("mLoginPassword"), QStringLiteral("s3cret"));

        QCOMPARE(kit.owner.runSheet(), kAuthenticate);
        QCOMPARE(kit.owner.mLoginUsername->stringValue(), QStringLiteral("ana@example.org"));
        QCOMPARE(kit.owner.mLoginPassword->stringValue(), QStringLiteral("s3cret"));

        kit.owner.showError(QStringLiteral("Atuthentication failed. Please review and try again!"));
        QCOMPARE(kit.app->runModalForWindow(kit.owner.mLoginDialog), kCancel);
        kit.app->endSheet(kit.owner.mLoginDialog);

        const QByteArray output = kit.output.drain();
        QVERIFY(output.contains("Atuthentication failed. Please review and try again!\n"));
        QVERIFY(!output.contains("s3cret"));
        QCOMPARE(kit.input.drain(), QByteArray("typed by nobody\n"));
    }

    void atATerminalAsksForFieldsThenButtons_data() {
        QTest::addColumn<QByteArray>("typing");
        QTest::addColumn<QString>("shownEmail");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::newRow("Return presses the default button")
            << QByteArray("me@example.org\npw\n\n") << QString() << kAuthenticate
            << "me@example.org"
            << "pw";
        QTest::newRow("Return keeps the address shown")
            << QByteArray("\npw\n\n") << "old@example.org" << kAuthenticate << "old@example.org"
            << "pw";
        QTest::newRow("button by the start of its title")
            << QByteArray("a@b\npw\nca\n") << QString() << kCancel << "a@b"
            << "pw";
        QTest::newRow("button by its number in tab order")
            << QByteArray("a@b\npw\n2\n") << QString() << kCancel << "a@b"
            << "pw";
        QTest::newRow("an unclear answer is asked again")
            << QByteArray("a@b\npw\nx\nAUTH\n") << QString() << kAuthenticate << "a@b"
            << "pw";
        QTest::newRow("end of input cancels")
            << QByteArray("a@b\n") << QString() << kCancel << "a@b" << QString();
        QTest::newRow("a line without its newline still counts")
            << QByteArray("a@b\npw\r\n1") << QString() << kAuthenticate << "a@b"
            << "pw";
    }
    void atATerminalAsksForFieldsThenButtons() {
        QFETCH(QByteArray, typing);
        QFETCH(QString, shownEmail);
        QFETCH(int, code);
        QFETCH(QString, email);
        QFETCH(QString, password);
        Kit kit(true);
        QVERIFY(kit.loadSheet());
        if (!shownEmail.isNull())
            kit.owner.mLoginUsername->setStringValue(shownEmail);
        kit.input.put(typing);
        kit.input.closeWrite();

        QCOMPARE(kit.owner.runSheet(), code);
        QCOMPARE(kit.owner.mLoginUsername->stringValue(), email);
        QCOMPARE(kit.owner.mLoginPassword->stringValue(), password);
        const QByteArray output = kit.output.drain();
        QVERIFY(output.startsWith("Sign in to Nubelo\n"));
        const qsizetype emailPrompt = output.indexOf("E-mail");
        QVERIFY(emailPrompt > 0);
        if (!password.isNull()) {
            QVERIFY(output.indexOf("Password: ") > emailPrompt);
            QVERIFY(output.contains("Authenticate / Cancel [Authenticate]? "));
        }
    }

    // The sheet's error line comes before the next prompt, and the title only once a showing.
    void aStatusLineComesBeforeTheNextPrompt() {
        Kit kit(true);
        QVERIFY(kit.loadSheet());
        kit.input.put("a@b\nwrong\n\n\nright\n\n");
        QCOMPARE(kit.owner.runSheet(), kAuthenticate);
        kit.owner.showError(QStringLiteral("Atuthentication failed. Please review and try again!"));
        QCOMPARE(kit.app->runModalForWindow(kit.owner.mLoginDialog), kAuthenticate);
        QCOMPARE(kit.owner.mLoginPassword->stringValue(), QStringLiteral("right"));

        const QByteArray output = kit.output.drain();
        QCOMPARE(output.count("Sign in to Nubelo"), 1);
        const qsizetype error = output.indexOf("Atuthentication failed.");
        QVERIFY(error > output.indexOf("? "));
        QVERIFY(output.indexOf("E-mail [a@b]: ") > error);
    }

    void criticalAlertPanel_data() {
        QTest::addColumn<bool>("interactive");
        QTest::addColumn<int>("standing");
        QTest::addColumn<QString>("other");
        QTest::addColumn<QByteArray>("typing");
        QTest::addColumn<bool>("interrupt");
        QTest::addColumn<int>("answer");
        const int none = 99;
        const QString cancel = QStringLiteral("Cancel");
        QTest::newRow("the host's standing answer")
            << false << int(ui::AlertDefaultReturn) << cancel << QByteArray() << false
            << int(ui::AlertDefaultReturn);
        QTest::newRow("no person: the other button")
            << false << none << cancel << QByteArray() << false << int(ui::AlertOtherReturn);
        QTest::newRow("no person, no other button: the default")
            << false << none << QString() << QByteArray() << false << int(ui::AlertDefaultReturn);
        QTest::newRow("a person picks by title") << true << none << cancel << QByteArray("cancel\n")
                                                 << false << int(ui::AlertOtherReturn);
        QTest::newRow("Return picks the default")
            << true << none << cancel << QByteArray("\n") << false << int(ui::AlertDefaultReturn);
        QTest::newRow("end of input: the other button")
            << true << none << cancel << QByteArray() << false << int(ui::AlertOtherReturn);
        QTest::newRow("interrupted: the other button, nothing read")
            << true << none << cancel << QByteArray("\n") << true << int(ui::AlertOtherReturn);
    }
    void criticalAlertPanel() {
        QFETCH(bool, interactive);
        QFETCH(int, standing);
        QFETCH(QString, other);
        QFETCH(QByteArray, typing);
        QFETCH(bool, interrupt);
        QFETCH(int, answer);
        Kit kit(interactive);
        if (standing != 99)
            kit.app->setCriticalAlertAnswer(standing);
        if (interrupt)
            kit.app->setInterruptSource({-1, [] {
                                             return true;
                                         }});
        kit.input.put(typing);
        kit.input.closeWrite();
        QCOMPARE(kit.app->runCriticalAlertPanel(QStringLiteral("File exists"),
                                                QStringLiteral("One or more images already "
                                                               "exist in directory."),
                                                QStringLiteral("Replace"), QString(), other),
                 answer);
        QVERIFY(kit.output.drain().startsWith(
            "File exists\nOne or more images already exist in directory.\n"));
        if (interrupt)
            QCOMPARE(kit.input.drain(), typing);
    }

    // Ctrl-C at a prompt: the read gives up at once and the sheet is cancelled.
    void anInterruptCancelsAPrompt() {
        Kit kit(true);
        QVERIFY(kit.loadSheet());
        Pipe wake;
        std::atomic<bool> pending{false};
        kit.app->setInterruptSource({wake.read, [&pending] {
                                         return pending.load();
                                     }});
        std::thread presser([&] {
            // Once the kit waits at its first prompt, the interrupt arrives.
            QByteArray screen;
            readUntil(kit.output.read, "E-mail: ", screen);
            pending = true;
            [[maybe_unused]] const ssize_t wrote = ::write(wake.write, "i", 1);
        });
        const int code = kit.owner.runSheet();
        presser.join();
        QCOMPARE(code, kCancel);
        QCOMPARE(kit.owner.mLoginUsername->stringValue(), QString());
    }

    // On a real terminal the password is not echoed, and the terminal's settings come back.
    void aSecureFieldIsNotEchoed() {
        int master = -1;
        int slave = -1;
        QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        struct termios before {};
        QCOMPARE(::tcgetattr(slave, &before), 0);
        QVERIFY(before.c_lflag & ECHO);
        terminal::TerminalApplication app({slave, slave, true});
        ui::setApp(&app);
        Owner owner;
        auto sheet = app.loadInterface(uiFile("LoginSheet.ui"), &owner, owner.sheetOutlets());
        QVERIFY2(sheet, qPrintable(platform::describe(sheet.failure())));

        QByteArray screen;
        std::thread person([&] {
            const auto waitFor = [&](const char *text) {
                readUntil(master, text, screen);
            };
            waitFor("E-mail: ");
            [[maybe_unused]] ssize_t wrote = ::write(master, "ana@b\n", 6);
            waitFor("Password: ");
            wrote = ::write(master, "hunter2\n", 8);
            waitFor("? ");
            wrote = ::write(master, "\n", 1);
            waitFor("Authenticate]? \r\n");
        });
        const int code = owner.runSheet();
        person.join();
        QCOMPARE(code, kAuthenticate);
        QCOMPARE(owner.mLoginPassword->stringValue(), QStringLiteral("hunter2"));
        QVERIFY(screen.contains("ana@b")); // an ordinary field echoes
        QVERIFY2(!screen.contains("hunter2"), screen.constData());
        struct termios after {};
        QCOMPARE(::tcgetattr(slave, &after), 0);
        QVERIFY(after.c_lflag & ECHO);
        sheet->reset();
        ui::setApp(nullptr);
        ::close(master);
        ::close(slave);
    }
};

QTEST_GUILESS_MAIN(TestTerminalKit)
#include "tst_terminalkit.moc"
