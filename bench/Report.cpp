#include "Report.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QSysInfo>

#include <algorithm>

#include <unistd.h>

namespace bench {

double median(QList<double> samples) {
    if (samples.isEmpty())
        return NAN;
    std::sort(samples.begin(), samples.end());
    const qsizetype n = samples.size();
    return n % 2 ? samples.at(n / 2) : (samples.at(n / 2 - 1) + samples.at(n / 2)) / 2;
}

namespace {

QString number(double value) {
    if (std::isnan(value))
        return QStringLiteral("–");
    const double magnitude = std::fabs(value);
    const int decimals = magnitude >= 100 ? 0 : magnitude >= 10 ? 1 : magnitude >= 1 ? 2 : 3;
    return QString::number(value, 'f', decimals);
}

QJsonArray samplesJson(const QList<double> &samples) {
    QJsonArray array;
    for (double sample : samples)
        array.append(sample);
    return array;
}

QString firstLineOf(const QString &path, const QString &key) {
    // Files under /proc tell no size, so they are read to their end rather than to it.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &bytes : file.readAll().split('\n')) {
        const QString line = QString::fromLocal8Bit(bytes);
        if (line.startsWith(key))
            return line.mid(line.indexOf(QLatin1Char(':')) + 1).trimmed();
    }
    return {};
}

} // namespace

std::optional<bool> Figure::met() const {
    if (!measured())
        return std::nullopt;
    switch (aim) {
    case Aim::RatioAtMost:
        return std::isnan(referenceValue) ? std::nullopt : std::optional<bool>(ratio() <= limit);
    case Aim::ValueAtMost:
        return ours <= limit;
    case Aim::ValueBelow:
        return ours < limit;
    case Aim::None:
        break;
    }
    return std::nullopt;
}

QString Figure::aimText() const {
    switch (aim) {
    case Aim::RatioAtMost:
        return QStringLiteral("≤ %1×").arg(limit, 0, 'f', 2);
    case Aim::ValueAtMost:
        return QStringLiteral("≤ %1 %2").arg(number(limit), unit);
    case Aim::ValueBelow:
        return QStringLiteral("< %1 %2").arg(number(limit), unit);
    case Aim::None:
        break;
    }
    return QStringLiteral("–");
}

QJsonObject Figure::toJson() const {
    QJsonObject object{{QStringLiteral("id"), id},
                       {QStringLiteral("title"), title},
                       {QStringLiteral("unit"), unit},
                       {QStringLiteral("aim"), aimText()}};
    if (!skipped.isEmpty()) {
        object.insert(QStringLiteral("skipped"), skipped);
        return object;
    }
    object.insert(QStringLiteral("ours"), ours);
    object.insert(QStringLiteral("oursSamples"), samplesJson(oursSamples));
    if (!reference.isEmpty()) {
        object.insert(QStringLiteral("reference"), reference);
        object.insert(QStringLiteral("referenceValue"), referenceValue);
        object.insert(QStringLiteral("referenceSamples"), samplesJson(referenceSamples));
        object.insert(QStringLiteral("ratio"), ratio());
    }
    if (const auto ok = met())
        object.insert(QStringLiteral("met"), *ok);
    if (!note.isEmpty())
        object.insert(QStringLiteral("note"), note);
    return object;
}

Machine Machine::probe() {
    Machine machine;
    machine.cpu = firstLineOf(QStringLiteral("/proc/cpuinfo"), QStringLiteral("model name"));
    machine.cores = int(sysconf(_SC_NPROCESSORS_ONLN));
    const QString memory = firstLineOf(QStringLiteral("/proc/meminfo"), QStringLiteral("MemTotal"));
    machine.memoryGiB = memory.section(QLatin1Char(' '), 0, 0).toDouble() / (1024.0 * 1024.0);
    machine.system = QSysInfo::prettyProductName() + QStringLiteral(", Linux ") +
                     QSysInfo::kernelVersion() + QStringLiteral(", Qt ") +
                     QString::fromLatin1(qVersion());
    machine.loadBefore = load();
    machine.date = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    return machine;
}

QString Machine::load() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

QJsonObject Machine::toJson() const {
    QJsonArray toolList;
    for (const QString &tool : tools)
        toolList.append(tool);
    return QJsonObject{{QStringLiteral("cpu"), cpu},
                       {QStringLiteral("cores"), cores},
                       {QStringLiteral("memoryGiB"), memoryGiB},
                       {QStringLiteral("system"), system},
                       {QStringLiteral("loadBefore"), loadBefore},
                       {QStringLiteral("loadAfter"), loadAfter},
                       {QStringLiteral("date"), date},
                       {QStringLiteral("build"), build},
                       {QStringLiteral("tools"), toolList}};
}

QString markdown(const QList<Figure> &figures, const Machine &machine) {
    QString text = QStringLiteral("| # | What | Ours | Set against | Ratio | Aim | Met |\n"
                                  "|---|---|---|---|---|---|---|\n");
    for (const Figure &f : figures) {
        QString ours, against, ratio, met;
        if (!f.skipped.isEmpty()) {
            ours = QStringLiteral("not measured: ") + f.skipped;
        } else {
            ours = number(f.ours) + QLatin1Char(' ') + f.unit;
            if (!f.reference.isEmpty()) {
                against = f.reference + QLatin1Char(' ') + number(f.referenceValue) +
                          QLatin1Char(' ') + f.unit;
                // Three decimals, so a ratio just past its aim never reads as the aim itself.
                ratio = QString::number(f.ratio(), 'f', 3) + QStringLiteral("×");
            }
            if (const auto ok = f.met())
                met = *ok ? QStringLiteral("yes") : QStringLiteral("**no**");
        }
        text += QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |\n")
                    .arg(f.id, f.title, ours, against.isEmpty() ? QStringLiteral("–") : against,
                         ratio.isEmpty() ? QStringLiteral("–") : ratio, f.aimText(),
                         met.isEmpty() ? QStringLiteral("–") : met);
    }
    text += QLatin1Char('\n');
    for (const Figure &f : figures) {
        if (!f.note.isEmpty())
            text += QStringLiteral("- %1: %2\n").arg(f.id, f.note);
    }
    text += QStringLiteral("\nMachine: %1, %2 cores, %3 GiB; %4. Load average %5 before, %6 "
                           "after; %7. %8.\n")
                .arg(machine.cpu)
                .arg(machine.cores)
                .arg(machine.memoryGiB, 0, 'f', 1)
                .arg(machine.system, machine.loadBefore, machine.loadAfter, machine.date,
                     machine.build);
    if (!machine.tools.isEmpty())
        text += QStringLiteral("Tools: %1.\n").arg(machine.tools.join(QStringLiteral("; ")));
    return text;
}

QJsonObject toJson(const QList<Figure> &figures, const Machine &machine, bool quick, int reps) {
    QJsonArray list;
    for (const Figure &figure : figures)
        list.append(figure.toJson());
    return QJsonObject{{QStringLiteral("machine"), machine.toJson()},
                       {QStringLiteral("quick"), quick},
                       {QStringLiteral("repetitions"), reps},
                       {QStringLiteral("figures"), list}};
}

} // namespace bench
