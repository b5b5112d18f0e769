#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The arguments of nubelo-export-gui: photos to show and export, and where the plug-in writes
// its scratch files.
struct GuiCommandLine {
    enum class Action { Export, Help, Version };

    Action action = Action::Export;
    QString dir; // null: the plug-in's own export directory
    QStringList photos;

    // The arguments after the program's name. On a usage error answers nothing and says why in
    // one line.
    static std::optional<GuiCommandLine> parse(const QStringList &arguments, QString *why);
    static QString usage();
};
