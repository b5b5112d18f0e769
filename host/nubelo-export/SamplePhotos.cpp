// nubelo-sample-photos DIR: draws the demo's photos into DIR. The pictures are computed here,
// pixel by pixel, so the demo ships no one else's photos; the same files come out every time.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

struct Colour {
    double r, g, b;
};

Colour mix(Colour a, Colour b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

QRgb rgb(Colour c) {
    const auto channel = [](double v) {
        return int(std::clamp(v, 0.0, 255.0) + 0.5);
    };
    return qRgb(channel(c.r), channel(c.g), channel(c.b));
}

// x and y run from 0 to 1 across the picture.
using Painter = std::function<Colour(double x, double y)>;

QImage paint(int width, int height, const Painter &painter) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int row = 0; row < height; ++row) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(row));
        const double y = (row + 0.5) / height;
        for (int column = 0; column < width; ++column)
            line[column] = rgb(painter((column + 0.5) / width, y));
    }
    return image;
}

Colour harbourAtDusk(double x, double y) {
    const double horizon = 0.62;
    const Colour high{58, 36, 92}, low{246, 150, 72};
    if (y < horizon) {
        Colour sky = mix(high, low, y / horizon);
        const double dx = (x - 0.68) * 1.5, dy = y - 0.5;
        const double sun = std::sqrt(dx * dx + dy * dy);
        if (sun < 0.07)
            return mix(Colour{255, 236, 170}, sky, sun / 0.07 * 0.3);
        return mix(Colour{255, 210, 120}, sky, std::min(1.0, sun * 4.0));
    }
    const double depth = (y - horizon) / (1.0 - horizon);
    const double wave = 0.5 + 0.5 * std::sin(x * 90.0 * (0.4 + depth) + depth * 40.0);
    Colour sea = mix(Colour{120, 70, 90}, Colour{20, 30, 60}, depth);
    const double glitter = std::exp(-std::pow((x - 0.68) * 9.0, 2)) * (1.0 - depth);
    return mix(sea, Colour{250, 190, 110}, glitter * wave);
}

Colour poplarInFog(double x, double y) {
    Colour air = mix(Colour{214, 222, 216}, Colour{150, 168, 150}, y);
    const double ground = 0.82 + 0.02 * std::sin(x * 12.0);
    if (y > ground)
        return mix(Colour{92, 110, 70}, Colour{60, 74, 44}, (y - ground) * 5.0);
    const double cx = (x - 0.5) / 0.13, cy = (y - 0.45) / 0.36;
    const double crown = cx * cx + cy * cy + 0.08 * std::sin(y * 140.0) * std::sin(x * 70.0);
    if (crown < 1.0)
        return mix(Colour{46, 70, 42}, air, std::max(0.0, crown - 0.6));
    if (std::abs(x - 0.5) < 0.012 && y > 0.7)
        return Colour{70, 58, 44};
    return air;
}

Colour gardenTiles(double x, double y) {
    const int column = int(x * 8), row = int(y * 8);
    const double u = x * 8 - column, v = y * 8 - row;
    if (u < 0.06 || v < 0.06)
        return Colour{236, 230, 214}; // grout
    const double hue = (column * 37 + row * 59) % 97 / 97.0;
    const Colour a{196, 90, 60}, b{60, 120, 150}, c{220, 180, 80};
    Colour tile = hue < 0.5 ? mix(a, b, hue * 2) : mix(b, c, hue * 2 - 1);
    return mix(tile, Colour{255, 255, 255}, 0.15 * (1.0 - v));
}

Colour ripples(double x, double y) {
    const double aspect = 16.0 / 9.0;
    const double d1 = std::hypot((x - 0.3) * aspect, y - 0.4);
    const double d2 = std::hypot((x - 0.72) * aspect, y - 0.65);
    const double wave = std::sin(d1 * 70.0) + std::sin(d2 * 55.0);
    return mix(Colour{12, 60, 96}, Colour{140, 210, 220}, 0.5 + wave / 4.0);
}

struct Sample {
    const char *name;
    int width;
    int height;
    Colour (*painter)(double, double);
};

const Sample kSamples[] = {
    {"harbour-at-dusk.jpg", 1600, 1067, harbourAtDusk},
    {"poplar-in-fog.jpg", 1000, 1500, poplarInFog},
    {"garden-tiles.png", 480, 480, gardenTiles},
    {"ripples.jpg", 2048, 1152, ripples},
};

} // namespace

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    QTextStream err(stderr);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2 || arguments.at(1).startsWith(QLatin1Char('-'))) {
        err << "usage: nubelo-sample-photos DIR\n"
               "Draws the demo photos (JPEG and PNG) into DIR and prints their paths.\n";
        return 2;
    }
    const QDir dir(arguments.at(1));
    if (!QDir().mkpath(dir.path())) {
        err << "nubelo-sample-photos: cannot create " << dir.path() << "\n";
        return 1;
    }
    QTextStream out(stdout);
    for (const Sample &sample : kSamples) {
        const QString path = dir.filePath(QString::fromLatin1(sample.name));
        QImageWriter writer(path);
        writer.setQuality(90);
        if (!writer.write(paint(sample.width, sample.height, sample.painter))) {
            err << "nubelo-sample-photos: " << path << ": " << writer.errorString() << "\n";
            return 1;
        }
        out << path << "\n";
    }
    return 0;
}
