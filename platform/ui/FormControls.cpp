#include "FormControls.h"

#include <QMetaMethod>
#include <QMetaObject>

#include <type_traits>
#include <vector>

namespace ui {

namespace {

const QString kFirstViewOutlet = QStringLiteral("mFirstView");

bool ownerHasAction(const QObject *owner, const QString &action) {
    if (owner == nullptr)
        return false;
    const QByteArray signature =
        QMetaObject::normalizedSignature(QStringLiteral("%1(QObject*)").arg(action).toLatin1());
    const QMetaObject *meta = owner->metaObject();
    const int index = meta->indexOfMethod(signature.constData());
    if (index < 0)
        return false;
    const QMetaMethod method = meta->method(index);
    return method.methodType() != QMetaMethod::Signal &&
           method.returnMetaType() == QMetaType::fromType<void>();
}

} // namespace

bool hiddenOnScreen(const QObject *object) {
    for (const QObject *at = object; at != nullptr; at = at->parent()) {
        const auto *view = qobject_cast<const View *>(at);
        if (view != nullptr && view->isHidden())
            return true;
    }
    return false;
}

FormTextField::FormTextField(const UiControl &control, QObject *parent)
    : Hideable(parent)
    , mText(control.text)
    , mPlaceholder(control.placeholderText)
    , mSecure(control.secure)
    , mEditable(control.editable)
    , mStatusLine(control.hidden) {}

QString FormTextField::promptLabel() const {
    QString label = mLabel.trimmed();
    if (label.endsWith(QLatin1Char(':')))
        label.chop(1);
    if (!label.isEmpty())
        return label;
    if (!mPlaceholder.isEmpty())
        return mPlaceholder;
    return objectName();
}

FormButton::FormButton(const UiControl &control, QObject *owner, QObject *parent)
    : Hideable(parent)
    , mTitle(control.text)
    , mAction(control.action)
    , mOwner(owner)
    , mEnabled(control.enabled)
    , mCancel(control.cancel)
    , mDefault(control.isDefault) {}

bool FormButton::performClick() {
    if (mAction.isEmpty() || mOwner == nullptr)
        return false;
    QObject *sender = this;
    return QMetaObject::invokeMethod(mOwner, mAction.toLatin1().constData(), Qt::DirectConnection,
                                     Q_ARG(QObject *, sender));
}

bool FormBox::pressKey(const QString &characters) {
    return mHandler ? mHandler(KeyEvent{characters}) : false;
}

FormWindow::FormWindow(const UiControl &control, QObject *parent)
    : Window(parent)
    , mTitle(control.text) {}

void FormWindow::setControls(const QList<QObject *> &inTabOrder,
                             const QList<QObject *> &inFileOrder) {
    mTabOrder.clear();
    for (QObject *object : inTabOrder)
        mTabOrder.append(object);
    mFileOrder.clear();
    for (QObject *object : inFileOrder)
        mFileOrder.append(object);
}

std::unique_ptr<QObject> loadForm(const QString &resource, QObject *owner,
                                  const QList<Outlet> &outlets, QString *why,
                                  const FormWindowMaker &makeWindow) {
    const auto fail = [why](const QString &reason) {
        if (why != nullptr)
            *why = reason;
        return std::unique_ptr<QObject>();
    };

    QString reason;
    const std::optional<UiForm> form = readUiFile(resource, &reason);
    if (!form)
        return fail(reason);

    for (const UiControl &control : form->controls) {
        if (control.action.isEmpty())
            continue;
        if (control.kind != ControlKind::Button)
            return fail(QStringLiteral("%1 carries an action but is a %2")
                            .arg(control.objectName, controlKindName(control.kind)));
        if (!ownerHasAction(owner, control.action))
            return fail(QStringLiteral("the action %1 of %2 is not an action of the owner")
                            .arg(control.action, control.objectName));
    }
    const QString firstView = form->root().firstView;
    if (!firstView.isEmpty() && form->find(firstView) == nullptr)
        return fail(QStringLiteral("firstView names %1, which is not in the file").arg(firstView));

    auto interface = std::make_unique<QObject>();
    interface->setObjectName(resource);
    QList<QObject *> made; // by index in form->controls
    const auto indexOf = [&form](const UiControl *control) {
        return int(control - form->controls.constData());
    };
    for (const UiControl &control : form->controls) {
        QObject *parent = control.parent < 0 ? interface.get() : made.at(control.parent);
        QObject *object = nullptr;
        switch (control.kind) {
        case ControlKind::TextField:
            object = new FormTextField(control, parent);
            break;
        case ControlKind::Button:
            object = new FormButton(control, owner, parent);
            break;
        case ControlKind::ProgressIndicator:
            object = new FormProgressIndicator(parent);
            break;
        case ControlKind::ComboBox:
            object = new FormComboBox(parent);
            break;
        case ControlKind::Box:
            object = new FormBox(parent);
            break;
        case ControlKind::View:
            object = new FormView(parent);
            break;
        case ControlKind::Window:
            object = makeWindow ? makeWindow(control, parent) : nullptr;
            if (object == nullptr)
                object = new FormWindow(control, parent);
            break;
        }
        object->setObjectName(control.objectName);
        if (auto *view = qobject_cast<View *>(object))
            view->setHidden(control.hidden);
        made.append(object);
    }

    // Labels name their fields, so a text front end asks for the field by the label's text and
    // does not show the label beside it.
    for (int i = 0; i < form->controls.size(); ++i) {
        const UiControl &control = form->controls.at(i);
        if (control.buddy.isEmpty())
            continue;
        const UiControl *buddy = form->find(control.buddy);
        if (buddy == nullptr)
            continue;
        auto *field = qobject_cast<FormTextField *>(made.at(indexOf(buddy)));
        auto *label = qobject_cast<FormTextField *>(made.at(i));
        if (field != nullptr && label != nullptr) {
            field->setLabel(control.text);
            label->setLabelOfAnother(true);
        }
    }
    if (auto *window = qobject_cast<FormWindow *>(made.constFirst())) {
        QList<QObject *> inTabOrder;
        for (const UiControl *control : form->inTabOrder())
            inTabOrder.append(made.at(indexOf(control)));
        window->setControls(inTabOrder, made);
    }

    // Every outlet is checked before any is bound, so a failed load leaves the owner untouched.
    std::vector<std::function<void()>> bindings;
    for (const Outlet &outlet : outlets) {
        const QString target =
            (outlet.name == kFirstViewOutlet && !firstView.isEmpty()) ? firstView : outlet.name;
        const UiControl *control = form->find(target);
        if (control == nullptr)
            return fail(
                QStringLiteral("no widget named %1 for the outlet %2").arg(target, outlet.name));
        QObject *object = made.at(indexOf(control));
        const bool bound = std::visit(
            [&](auto slot) {
                using Control = std::remove_pointer_t<std::remove_pointer_t<decltype(slot)>>;
                auto *typed = qobject_cast<Control *>(object);
                if (typed == nullptr || slot == nullptr)
                    return false;
                bindings.push_back([slot, typed] { *slot = typed; });
                return true;
            },
            outlet.slot);
        if (!bound)
            return fail(QStringLiteral("the outlet %1 cannot take %2, a %3")
                            .arg(outlet.name, target, controlKindName(control->kind)));
    }
    for (const auto &bind : bindings)
        bind();
    return interface;
}

} // namespace ui
