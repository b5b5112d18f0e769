#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

class QSocketNotifier;

// Low-level terminal work for the terminal UI kit and the command-line host: reading a line
// without ever blocking past an interrupt, reading without echo, writing text, and the Ctrl-C
// self-pipe.
namespace terminal {

enum class ReadStatus {
    Line,        // a line was read (also the last line of input without its newline)
    EndOfInput,  // nothing more will come
    Interrupted, // the interrupt source fired before a line was complete
};

// What a read watches besides its input: a descriptor that becomes readable on an interrupt
// (it is only polled, never read) and a check that answers true once an interrupt has come.
struct InterruptSource {
    int fd = -1;
    std::function<bool()> pending;
};

// Reads one line from `fd`, a byte at a time so nothing after the line is taken from the input.
// The line comes without its "\n" (and without a "\r" before it), decoded as UTF-8. With
// `secure` and a terminal on `fd`, typing is not echoed (the newline is) and the terminal's
// settings come back before the call returns. A `prompt` is written to `promptFd` once echo is
// off, so nothing typed ahead after seeing it is echoed.
ReadStatus readLine(int fd, bool secure, QString *line, const InterruptSource &interrupt = {},
                    int promptFd = -1, const QString &prompt = QString());

// Writes all of `text` as UTF-8; a descriptor that is gone is ignored.
void writeText(int fd, const QString &text);

bool isTerminal(int fd);

// Ctrl-C for a program with an event loop. The first SIGINT writes a byte into a pipe, whose
// reading end a socket notifier watches, so the program learns of it in its event loop (or a
// blocking read learns of it through the pipe, see InterruptSource). A second SIGINT puts the
// terminal on standard input back as it was at install() (echo on) and ends the process at once
// with _exit(130): a person who presses Ctrl-C twice wants out, whatever is under way. A program
// with something short to finish first (a sign-out) asks for a grace period instead.
class InterruptWatch : public QObject {
    Q_OBJECT
public:
    // One per process; installs the handler. Returns nullptr when one exists already or the
    // pipe cannot be made.
    static InterruptWatch *install(QObject *parent = nullptr);
    ~InterruptWatch() override; // the default SIGINT action comes back

    // From now on a second interrupt is delivered like the first (interrupted() again) instead
    // of ending the process, which then ends as a second interrupt would `grace` later, unless
    // the program ended it sooner (endProcess()); a third interrupt ends it at once. Zero
    // brings back the immediate end. Whole seconds: the timer is alarm().
    static void setSecondInterruptGrace(std::chrono::seconds grace);
    // Ends the process as a second interrupt does: the terminal as it was, exit status 130.
    [[noreturn]] static void endProcess();

    // How many interrupts have come (safe from any thread).
    static int count();
    // The source a blocking read should watch.
    InterruptSource source() const;

Q_SIGNALS:
    // In the event loop of the thread that installed the watch, once per wake-up.
    void interrupted();

private:
    InterruptWatch(int readFd, QObject *parent);
    void drain();

    int mReadFd = -1;
    QSocketNotifier *mNotifier = nullptr;
};

} // namespace terminal
