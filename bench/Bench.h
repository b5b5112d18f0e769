#pragma once

#include "Report.h"

#include <QString>
#include <QStringList>

namespace bench {

struct Options {
    QString out;           // build/bench
    bool quick = false;    // a smoke run: tiny inputs, one repetition
    int reps = 5;          // repetitions of every figure (its median is shown)
    QStringList only;      // comparison numbers to run; empty: all
    QString self;          // this program, for its child modes
    QString exportProgram; // nubelo-export
    QString siteProgram;   // nubelo-site
    QString rssProgram;    // nubelo-bench-rss
};

// Runs the comparisons, prints the table and writes results.json and results.md into
// options.out. 0 when every figure was measured (met or not), 1 when the harness itself failed.
int runBench(const Options &options);

} // namespace bench
