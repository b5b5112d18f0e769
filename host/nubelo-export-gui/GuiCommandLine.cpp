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

std::optional<GuiCommandLine> GuiCommandLine::parse(const QStringList &arguments, QString *why) {
    const auto fail = [why](const QString &reason) -> std::optional<GuiCommandLine> {
        if (why != nullptr)
            *why = reason;
        return std::nullopt;
    };

    GuiCommandLine line;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) ||
            argument == QLatin1String("-")) {
            line.photos.append(argument);
        } else if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            line.action = Action::Help;
            return line;
        } else if (argument == QLatin1String("--version")) {
            line.action = Action::Version;
            return line;
        } else if (argument == QLatin1String("--dir")) {
            if (i + 1 >= arguments.size())
                return fail(QStringLiteral("--dir needs a directory"));
            line.dir = arguments.at(++i);
        } else if (argument.startsWith(QLatin1String("--dir="))) {
            line.dir = argument.mid(6);
        } else {
            return fail(QStringLiteral("unknown option %1").arg(argument));
        }
    }
    // An empty value would make the plug-in write its scratch files into the working directory.
    if (!line.dir.isNull() && line.dir.isEmpty())
        return fail(QStringLiteral("--dir needs a directory"));
    if (line.photos.isEmpty())
        return fail(QStringLiteral("no photos given"));
    return line;
}
