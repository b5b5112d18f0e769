#pragma once

#include "ui/FormControls.h"

// The controls of the terminal kit: the in-memory controls of a loaded form. The kit turns a
// window's modal run into prompts over them (see TerminalApplication).
namespace terminal {

using ui::hiddenOnScreen;
using TextField = ui::FormTextField;
using Button = ui::FormButton;
using ProgressIndicator = ui::FormProgressIndicator;
using ComboBox = ui::FormComboBox;
using Box = ui::FormBox;
using View = ui::FormView;

class Window final : public ui::FormWindow {
    Q_OBJECT
public:
    using FormWindow::FormWindow;

    // Bookkeeping of the kit: modal runs in the whole life of the window and in the current
    // showing (since the last beginSheet).
    int runs = 0;
    int runsInShowing = 0;
};

} // namespace terminal
