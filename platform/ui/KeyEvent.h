#pragma once

#include <QString>

namespace ui {

// A key press as the settings box sees it: the characters the key gives without modifiers
// (Return is "\r", keypad Enter "\x03", Ctrl+C is "c").
struct KeyEvent {
    QString charactersIgnoringModifiers;
};

} // namespace ui
