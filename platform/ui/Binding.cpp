#include "Binding.h"

#include <QMetaMethod>
#include <QMetaObject>
#include <QStringList>

#include <type_traits>
#include <vector>

namespace ui {

void Button::setAction(QObject *target, const QMetaMethod &action) {
    mTarget = target;
    mAction = action;
}

bool Button::performClick() {
    if (!hasAction())
        return false;
    QObject *sender = this;
    return mAction.invoke(mTarget.data(), Qt::DirectConnection, Q_ARG(QObject *, sender));
}

namespace {

const QString kFirstViewOutlet = QStringLiteral("mFirstView");

// `void action(QObject *)` on the owner, or an invalid method.
QMetaMethod actionOf(const QObject *owner, const QString &action) {
    if (owner == nullptr)
        return {};
    const QByteArray signature =
        QMetaObject::normalizedSignature(QStringLiteral("%1(QObject*)").arg(action).toLatin1());
    const QMetaObject *meta = owner->metaObject();
    const int index = meta->indexOfMethod(signature.constData());
    if (index < 0)
        return {};
    const QMetaMethod method = meta->method(index);
    if (method.methodType() == QMetaMethod::Signal ||
        method.returnMetaType() != QMetaType::fromType<void>())
        return {};
    return method;
}

// The kind of control an outlet of type `Control *` takes: a view takes any control but a
// window, every other outlet its own kind.
template <class Control> bool takes(ControlKind kind) {
    if constexpr (std::is_same_v<Control, View>)
        return kind != ControlKind::Window;
    else if constexpr (std::is_same_v<Control, TextField>)
        return kind == ControlKind::TextField;
    else if constexpr (std::is_same_v<Control, Button>)
        return kind == ControlKind::Button;
    else if constexpr (std::is_same_v<Control, ProgressIndicator>)
        return kind == ControlKind::ProgressIndicator;
    else if constexpr (std::is_same_v<Control, ComboBox>)
        return kind == ControlKind::ComboBox;
    else if constexpr (std::is_same_v<Control, Box>)
        return kind == ControlKind::Box;
    else
        return kind == ControlKind::Window;
}

int indexOf(const UiForm &form, const QString &objectName) {
    const UiControl *control = objectName.isEmpty() ? nullptr : form.find(objectName);
    return control != nullptr ? int(control - form.controls.constData()) : -1;
}

} // namespace

platform::Expected<std::unique_ptr<QObject>> bindInterface(const QString &resource, QObject *owner,
                                                           const QList<Outlet> &outlets,
                                                           const InterfaceBuilder &build) {
    const platform::Expected<UiForm> form = readUiFile(resource);
    if (!form)
        return form.error();

    // Every check is made on the file before the kit builds anything.
    QStringList problems;
    const QString firstView = form->root().firstView;
    if (!firstView.isEmpty() && indexOf(*form, firstView) < 0)
        problems << QStringLiteral("firstView names %1, which is not in the file").arg(firstView);
    QList<std::pair<int, QMetaMethod>> actions; // by index in the form
    for (int i = 0; i < form->controls.size(); ++i) {
        const UiControl &control = form->controls.at(i);
        if (control.action.isEmpty())
            continue;
        const QMetaMethod method = actionOf(owner, control.action);
        if (control.kind != ControlKind::Button)
            problems << QStringLiteral("%1 carries the action %2 but is a %3")
                            .arg(control.objectName, control.action, controlKindName(control.kind));
        else if (!method.isValid())
            problems << QStringLiteral("%1 has no action %2(QObject*) for the button %3")
                            .arg(owner != nullptr
                                     ? QString::fromLatin1(owner->metaObject()->className())
                                     : QStringLiteral("no owner"),
                                 control.action, control.objectName);
        else
            actions.append({i, method});
    }
    QList<int> targets; // the widget of each outlet, by index in the form
    for (const Outlet &outlet : outlets) {
        const bool first = outlet.name == kFirstViewOutlet && !firstView.isEmpty();
        const QString name = first ? firstView : outlet.name;
        const int index = indexOf(*form, name);
        targets.append(index);
        if (index < 0) {
            if (!first)
                problems << QStringLiteral("no widget named %1 for the outlet %1").arg(name);
            continue;
        }
        const UiControl &control = form->controls.at(index);
        const bool fits = std::visit(
            [&]<class Control>(Control **) { return takes<Control>(control.kind); }, outlet.slot);
        if (!fits)
            problems << QStringLiteral("the outlet %1 cannot take %2, a %3 (%4)")
                            .arg(outlet.name, name, controlKindName(control.kind),
                                 control.className);
    }
    if (!problems.isEmpty())
        return interfaceError(problems.join(QStringLiteral("; ")));

    platform::Expected<KitInterface> made = build(resource, *form);
    if (!made)
        return made.error();

    // The kit's controls are collected before anything is written, so that a kit that lacks one
    // still leaves the owner untouched.
    std::vector<std::function<void()>> bindings;
    for (const auto &[index, method] : std::as_const(actions)) {
        auto *button = qobject_cast<Button *>(made->controlAt(index));
        if (button == nullptr)
            return interfaceError(QStringLiteral("the kit made no button for %1")
                                      .arg(form->controls.at(index).objectName));
        // An init-capture: clang before 16 cannot capture a structured binding by name.
        bindings.push_back([button, owner, action = method] { button->setAction(owner, action); });
    }
    for (int i = 0; i < outlets.size(); ++i) {
        QObject *control = made->controlAt(targets.at(i));
        const bool found = std::visit(
            [&]<class Control>(Control **slot) {
                auto *typed = qobject_cast<Control *>(control);
                if (typed != nullptr && slot != nullptr)
                    bindings.push_back([slot, typed] { *slot = typed; });
                return typed != nullptr;
            },
            outlets.at(i).slot);
        if (!found)
            return interfaceError(QStringLiteral("the kit made no control for the outlet %1")
                                      .arg(outlets.at(i).name));
    }
    for (const auto &bind : bindings)
        bind();
    return std::move(made->keeper);
}

} // namespace ui
