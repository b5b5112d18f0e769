#pragma once

#include "Error.h"
#include "ProgramArguments.h"

#include <QString>
#include <QStringList>

// The arguments of nubelo-export-gui: photos to show and export, and where the plug-in writes
// its scratch files.
struct GuiCommandLine {
    using Action = ProgramArguments::Action;

    Action action = Action::Run;
    QString dir; // null: the plug-in's own export directory
    QStringList photos;

    // Reads the arguments after the program's name (ProgramArguments::parse).
    platform::MaybeError parse(const QStringList &arguments);
    static QString usage();
};
