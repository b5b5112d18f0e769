// nubelo-bench: the export pipeline side by side with the tools a user would pick instead.

#include "Bench.h"
#include "Children.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>

#include <cstdio>

namespace {

void usage(std::FILE *to) {
    std::fputs(
        "usage: nubelo-bench [--quick] [--reps N] [--only LIST] [--out DIR]\n"
        "Measures the export pipeline against vipsthumbnail, ImageMagick and curl, prints one\n"
        "table and writes it to DIR/results.json and DIR/results.md.\n"
        "  --quick      tiny inputs and one repetition: checks that the harness works\n"
        "               (its results go to DIR/quick)\n"
        "  --reps N     repetitions of every figure, at least 5 unless --quick (default 5)\n"
        "  --only LIST  comparisons to run, by number: 1 to 7, comma-separated\n"
        "  --out DIR    default " NUBELO_BENCH_OUT "\n",
        to);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments().mid(1);
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("--child-export"))
        return bench::childExport(arguments.mid(1));
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("--child-upload"))
        return bench::childUpload(arguments.mid(1));
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("--child-qt-sync"))
        return bench::childQtSync(arguments.mid(1));

    // The harness's own sign-ins would fill the table's screen with the client's log lines.
    QLoggingCategory::setFilterRules(QStringLiteral("nubelo.*=false"));
    bench::Options options;
    options.self = QCoreApplication::applicationFilePath();
    options.exportProgram = QStringLiteral(NUBELO_BENCH_EXPORT);
    options.siteProgram = QStringLiteral(NUBELO_BENCH_SITE);
    options.rssProgram = QStringLiteral(NUBELO_BENCH_RSS);
    QString out;
    bool repsGiven = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            usage(stdout);
            return 0;
        }
        if (argument == QLatin1String("--quick")) {
            options.quick = true;
        } else if (argument == QLatin1String("--reps") && hasValue) {
            bool ok = false;
            options.reps = arguments.at(++i).toInt(&ok);
            if (!ok || options.reps < 1) {
                std::fputs("nubelo-bench: --reps wants a number from 1\n", stderr);
                return 2;
            }
            repsGiven = true;
        } else if (argument == QLatin1String("--only") && hasValue) {
            options.only = arguments.at(++i).split(QLatin1Char(','), Qt::SkipEmptyParts);
        } else if (argument == QLatin1String("--out") && hasValue) {
            out = arguments.at(++i);
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (options.quick && !repsGiven)
        options.reps = 1;
    if (!options.quick && options.reps < 5) {
        std::fputs("nubelo-bench: a figure is the median of at least 5 repetitions\n", stderr);
        return 2;
    }
    if (out.isEmpty()) {
        out = QStringLiteral(NUBELO_BENCH_OUT);
        if (options.quick)
            out += QStringLiteral("/quick");
    }
    options.out = QDir(out).absolutePath();
    for (const QString &program :
         {options.exportProgram, options.siteProgram, options.rssProgram}) {
        if (!QFile::exists(program)) {
            std::fprintf(stderr, "nubelo-bench: %s is not built\n", qPrintable(program));
            return 1;
        }
    }
    return bench::runBench(options);
}
