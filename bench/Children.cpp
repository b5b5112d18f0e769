#include "Children.h"

#include "ImageExportSettings.h"
#include "NetworkThread.h"
#include "NubeloConnections.h"
#include "PhotoHost.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <chrono>
#include <cstdio>
#include <memory>

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
        NubeloConnections client(PluginConfig::fromEnvironment()); // a program, as the hosts are
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

int childQtSync(const QStringList &arguments) {
    if (arguments.size() < 2)
        return fail(QStringLiteral("--child-qt-sync EMAIL BODY..."));
    const QString site = QString::fromLocal8Bit(qgetenv("NUBELO_SITE_HOST"));
    const QString upload = QString::fromLocal8Bit(qgetenv("NUBELO_UPLOAD_HOST"));
    QNetworkAccessManager manager;
    manager.setCookieJar(nullptr);
    const auto send = [&](QNetworkRequest request, const QByteArray &body) {
        request.setAttribute(QNetworkRequest::SynchronousRequestAttribute, true);
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        std::unique_ptr<QNetworkReply> reply(manager.post(request, body));
        return std::pair{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                         reply->rawHeader("Set-Cookie")};
    };

    QNetworkRequest login(QUrl(QStringLiteral("http://%1/?m=Login&func=do_login").arg(site)));
    login.setRawHeader("Content-Type", "application/x-www-form-urlencoded");
    const auto [status, cookie] = send(
        login, "email=" + QUrl::toPercentEncoding(arguments.first()) + "&input_password=" +
                   QUrl::toPercentEncoding(QString::fromLocal8Bit(qgetenv("NUBELO_PASSWORD"))));
    if (status != 302 || !cookie.startsWith("sid="))
        return fail(QStringLiteral("sign-in failed"));
    const QByteArray sid = cookie.left(cookie.indexOf(';'));

    const auto begin = std::chrono::steady_clock::now();
    for (int i = 1; i < arguments.size(); ++i) {
        QFile file(arguments.at(i));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
        QNetworkRequest request(QUrl(QStringLiteral("http://%1/?upload=1&iframe=1").arg(upload)));
        request.setRawHeader("Content-Type", "multipart/form-data; boundary=Velkaron");
        request.setRawHeader("Cookie", sid);
        if (send(request, file.readAll()).first != 200)
            return fail(QStringLiteral("upload %1 failed").arg(i));
    }
    std::printf("uploads %.6f\n", since(begin));
    return 0;
}

} // namespace bench
