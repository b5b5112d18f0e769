// The terminal UI kit over the plug-in's own login sheet: the conversation a modal run turns into
// (with and without a person at a terminal), critical alert panels, interrupts, and no echo for
// a secure field on a real pseudo-terminal.

#include "TerminalApplication.h"
#include "TerminalControls.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kAuthenticate = 10;
constexpr int kCancel = 11;
const QString kRefused = QStringLiteral("Atuthentication failed. Please review and try again!");

QString uiFile(const char *name) {
    return qEnvironmentVariable("NUBELO_SOURCE_DIR") + QStringLiteral("/plugin/ui/") +
           QLatin1String(name);
}

// Reads `fd` into `screen` until `text` is there (with none, all there is), or nothing more
// comes within `waitMs`.
void readInto(QByteArray &screen, int fd, const char *text = nullptr, int waitMs = 0) {
    char buffer[4096];
    while (text == nullptr || !screen.contains(text)) {
        struct pollfd ready = {fd, POLLIN, 0};
        if (::poll(&ready, 1, waitMs) <= 0 || (ready.revents & POLLIN) == 0)
            return;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return;
        screen.append(buffer, got);
    }
}

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeWrite();
        ::close(read);
    }
    // Puts `bytes` in, then closes the writing end: the reader meets the end of input.
    void putAll(const QByteArray &bytes) {
        QVERIFY(::write(write, bytes.constData(), size_t(bytes.size())) == bytes.size());
        closeWrite();
    }
    void closeWrite() { ::close(std::exchange(write, -1)); }
    QByteArray drain() const {
        QByteArray all;
        readInto(all, read);
        return all;
    }
};

// A critical alert: the host's standing answer (0: none), the other button, what is typed, and
// the answer.
struct Alert {
    bool interactive;
    int standing;
    const char *other;
    QByteArray typing;
    bool interrupted;
    int answer;
};

} // namespace

Q_DECLARE_METATYPE(Alert)

// A kit on two pipes (or on a terminal given), with the login sheet loaded; it stands in for the
// plug-in's controller: the sheet's actions and outlets.
class Kit : public QObject {
    Q_OBJECT
public:
    explicit Kit(bool interactive, int in = -1, int out = -1)
        : app(terminal::TerminalApplication::Options{in < 0 ? input.read : in,
                                                     out < 0 ? output.write : out, interactive}) {
        ui::setApp(&app);
        auto loaded = app.loadInterface(uiFile("LoginSheet.ui"), this,
                                        {{QStringLiteral("mLoginDialog"), &dialog},
                                         {QStringLiteral("mLoginUsername"), &username},
                                         {QStringLiteral("mLoginPassword"), &password},
                                         {QStringLiteral("mLoginErrorMessage"), &errorLine}});
        QVERIFY2(loaded, qPrintable(platform::describe(loaded.failure())));
        sheet = std::move(*loaded);
    }
    Q_INVOKABLE void clickAuthenticateLoginDialog(QObject *) { app.stopModalWithCode(10); }
    Q_INVOKABLE void clickCancelLoginDialog(QObject *) { app.stopModalWithCode(11); }

    // The sheet as the account panel runs it: shown, then run; a later run shows the error.
    int runSheet(int run = 0) {
        if (run == 0) {
            app.beginSheet(dialog, nullptr);
        } else {
            errorLine->setStringValue(kRefused);
            errorLine->setHidden(false);
        }
        return app.runModalForWindow(dialog);
    }

    Pipe input;
    Pipe output;
    terminal::TerminalApplication app;
    std::unique_ptr<QObject> sheet;
    ui::Window *dialog = nullptr;
    ui::TextField *username = nullptr;
    ui::TextField *password = nullptr;
    ui::TextField *errorLine = nullptr;
};

