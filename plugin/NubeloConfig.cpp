#include "NubeloConfig.h"

#include <QByteArray>
#include <QtGlobal>

namespace {
QString fromEnvironment(const char *name, const char *fallback) {
    const QByteArray value = qgetenv(name);
    return value.isEmpty() ? QString::fromLatin1(fallback) : QString::fromLocal8Bit(value);
}
} // namespace

namespace NubeloConfig {

QString siteHost() {
    return fromEnvironment("NUBELO_SITE_HOST", "www.nubelo.example");
}

QString uploadHost() {
    return fromEnvironment("NUBELO_UPLOAD_HOST", "upload.nubelo.example");
}

QString feedbackAddress() {
    return fromEnvironment("NUBELO_FEEDBACK_ADDRESS", "sugerencias@nubelo.example");
}

} // namespace NubeloConfig
