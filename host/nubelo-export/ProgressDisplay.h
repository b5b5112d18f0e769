#pragma once

#include <QString>

// How the run's progress shows on standard error: a bar redrawn in place on a terminal
// ("Image 2 of 5" and a bar), one line per new status text otherwise, or nothing (--quiet).
class ProgressDisplay {
public:
    enum class Mode { Off, Bar, Lines };

    ProgressDisplay(Mode mode, int fd);
    static Mode modeFor(bool quiet, int fd);

    // The record changed: `current` is the photo under way (from 0), `total` the photos of the
    // run, `message` the status text (null for none).
    void update(quint32 current, quint32 total, const QString &message);
    // The run ended; `complete` fills the bar.
    void finish(bool complete);
    // Leaves the bar's line so other text can be printed; the next update draws it again.
    void breakLine();

private:
    void draw(double fraction, const QString &text);

    Mode mMode;
    int mFd;
    quint32 mTotal = 0;
    QString mLastText;
    int mDrawnWidth = 0; // columns of the bar's line on screen, 0 when none is there
};