class TestTerminalKit : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A login sheet's conversation: one run for each code, the error line shown from the second.
    void sheet_data() {
        QTest::addColumn<bool>("interactive");
        // Two: the host's address and password (none when empty); one: the address shown.
        QTest::addColumn<QStringList>("given");
        QTest::addColumn<QByteArray>("typing");
        QTest::addColumn<QList<int>>("codes");
        QTest::addColumn<QStringList>("fields");  // what they hold afterwards
        QTest::addColumn<QByteArrayList>("says"); // in this order; "!text": never
        const QByteArrayList asked{"Sign in to Nubelo\n", "E-mail",
                                   "Password: ", "Authenticate / Cancel [Authenticate]? "};
        const QList<int> yes{kAuthenticate};
        const QList<int> no{kCancel};
        const QStringList typed{"a@b", "pw"};
        const auto row = [](const char *name, const QByteArray &typing, const QList<int> &codes,
                            const QStringList &fields, const QByteArrayList &says,
                            const QStringList &given = {}, bool interactive = true) {
            QTest::newRow(name) << interactive << given << typing << codes << fields << says;
        };
        // Without a person the kit never reads its input: it takes what it was given once,
        // presses the default button, and a second run counts as Cancel, after the error line.
        row("no terminal: the given values, then a second run cancels", "typed by nobody\n",
            {kAuthenticate, kCancel}, {"ana@example.org", "s3cret"}, {kRefused.toUtf8() + "\n"},
            {"ana@example.org", "s3cret"}, false);
        row("Return presses the default button", "a@b\npw\n\n", yes, typed, asked);
        row("Return keeps the address shown", "\npw\n\n", yes, {"old@example.org", "pw"},
            {"E-mail [old@example.org]: "}, {"old@example.org"});
        row("button by the start of its title", "a@b\npw\nca\n", no, typed, asked);
        row("button by its number in tab order", "a@b\npw\n2\n", no, typed, asked);
        row("an unclear answer is asked again", "a@b\npw\nx\nAUTH\n", yes, typed,
            {"? ", "Please answer", "? "});
        // The address came with the command: typing the password is the person's Go.
        row("a given address and a typed password: no button asked", "pw\n", yes,
            {"ana@example.org", "pw"}, {"E-mail: ana@example.org\n", "Password: ", "!? "},
            {"ana@example.org", ""});
        row("end of input cancels", "a@b\n", no, {"a@b", ""}, {"Sign in to Nubelo\n", "E-mail"});
        row("a line without its newline still counts", "a@b\npw\r\n1", yes, typed, asked);
        row("a second run: the error line comes before the prompts", "a@b\nwrong\n\n\nright\n\n",
            {kAuthenticate, kAuthenticate}, {"a@b", "right"},
            {"? ", kRefused.toUtf8(), "E-mail [a@b]: "});
    }
    void sheet() {
        QFETCH(bool, interactive);
        QFETCH(QStringList, given);
        QFETCH(QByteArray, typing);
        QFETCH(QList<int>, codes);
        QFETCH(QStringList, fields);
        QFETCH(QByteArrayList, says);
        Kit kit(interactive);
        if (given.size() == 1) {
            kit.username->setStringValue(given.first());
        } else if (!given.isEmpty()) {
            kit.app.setGivenValue(QStringLiteral("mLoginUsername"), given.at(0));
            if (!given.at(1).isEmpty())
                kit.app.setGivenValue(QStringLiteral("mLoginPassword"), given.at(1));
        }
        kit.input.putAll(typing);

        for (int run = 0; run < codes.size(); ++run)
            QCOMPARE(kit.runSheet(run), codes.at(run));
        QCOMPARE(QStringList({kit.username->stringValue(), kit.password->stringValue()}), fields);
        const QByteArray output = kit.output.drain();
        qsizetype at = 0;
        for (const QByteArray &text : says) {
            if (text.startsWith('!')) { // must not be said
                QVERIFY2(!output.contains(text.mid(1)), output.constData());
                continue;
            }
            at = output.indexOf(text, at);
            QVERIFY2(at >= 0, ("\"" + text + "\" not in order in\n" + output).constData());
        }
        QVERIFY(fields.at(1).isEmpty() || !output.contains(fields.at(1).toUtf8() + '\n'));
        if (!interactive)
            QCOMPARE(kit.input.drain(), typing);
    }

    // A critical alert panel with Replace as its default button.
    void criticalAlertPanel_data() {
        QTest::addColumn<Alert>("a");
        const int replace = ui::AlertDefaultReturn;
        const int cancel = ui::AlertOtherReturn;
        const auto row = [](const char *name, const Alert &alert) {
            QTest::newRow(name) << alert;
        };
        row("the host's standing answer", {false, replace, "Cancel", "", false, replace});
        row("no person: the other button", {false, 0, "Cancel", "", false, cancel});
        row("no person, no other button: the default", {false, 0, "", "", false, replace});
        row("a person picks by title", {true, 0, "Cancel", "cancel\n", false, cancel});
        row("Return picks the default", {true, 0, "Cancel", "\n", false, replace});
        row("end of input: the other button", {true, 0, "Cancel", "", false, cancel});
        row("interrupted: the other button, nothing read", {true, 0, "Cancel", "\n", true, cancel});
    }
    void criticalAlertPanel() {
        QFETCH(Alert, a);
        Kit kit(a.interactive);
        if (a.standing != 0)
            kit.app.setCriticalAlertAnswer(a.standing);
        if (a.interrupted)
            kit.app.setInterruptSource({-1, [] {
                                            return true;
                                        }});
        kit.input.putAll(a.typing);
        const QString message = QStringLiteral("One or more images already exist in directory.");
        QCOMPARE(kit.app.runCriticalAlertPanel(QStringLiteral("File exists"), message,
                                               QStringLiteral("Replace"), QString(),
                                               QString::fromLatin1(a.other)),
                 a.answer);
        QVERIFY(kit.output.drain().startsWith("File exists\n" + message.toUtf8() + "\n"));
        if (a.interrupted)
            QCOMPARE(kit.input.drain(), a.typing);
    }
    // Ctrl-C at a prompt: the read gives up at once and the sheet is cancelled.
    void anInterruptCancelsAPrompt() {
        Kit kit(true);
        Pipe wake;
        std::atomic<bool> pending{false};
        kit.app.setInterruptSource({wake.read, [&pending] {
                                        return pending.load();
                                    }});
        std::thread presser([&] { // once the kit waits at its first prompt
            QByteArray screen;
            readInto(screen, kit.output.read, "E-mail: ", 5000);
            pending = true;
            [[maybe_unused]] const ssize_t wrote = ::write(wake.write, "i", 1);
        });
        const int code = kit.runSheet();
        presser.join();
        QCOMPARE(code, kCancel);
        QCOMPARE(kit.username->stringValue(), QString());
    }

    // On a real terminal the password is not echoed, and the terminal's settings come back.
    void aSecureFieldIsNotEchoed() {
        int master = -1;
        int slave = -1;
        QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        const auto closeBoth = qScopeGuard([&] {
            ::close(master);
            ::close(slave);
        });
        struct termios before {};
        QVERIFY(::tcgetattr(slave, &before) == 0 && (before.c_lflag & ECHO));
        Kit kit(true, slave, slave);

        QByteArray screen;
        std::thread person([&] {
            for (const auto &[prompt, typed] :
                 {std::pair("E-mail: ", "ana@b\n"), std::pair("Password: ", "hunter2\n"),
                  std::pair("? ", "\n"), std::pair("Authenticate]? \r\n", "")}) {
                readInto(screen, master, prompt, 5000);
                [[maybe_unused]] const ssize_t wrote = ::write(master, typed, strlen(typed));
            }
        });
        const int code = kit.runSheet();
        person.join();
        QCOMPARE(code, kAuthenticate);
        QCOMPARE(kit.password->stringValue(), QStringLiteral("hunter2"));
        QVERIFY(screen.contains("ana@b")); // an ordinary field echoes
        QVERIFY2(!screen.contains("hunter2"), screen.constData());
        struct termios after {};
        QVERIFY(::tcgetattr(slave, &after) == 0 && (after.c_lflag & ECHO));
    }
};

QTEST_GUILESS_MAIN(TestTerminalKit)
#include "tst_terminalkit.moc"
