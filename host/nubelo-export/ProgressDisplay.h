#pragma once

#include <QString>

// How the run's progress shows on standard error: a bar redrawn in place on a terminal
// ("Image 2 of 5" and a bar), one line per photo otherwise, or nothing (--quiet).
class ProgressDisplay {
public:
    enum class Mode { Off, Bar, Lines };

    ProgressDisplay(Mode mode, int fd);
    static Mode modeFor(bool quiet, int fd);

    // The record changed: `current` is the photo under way (from 0), `total` the photos of the
    // run, `message` the status text (null for none).
    void update(quint32 current, quint32 total, const QString &message);
    // The run of `total` photos ended; `complete` fills the bar and writes the lines of every
    // photo. A quick run can end before the record was ever looked at, so no update may have
    // come before.
    void finish(bool complete, quint32 total);
    // Leaves the bar's line so other text can be printed; the next update draws it again.
    void breakLine();

private:
    // The run's own text for photo `index` (from 0) under way.
    static QString photoLine(qint64 index, quint32 total);
    // Writes the lines of the photos after the last one written, up to `upTo` (from 0).
    void writePhotoLines(qint64 upTo);
    void draw(double fraction, const QString &text);

    Mode mMode;
    int mFd;
    quint32 mTotal = 0;
    QString mLastText;
    qint64 mLastPhotoLine = -1; // the last photo that has its line (Lines mode)
    int mDrawnWidth = 0;        // columns of the bar's line on screen, 0 when none is there
};
