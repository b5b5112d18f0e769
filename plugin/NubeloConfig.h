#pragma once

#include <QString>

// The built-in configuration values, each overridable by the environment. Read at each call,
// so a host that starts the embedded site can set the variables before it loads the plug-in.
namespace NubeloConfig {

// NUBELO_SITE_HOST, else "www.nubelo.example" (a host, optionally with ":port").
QString siteHost();
// NUBELO_UPLOAD_HOST, else "upload.nubelo.example".
QString uploadHost();
// NUBELO_FEEDBACK_ADDRESS, else "sugerencias@nubelo.example".
QString feedbackAddress();

} // namespace NubeloConfig
