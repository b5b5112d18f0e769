#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <cmath>
#include <optional>

namespace bench {

double median(QList<double> samples);

// One line of the table: our figure, the one it is set against (if any), and the aim.
struct Figure {
    enum class Aim {
        RatioAtMost, // ours / reference <= limit
        ValueAtMost, // ours <= limit
        ValueBelow,  // ours < limit
        None,        // shown for context only
    };

    QString id;    // "1a"
    QString title; // what was measured
    QString unit;  // of ours and reference
    double ours = NAN;
    QString reference; // what ours is set against ("vipsthumbnail")
    double referenceValue = NAN;
    Aim aim = Aim::None;
    double limit = NAN;
    QString note;    // how it was measured, or why it is what it is
    QString skipped; // why it was not measured
    QList<double> oursSamples, referenceSamples;

    double ratio() const { return ours / referenceValue; }
    bool measured() const { return skipped.isEmpty() && !std::isnan(ours); }
    std::optional<bool> met() const;
    QString aimText() const;
    QJsonObject toJson() const;
};

struct Machine {
    QString cpu;
    int cores = 0;
    double memoryGiB = 0;
    QString system;
    QString loadBefore, loadAfter; // /proc/loadavg's first three numbers
    QString date;
    QString build;
    QStringList tools; // name and version of each reference tool

    static Machine probe();
    static QString load();
    QJsonObject toJson() const;
};

// The table as Markdown, ready for the README, with the machine under it.
QString markdown(const QList<Figure> &figures, const Machine &machine);
QJsonObject toJson(const QList<Figure> &figures, const Machine &machine, bool quick, int reps);

} // namespace bench
