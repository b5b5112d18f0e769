#pragma once

#include "Error.h"
#include "View.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <variant>

namespace ui {

// An outlet: a field of the owner that loading an interface file points at the control whose
// objectName is `name`. The slot's type says which kind of control the field takes.
struct Outlet {
    using Slot = std::variant<View **, TextField **, Button **, ProgressIndicator **, ComboBox **,
                              Box **, Window **>;
    QString name;
    Slot slot;
};

// Answers of runCriticalAlertPanel(), by the button chosen.
enum AlertReturn : int {
    AlertDefaultReturn = 1,
    AlertAlternateReturn = 0,
    AlertOtherReturn = -1,
};

// The application object of the UI kit: the few things the plug-in asks of a toolkit.
// The host picks one implementation at start (setApp) and keeps it for the life of the process,
// as there is one application object per process. Every call is made on the main thread, except
// performOnMainThread().
class Application {
public:
    // What runModalForWindow() answers when the run ended without stopModalWithCode() (the
    // application is quitting, the person gave up) and no cancel button of the window ended it.
    static constexpr int ModalAborted = -1001;

    virtual ~Application();

    // Loads the interface file at `resource` (a Qt Designer .ui file, usually under :/nubelo/)
    // for `owner`, and answers the object that keeps every control and window it made alive
    // (destroying it destroys them). Contract, the same for every kit:
    //  - each widget whose objectName is the name of one of `outlets` is bound to that outlet:
    //    the outlet's field is pointed at the kit's control of the matching kind;
    //  - the root widget's string property "firstView" names a control that is bound to the
    //    outlet named "mFirstView", when `outlets` has one;
    //  - each button's string property "action" names an invokable member of `owner` taking the
    //    sender, `void name(QObject *sender)`; a click calls it with the button as sender;
    //  - a button whose boolean property "cancel" is true is clicked for Escape and for the
    //    window's close button;
    //  - every outlet must be found in the file with a matching kind (controlKindForClass),
    //    "firstView" must name a widget of the file, only buttons carry actions and every
    //    action must exist on `owner`: otherwise nothing is bound and the answer is the error
    //    that says what is missing.
    // A kit implements it with ui::bindInterface (Binding.h), which holds the contract and the
    // one class-to-kind map, and builds only its own controls.
    virtual platform::Expected<std::unique_ptr<QObject>>
    loadInterface(const QString &resource, QObject *owner, const QList<Outlet> &outlets) = 0;

    // Attaches `sheet` to the window that shows `modalFor`; with no view, the sheet stands alone.
    virtual void beginSheet(Window *sheet, View *modalFor) = 0;
    // Runs a modal loop for `window` until stopModalWithCode() ends it; answers that code.
    virtual int runModalForWindow(Window *window) = 0;
    virtual void stopModalWithCode(int code) = 0;
    virtual void endSheet(Window *sheet) = 0;
    // Takes the window off the screen.
    virtual void orderOut(Window *window) = 0;

    // A critical alert with up to three buttons (a null text leaves that button out); answers
    // AlertDefaultReturn, AlertAlternateReturn or AlertOtherReturn. Dismissed without a click
    // (Escape, the window's close button, its loop ended) it answers as the alternate button,
    // else the other one; the default answer then only when it is the alert's only button.
    virtual int runCriticalAlertPanel(const QString &title, const QString &message,
                                      const QString &defaultButton, const QString &alternateButton,
                                      const QString &otherButton) = 0;
    // A modal alert built from an error (its description); returns once dismissed.
    virtual void presentError(const platform::Error &error) = 0;
    // A modal warning alert with one "OK" button; returns once dismissed.
    virtual void msgBox(const QString &message, const QString &informativeText) = 0;
    // Hands the URL to the desktop (mail program, browser); false when nothing took it.
    virtual bool openURL(const QUrl &url) = 0;

    // Runs `work` on the main thread and returns once it has finished: a direct call on the
    // main thread, otherwise queued to the main thread's event loop, which must be running.
    virtual void performOnMainThread(const std::function<void()> &work);
};

// The process-wide application object, or nullptr before a host has chosen one.
Application *app();
// Not owned; the host keeps it alive until it sets another one (or nullptr).
void setApp(Application *application);

} // namespace ui
