#include "Children.h"

#include "ImageExportSettings.h"
#include "NetworkThread.h"
#include "NubeloConnections.h"
#include "PhotoHost.h"

#include <QDir>
#include <QFile>

#include <chrono>
#include <cstdio>

namespace bench {

namespace {

double since(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

int fail(const QString &why) {
    std::fprintf(stderr, "nubelo-bench: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int childExport(const QStringList &arguments) {
    if (arguments.size() < 2)
        return fail(QStringLiteral("--child-export FOLDER PHOTO..."));
    const QString folder = arguments.first();
    const QStringList photos = arguments.mid(1);
    PhotoHost host;
    host.setImageFiles(photos);
    // What the export run hands to the host for every photo.
    ImageExportSettings settings;
    settings.format = kFormatPNG;
    settings.quality = 1;
    settings.width = 640;
    settings.height = 640;
    settings.metadata = 3;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < photos.size(); ++i) {
        const QString dest = QStringLiteral("%1/sfe-%2.png").arg(folder).arg(i);
        if (!host.exportImageAtIndex(i, dest, &settings))
            return fail(QStringLiteral("%1 was not exported").arg(photos.at(i)));
    }
    std::printf("export %.6f\n", since(begin));
    return 0;
}

int childUpload(const QStringList &arguments) {
    if (arguments.size() < 2)
        return fail(QStringLiteral("--child-upload EMAIL PNG..."));
    const QString password = QString::fromLocal8Bit(qgetenv("NUBELO_PASSWORD"));
    int code = 0;
    {
        NubeloConnections client;
        auto begin = std::chrono::steady_clock::now();
        client.authenticate(arguments.first(), password);
        if (client.getState() != SessionLoggedIn)
            return fail(QStringLiteral("sign-in failed"));
        std::printf("signin %.6f\n", since(begin));

        begin = std::chrono::steady_clock::now();
        for (int i = 1; i < arguments.size() && code == 0; ++i) {
            // As the export run does it: the scratch file read whole, then handed over.
            QFile file(arguments.at(i));
            if (!file.open(QIODevice::ReadOnly)) {
                code = fail(QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
                break;
            }
            const QByteArray png = file.readAll();
            file.close();
            if (const auto error = client.uploadImage(png, i))
                code =
                    fail(QStringLiteral("upload %1: %2").arg(i).arg(error->localizedDescription));
        }
        std::printf("uploads %.6f\n", since(begin));
        client.closeSession();
    }
    platform::shutdown();
    return code;
}

} // namespace bench
