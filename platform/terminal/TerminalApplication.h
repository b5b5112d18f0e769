#pragma once

#include "TerminalControls.h"
#include "TerminalIO.h"
#include "ui/Application.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>

#include <optional>
#include <unistd.h>

namespace terminal {

// The UI kit over a terminal. It builds its controls from the same interface files as the
// other kits (read with ui::readUiFile, as QUiLoader needs a GUI application) and turns a
// window's modal run into a conversation:
//  - the window's title and texts are printed when it first runs in a showing, its status lines
//    (texts hidden in the file, such as a sheet's error line) before every run in which they
//    are shown;
//  - its text fields are asked for in tab order (a secure field without echo), except those the
//    host gave a value for (setGivenValue), which take that value once;
//  - then it asks which button to press, unless the window has a default button and no field
//    was asked for, or the host gave a value for one: a person who gave values with the
//    command (an address, then typed the password) has already said Go. One who typed every
//    value still gets the choice.
// Alerts and critical alert panels print to the output (standard error); a panel asks for its
// choice.
//
// Without a terminal on the input the kit never waits: fields take the values given, the
// default button is pressed, a window run a second time counts as its cancel button, and a
// critical alert panel takes the host's standing answer or else its least committal button
// (the other, else the alternate, else the default one). Once an interrupt has come, every
// question is answered as cancel.
class TerminalApplication : public ui::Application {
public:
    struct Options {
        int input = STDIN_FILENO;
        int output = STDERR_FILENO;
        // Whether a person answers on `input`; by default, whether it is a terminal.
        std::optional<bool> interactive;
    };

    // The host makes it the process's kit with ui::setApp(); the destructor lets go of that.
    TerminalApplication();
    explicit TerminalApplication(const Options &options);
    ~TerminalApplication() override;
    TerminalApplication(const TerminalApplication &) = delete;
    TerminalApplication &operator=(const TerminalApplication &) = delete;

    // ui::Application.
    platform::Expected<std::unique_ptr<QObject>>
    loadInterface(const QString &resource, QObject *owner,
                  const QList<ui::Outlet> &outlets) override;
    void beginSheet(ui::Window *sheet, ui::View *modalFor) override;
    int runModalForWindow(ui::Window *window) override;
    void stopModalWithCode(int code) override;
    void endSheet(ui::Window *sheet) override;
    void orderOut(ui::Window *window) override;
    int runCriticalAlertPanel(const QString &title, const QString &message,
                              const QString &defaultButton, const QString &alternateButton,
                              const QString &otherButton) override;
    void presentError(const platform::Error &error) override;
    void msgBox(const QString &message, const QString &informativeText) override;
    bool openURL(const QUrl &url) override;

    bool isInteractive() const { return mInteractive; }

    // The host's answers. A value for the text field with that objectName, used the next time
    // a window that holds the field runs (once).
    void setGivenValue(const QString &field, const QString &text);
    // The answer every critical alert panel takes (AlertDefaultReturn, ...), when it has that
    // button; nothing puts the question back.
    void setCriticalAlertAnswer(std::optional<int> answer) { mAlertAnswer = answer; }
    // Where an interrupt shows (see InterruptWatch::source()).
    void setInterruptSource(InterruptSource source) { mInterrupt = std::move(source); }

    // A person's click on a button of a loaded interface: false when there is no such button,
    // or it is hidden, disabled or in a window that is not on screen.
    bool click(const QString &objectName);

private:
    struct ModalRun {
        Window *window = nullptr;
        std::optional<int> code;
    };

    void say(const QString &text) const;
    bool interrupted() const;
    // Prints what the window shows; the first run of a showing prints its title and texts too.
    void showTexts(Window &window, bool firstRun);
    // False when the person gave up (end of input or an interrupt). `asked`: a field was
    // asked for; `usedGiven`: one took the host's value.
    bool fillFields(Window &window, bool *asked, bool *usedGiven);
    // nullptr when the person gave up.
    Button *askForButton(Window &window);
    void press(Button *button);
    int askCriticalAlert(const QString &title, const QString &message, const QString &defaultButton,
                         const QString &alternateButton, const QString &otherButton);

    template <class T> T *find(const QString &objectName) const {
        for (const QPointer<QObject> &interface : mInterfaces) {
            if (interface == nullptr)
                continue;
            if (T *found = interface->findChild<T *>(objectName))
                return found;
        }
        return nullptr;
    }

    int mInput;
    int mOutput;
    bool mInteractive;
    InterruptSource mInterrupt;
    QHash<QString, QString> mGiven;
    std::optional<int> mAlertAnswer;
    QList<QPointer<QObject>> mInterfaces;
    QList<ModalRun *> mRuns; // nested modal runs, innermost last
};

} // namespace terminal
