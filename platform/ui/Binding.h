#pragma once

#include "Application.h"
#include "UiFile.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// The one implementation of the interface-file contract of Application::loadInterface. A kit
// builds only its own controls; what a file must hold for an owner, and what gets bound to what,
// is decided here, from the file as ui::readUiFile reads it and by the one class-to-kind map
// (controlKindForClass), so that a file binds in every kit or in none.
namespace ui {

// What a kit made of a form.
struct KitInterface {
    // Keeps every control and window the kit made alive; destroying it destroys them.
    std::unique_ptr<QObject> keeper;
    // The kit's control for the widget at `index` in UiForm::controls, of the kind the form gives
    // it (made on first use if the kit likes); nullptr when the kit has none for it. Called
    // only while the binding runs, when the form it was built for is still there.
    std::function<QObject *(int index)> controlAt;
};

// Makes the kit's controls for a form that has passed every check, or says why the kit cannot.
using InterfaceBuilder =
    std::function<platform::Expected<KitInterface>(const QString &resource, const UiForm &form)>;

// Reads the .ui file at `resource` and checks it against `owner` and `outlets`: every outlet
// names a widget (mFirstView the one the root's "firstView" property names, when it names one)
// whose kind the outlet takes; "firstView" names a widget of the file; every widget with an
// "action" is a button whose action is `void action(QObject *sender)` on `owner`. Then `build`
// makes the kit's controls, the buttons get their actions (ui::Button::setAction) and the
// outlets are written. When anything fails nothing is bound and the error says every problem
// found; otherwise the answer is the builder's keeper.
platform::Expected<std::unique_ptr<QObject>> bindInterface(const QString &resource, QObject *owner,
                                                           const QList<Outlet> &outlets,
                                                           const InterfaceBuilder &build);

} // namespace ui
