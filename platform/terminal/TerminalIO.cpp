#include "TerminalIO.h"

#include <QByteArray>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace terminal {

namespace {

// Everything the signal handler touches: lock-free atomics and plain values set before the
// handler is installed.
std::atomic<int> gInterrupts{0};
std::atomic<int> gWakeFd{-1};
std::atomic<bool> gInstalled{false};
struct termios gStartTermios {};
volatile sig_atomic_t gHaveStartTermios = 0;
// Ctrl-C, and the polite ends a session manager or a closed terminal send: each asks the run to
// stop after the photo under way, so the session is still signed out.
constexpr int kWatchedSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction gPreviousActions[std::size(kWatchedSignals)]{};
struct sigaction gPreviousAlarm {};

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

// How long a second interrupt leaves the program to finish, in seconds; 0: none, it ends the
// process at once.
std::atomic<int> gGraceSeconds{0};

[[noreturn]] void endInterrupted() {
    if (gHaveStartTermios)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &gStartTermios);
    // A progress bar may hold the line; the shell's prompt should start on a fresh one.
    const char newline = '\n';
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, &newline, 1);
    ::_exit(130);
}

void onInterrupt(int) {
    const int savedErrno = errno;
    const int count = gInterrupts.fetch_add(1) + 1;
    const int grace = gGraceSeconds.load();
    if (count >= 3 || (count == 2 && grace == 0))
        endInterrupted();
    if (count == 2)
        ::alarm(unsigned(grace)); // the program's time to finish runs out: onAlarm
    const int fd = gWakeFd.load();
    if (fd >= 0) {
        const char byte = 'i';
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void onAlarm(int) {
    endInterrupted();
}

// Turns echo off on a terminal for the life of the guard; a no-op for anything else.
class EchoOff {
public:
    EchoOff(int fd, bool wanted)
        : mFd(fd) {
        if (!wanted || ::isatty(fd) != 1 || ::tcgetattr(fd, &mSaved) != 0)
            return;
        struct termios quiet = mSaved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL; // the person still sees that Return was taken
        mActive = ::tcsetattr(fd, TCSANOW, &quiet) == 0;
    }
    ~EchoOff() {
        if (mActive)
            ::tcsetattr(mFd, TCSANOW, &mSaved);
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

private:
    int mFd;
    struct termios mSaved {};
    bool mActive = false;
};

} // namespace

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

ReadStatus readLine(int fd, bool secure, QString *line, const InterruptSource &interrupt,
                    int promptFd, const QString &prompt) {
    const EchoOff echoOff(fd, secure);
    if (promptFd >= 0 && !prompt.isEmpty())
        writeText(promptFd, prompt);
    QByteArray bytes;
    for (;;) {
        if (interrupt.pending && interrupt.pending())
            return ReadStatus::Interrupted;
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {interrupt.fd, POLLIN, 0}};
        const nfds_t count = interrupt.fd >= 0 ? 2 : 1;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return ReadStatus::EndOfInput;
        }
        if (count == 2 && (fds[1].revents & POLLIN) != 0)
            return ReadStatus::Interrupted;
        if ((fds[0].revents & POLLNVAL) != 0)
            return ReadStatus::EndOfInput;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        char byte = 0;
        const ssize_t got = ::read(fd, &byte, 1);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return ReadStatus::EndOfInput;
        }
        if (got == 0) {
            if (bytes.isEmpty())
                return ReadStatus::EndOfInput;
            break;
        }
        if (byte == '\n')
            break;
        bytes.append(byte);
    }
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    if (line != nullptr)
        *line = QString::fromUtf8(bytes);
    return ReadStatus::Line;
}

void writeText(int fd, const QString &text) {
    const QByteArray bytes = text.toUtf8();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        done += wrote;
    }
}

InterruptWatch *InterruptWatch::install(QObject *parent) {
    if (gInstalled.exchange(true))
        return nullptr;
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        gInstalled.store(false);
        return nullptr;
    }
    if (::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &gStartTermios) == 0)
        gHaveStartTermios = 1;
    gWakeFd.store(fds[1]);

    auto *watch = new InterruptWatch(fds[0], parent);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kWatchedSignals); ++i)
        ::sigaction(kWatchedSignals[i], &action, &gPreviousActions[i]);
    action.sa_handler = onAlarm;
    ::sigaction(SIGALRM, &action, &gPreviousAlarm);
    return watch;
}

InterruptWatch::InterruptWatch(int readFd, QObject *parent)
    : QObject(parent)
    , mReadFd(readFd)
    , mNotifier(new QSocketNotifier(readFd, QSocketNotifier::Read, this)) {
    connect(mNotifier, &QSocketNotifier::activated, this, &InterruptWatch::drain);
}

InterruptWatch::~InterruptWatch() {
    for (std::size_t i = 0; i < std::size(kWatchedSignals); ++i)
        ::sigaction(kWatchedSignals[i], &gPreviousActions[i], nullptr);
    ::alarm(0);
    ::sigaction(SIGALRM, &gPreviousAlarm, nullptr);
    gGraceSeconds.store(0);
    const int wakeFd = gWakeFd.exchange(-1);
    delete mNotifier;
    ::close(mReadFd);
    if (wakeFd >= 0)
        ::close(wakeFd);
    gInstalled.store(false);
}

void InterruptWatch::setSecondInterruptGrace(std::chrono::seconds grace) {
    gGraceSeconds.store(int(std::max<std::chrono::seconds::rep>(grace.count(), 0)));
}

void InterruptWatch::endProcess() {
    endInterrupted();
}

int InterruptWatch::count() {
    return gInterrupts.load();
}

InterruptSource InterruptWatch::source() const {
    return InterruptSource{mReadFd, [] {
                               return gInterrupts.load() > 0;
                           }};
}

void InterruptWatch::drain() {
    char buffer[64];
    while (::read(mReadFd, buffer, sizeof buffer) > 0) {
    }
    Q_EMIT interrupted();
}

} // namespace terminal
