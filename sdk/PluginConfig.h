#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <chrono>

// The plug-in's configuration, read once by the host and handed to the factory: the plug-in
// never reads the environment itself, so a value cannot change under a run, and a test sets
// the limits in the same value a program does.
struct PluginConfig {
    QString siteHost = QStringLiteral("www.nubelo.example"); // a host, optionally with ":port"
    QString uploadHost = QStringLiteral("upload.nubelo.example");
    QString feedbackAddress = QStringLiteral("sugerencias@nubelo.example");
    // How long a sign-in waits for the site's answer.
    std::chrono::milliseconds loginWait{10000};
    // How long one request may take before it fails as timed out.
    std::chrono::milliseconds requestLimit{60000};

    // The built-in values, each overridden by a variable that is set and not empty:
    // NUBELO_SITE_HOST, NUBELO_UPLOAD_HOST, NUBELO_FEEDBACK_ADDRESS, and
    // NUBELO_TEST_TIME_LIMITS ("LOGIN_MS,REQUEST_MS", both above 0, or it is ignored) for tests
    // that run a program into its deadlines.
    static PluginConfig fromEnvironment() {
        PluginConfig config;
        const auto take = [](const char *name, QString &value) {
            const QByteArray set = qgetenv(name);
            if (!set.isEmpty())
                value = QString::fromLocal8Bit(set);
        };
        take("NUBELO_SITE_HOST", config.siteHost);
        take("NUBELO_UPLOAD_HOST", config.uploadHost);
        take("NUBELO_FEEDBACK_ADDRESS", config.feedbackAddress);
        const QList<QByteArray> limits = qgetenv("NUBELO_TEST_TIME_LIMITS").split(',');
        bool loginOk = false;
        bool requestOk = false;
        const int login = limits.value(0).toInt(&loginOk);
        const int request = limits.value(1).toInt(&requestOk);
        if (limits.size() == 2 && loginOk && requestOk && login > 0 && request > 0) {
            config.loginWait = std::chrono::milliseconds(login);
            config.requestLimit = std::chrono::milliseconds(request);
        }
        return config;
    }
};
