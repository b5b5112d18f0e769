#pragma once

#include "Error.h"

#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

// A reader of Qt Designer .ui files. Every kit binds a file through what it reads here (see
// ui::bindInterface); the kits that cannot use QUiLoader (which needs a GUI application), the
// terminal kit and the scripted kit of the tests, also build their controls from it. It keeps
// only what the binding contract and a text front end need; layouts, sizes and fonts are left
// out.
namespace ui {

// Which control of the kit a widget stands for.
enum class ControlKind { View, TextField, Button, ProgressIndicator, ComboBox, Box, Window };

// The one mapping from Qt widget classes to kinds, by class name; every kit builds and binds by
// it. A window is a dialog at the root of its file; a text field is a line (QLineEdit, secure
// when its echo mode hides the text) or a label (QLabel); a box is a plain container (QWidget,
// QFrame, QGroupBox). Multi-line editors (QTextEdit, QPlainTextEdit, QTextBrowser) are plain
// views: a text field holds one line of plain text, which a terminal reads with one prompt.
// Any other class, a promoted one included, is a plain view.
ControlKind controlKindForClass(const QString &className, bool isRoot);
// "button", "text field", ...: for messages.
QString controlKindName(ControlKind kind);

struct UiControl {
    QString className;
    QString objectName;
    ControlKind kind = ControlKind::View;
    int parent = -1; // index of the enclosing widget in UiForm::controls; -1 for the root
    // The visible text: "text" (labels, fields, buttons), "title" (group boxes) or
    // "windowTitle" (windows), whichever the widget has.
    QString text;
    QString placeholderText;
    QString toolTip;
    QString action;              // the owner's action a click on this button calls
    QString firstView;           // root only: the objectName of the first control
    QString buddy;               // a label's buddy: the field it names
    bool cancel = false;         // clicked for Escape and the window's close button
    bool isDefault = false;      // clicked for Return in a dialog
    bool secure = false;         // a field whose text is not shown (echoMode other than Normal)
    bool editable = false;       // the user types into it (a line edit that is not read-only)
    bool hidden = false;         // hidden by its own "visible" property
    bool hiddenByParent = false; // an enclosing widget is hidden
    bool enabled = true;
};

// One .ui file: its root widget and everything inside it, in the order of the file.
struct UiForm {
    QString formClass;         // the file's <class>
    QList<UiControl> controls; // the root first, then the widgets inside it, in document order
    QStringList tabStops;      // objectNames in the tab order the file gives (may be empty)

    const UiControl &root() const { return controls.first(); }
    // The control with that objectName, or nullptr.
    const UiControl *find(const QString &objectName) const;
    // The controls in tab order: those the file lists first, in that order, then the rest in
    // document order.
    QList<const UiControl *> inTabOrder() const;
};

// An error of reading or binding an interface file, with the reason for people.
inline platform::Error interfaceError(const QString &reason) {
    return platform::Error{QStringLiteral("InterfaceFile"), 1, reason};
}

// Reads a .ui file (a resource path such as ":/nubelo/LoginSheet.ui" works too); on failure the
// error's text says why, naming the file and the line.
platform::Expected<UiForm> readUiFile(const QString &path);
platform::Expected<UiForm> readUi(QIODevice *device);

} // namespace ui
