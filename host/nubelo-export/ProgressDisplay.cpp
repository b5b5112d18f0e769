#include "ProgressDisplay.h"

#include "TerminalIO.h"

#include <algorithm>

namespace {
constexpr int kBarWidth = 30;
}

ProgressDisplay::ProgressDisplay(Mode mode, int fd)
    : mMode(mode)
    , mFd(fd) {}

ProgressDisplay::Mode ProgressDisplay::modeFor(bool quiet, int fd) {
    if (quiet)
        return Mode::Off;
    return terminal::isTerminal(fd) ? Mode::Bar : Mode::Lines;
}

void ProgressDisplay::update(quint32 current, quint32 total, const QString &message) {
    if (mMode == Mode::Off || message.isEmpty())
        return;
    mTotal = total;
    if (mMode == Mode::Lines) {
        // The record is only looked at now and then, so a quick photo can come and go
        // between two looks; every photo still gets its line, in order.
        const bool photoUnderWay = message == photoLine(current, total);
        const qint64 started = photoUnderWay ? qint64(current) : qint64(current) - 1;
        writePhotoLines(started);
        if (!photoUnderWay && message != mLastText)
            terminal::writeText(mFd, message + QLatin1Char('\n'));
        mLastText = message;
        return;
    }
    mLastText = message;
    // The photo under way is not done yet: the bar shows the ones before it.
    draw(total > 0 ? double(std::min(current, total)) / total : 0.0, message);
}

QString ProgressDisplay::photoLine(qint64 index, quint32 total) {
    return QStringLiteral("Image %1 of %2").arg(index + 1).arg(total);
}

void ProgressDisplay::writePhotoLines(qint64 upTo) {
    for (; mLastPhotoLine < upTo; ++mLastPhotoLine)
        terminal::writeText(mFd, photoLine(mLastPhotoLine + 1, mTotal) + QLatin1Char('\n'));
}

void ProgressDisplay::finish(bool complete, quint32 total) {
    mTotal = total;
    if (mMode == Mode::Lines && complete)
        writePhotoLines(qint64(mTotal) - 1);
    if (mMode != Mode::Bar)
        return;
    // The record may never have been looked at while the last photo was under way.
    if (complete && mTotal > 0)
        draw(1.0, photoLine(qint64(mTotal) - 1, mTotal));
    breakLine();
}

void ProgressDisplay::breakLine() {
    if (mMode == Mode::Bar && mDrawnWidth > 0) {
        terminal::writeText(mFd, QStringLiteral("\n"));
        mDrawnWidth = 0;
    }
}

void ProgressDisplay::draw(double fraction, const QString &text) {
    const int filled = std::clamp(int(fraction * kBarWidth + 0.5), 0, kBarWidth);
    QString line = QStringLiteral("%1 [%2%3] %4%")
                       .arg(text, QString(filled, QLatin1Char('#')),
                            QString(kBarWidth - filled, QLatin1Char('.')))
                       .arg(int(fraction * 100 + 0.5));
    const int width = int(line.size());
    if (width < mDrawnWidth)
        line += QString(mDrawnWidth - width, QLatin1Char(' '));
    terminal::writeText(mFd, QLatin1Char('\r') + line);
    mDrawnWidth = std::max(width, mDrawnWidth);
}
