#include "GuiCommandLine.h"

QString GuiCommandLine::usage() {
    return QStringLiteral(
        "usage: nubelo-export-gui [--dir DIR] PHOTO...\n"
        "Opens an export window for the photos: sign in to Nubelo in the plug-in's pane, then\n"
        "press Export; each photo goes up as a PNG of at most 640 x 640 pixels.\n"
        "  --dir DIR            the export (scratch) directory, default the plug-in's\n"
        "                       (/tmp/NubeloExporter)\n"
        "  -h, --help           this text\n"
        "  --version            the program's version\n"
        "The site is www.nubelo.example and upload.nubelo.example unless NUBELO_SITE_HOST and\n"
        "NUBELO_UPLOAD_HOST say otherwise; with neither set, a stand-in site is started inside\n"
        "the program, and the window shows its demo account.\n");
}

platform::MaybeError GuiCommandLine::parse(const QStringList &arguments) {
    ProgramArguments parsed;
    // An empty value would make the plug-in write its scratch files into the working directory.
    parsed.addValue({QStringLiteral("dir")}, QStringLiteral("--dir needs a directory"));
    if (platform::MaybeError error = parsed.parse(arguments))
        return error;
    action = parsed.action();
    if (parsed.isSet(QStringLiteral("dir")))
        dir = parsed.value(QStringLiteral("dir"));
    photos = parsed.photos();
    return std::nullopt;
}
