#include "KeyMapping.h"

#include <QKeyEvent>

namespace qtwidgets {

namespace {

QString character(char32_t code) {
    return QString::fromUcs4(&code, 1);
}

bool printable(const QString &text) {
    return !text.isEmpty() && text.at(0).isPrint();
}

} // namespace

ui::KeyEvent keyEventFor(const QKeyEvent &event) {
    const int key = event.key();
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    switch (key) {
    case Qt::Key_Return:
        return {character(13)};
    case Qt::Key_Enter:
        return {character(3)};
    case Qt::Key_Tab:
        return {character(9)};
    case Qt::Key_Backtab:
        return {character(0x19)};
    case Qt::Key_Escape:
        return {character(0x1b)};
    case Qt::Key_Backspace:
        return {character(0x7f)};
    default:
        break;
    }

    const bool commandLike = modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (commandLike && key >= Qt::Key_A && key <= Qt::Key_Z) {
        const QChar letter(key);
        return {QString(modifiers & Qt::ShiftModifier ? letter : letter.toLower())};
    }
    // The text is right for plain keys (it follows the layout and Caps Lock); with Ctrl it may
    // be a control code, so then the key code stands in.
    if (printable(event.text()))
        return {event.text()};
    if (key > 0 && key < Qt::Key_Escape) {
        const QString fromKey = character(char32_t(key));
        if (printable(fromKey))
            return {modifiers & Qt::ShiftModifier ? fromKey : fromKey.toLower()};
    }
    return {QString()};
}

} // namespace qtwidgets
