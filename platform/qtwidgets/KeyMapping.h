#pragma once

#include "ui/KeyEvent.h"

class QKeyEvent;

namespace qtwidgets {

// The characters a key press gives without its modifiers. Taken from key(), not text(): Qt
// reports Ctrl+C in text() as "\x03", which is also the code of keypad Enter. Return gives "\r",
// keypad Enter "\x03", a letter with Ctrl, Alt or Meta the letter itself (upper case only with
// Shift), a plain key its text. Modifier keys alone and keys without a character give "".
ui::KeyEvent keyEventFor(const QKeyEvent &event);

} // namespace qtwidgets
