// The terminal UI kit over the plug-in's own login sheet: the conversation a modal run turns into
// (with and without a person at a terminal), critical alert panels, interrupts, and no echo for
// a secure field on a real pseudo-terminal.

#include "TerminalApplication.h"
#include "TerminalControls.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <optional>
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

// A login sheet's conversation: one run for each code, the error line shown from the second.
struct Conversation {
    bool interactive = true;
    QStringList given{}; // no terminal: the host's address and password; else the address shown
    QByteArray typing{};
    QList<int> codes{kAuthenticate};
    QString email = QStringLiteral("a@b"); // what the fields hold afterwards
    QString password = QStringLiteral("pw");
    QByteArrayList says{}; // in this order
};

// A critical alert panel with Replace as its default button.
struct Alert {
    bool interactive = true;
    std::optional<int> standing{}; // the host's standing answer
    QString other = QStringLiteral("Cancel");
    QByteArray typing{};
    bool interrupted = false;
    int answer = ui::AlertOtherReturn;
};

} // namespace

Q_DECLARE_METATYPE(Conversation)
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
    void sheet_data() {
        QTest::addColumn<Conversation>("conversation");
        const QByteArrayList asked{"Sign in to Nubelo\n", "E-mail",
                                   "Password: ", "Authenticate / Cancel [Authenticate]? "};
        // Without a person the kit never reads its input: it takes what it was given once,
        // presses the default button, and a second run counts as Cancel, after the error line.
        QTest::newRow("no terminal: the given values, then a second run cancels")
            << Conversation{.interactive = false,
                            .given = {"ana@example.org", "s3cret"},
                            .typing = "typed by nobody\n",
                            .codes = {kAuthenticate, kCancel},
                            .email = "ana@example.org",
                            .password = "s3cret",
                            .says = {kRefused.toUtf8() + "\n"}};
        QTest::newRow("Return presses the default button")
            << Conversation{.typing = "a@b\npw\n\n", .says = asked};
        QTest::newRow("Return keeps the address shown")
            << Conversation{.given = {"old@example.org"},
                            .typing = "\npw\n\n",
                            .email = "old@example.org",
                            .says = {"E-mail [old@example.org]: "}};
        QTest::newRow("button by the start of its title")
            << Conversation{.typing = "a@b\npw\nca\n", .codes = {kCancel}, .says = asked};
        QTest::newRow("button by its number in tab order")
            << Conversation{.typing = "a@b\npw\n2\n", .codes = {kCancel}, .says = asked};
        QTest::newRow("an unclear answer is asked again")
            << Conversation{.typing = "a@b\npw\nx\nAUTH\n", .says = {"? ", "Please answer", "? "}};
        QTest::newRow("end of input cancels")
            << Conversation{.typing = "a@b\n",
                            .codes = {kCancel},
                            .password = {},
                            .says = {"Sign in to Nubelo\n", "E-mail"}};
        QTest::newRow("a line without its newline still counts")
            << Conversation{.typing = "a@b\npw\r\n1", .says = asked};
        QTest::newRow("a second run: the error line comes before the prompts")
            << Conversation{.typing = "a@b\nwrong\n\n\nright\n\n",
                            .codes = {kAuthenticate, kAuthenticate},
                            .password = "right",
                            .says = {"? ", kRefused.toUtf8(), "E-mail [a@b]: "}};
    }
    void sheet() {
        QFETCH(Conversation, conversation);
        const Conversation &c = conversation;
        Kit kit(c.interactive);
        if (c.interactive && !c.given.isEmpty()) {
            kit.username->setStringValue(c.given.first());
        } else if (!c.given.isEmpty()) {
            kit.app.setGivenValue(QStringLiteral("mLoginUsername"), c.given.at(0));
            kit.app.setGivenValue(QStringLiteral("mLoginPassword"), c.given.at(1));
        }
        kit.input.putAll(c.typing);

        for (int run = 0; run < c.codes.size(); ++run)
            QCOMPARE(kit.runSheet(run), c.codes.at(run));
        QCOMPARE(kit.username->stringValue(), c.email);
        QCOMPARE(kit.password->stringValue(), c.password);
        const QByteArray output = kit.output.drain();
        qsizetype at = 0;
        for (const QByteArray &text : c.says) {
            at = output.indexOf(text, at);
            QVERIFY2(at >= 0, ("\"" + text + "\" not in order in\n" + output).constData());
        }
        QVERIFY(c.password.isEmpty() || !output.contains(c.password.toUtf8() + '\n'));
        if (!c.interactive)
            QCOMPARE(kit.input.drain(), c.typing);
    }

    void criticalAlertPanel_data() {
        QTest::addColumn<Alert>("alert");
        QTest::newRow("the host's standing answer") << Alert{.interactive = false,
                                                             .standing = ui::AlertDefaultReturn,
                                                             .answer = ui::AlertDefaultReturn};
        QTest::newRow("no person: the other button") << Alert{.interactive = false};
        QTest::newRow("no person, no other button: the default")
            << Alert{.interactive = false, .other = {}, .answer = ui::AlertDefaultReturn};
        QTest::newRow("a person picks by title") << Alert{.typing = "cancel\n"};
        QTest::newRow("Return picks the default")
            << Alert{.typing = "\n", .answer = ui::AlertDefaultReturn};
        QTest::newRow("end of input: the other button") << Alert{};
        QTest::newRow("interrupted: the other button, nothing read")
            << Alert{.typing = "\n", .interrupted = true};
    }
    void criticalAlertPanel() {
        QFETCH(Alert, alert);
        Kit kit(alert.interactive);
        kit.app.setCriticalAlertAnswer(alert.standing);
        if (alert.interrupted)
            kit.app.setInterruptSource({-1, [] {
                                            return true;
                                        }});
        kit.input.putAll(alert.typing);
        const QString message = QStringLiteral("One or more images already exist in directory.");
        QCOMPARE(kit.app.runCriticalAlertPanel(QStringLiteral("File exists"), message,
                                               QStringLiteral("Replace"), QString(), alert.other),
                 alert.answer);
        QVERIFY(kit.output.drain().startsWith("File exists\n" + message.toUtf8() + "\n"));
        if (alert.interrupted)
            QCOMPARE(kit.input.drain(), alert.typing);
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
