#include "FormControls.h"

namespace ui {

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

FormButton::FormButton(const UiControl &control, QObject *parent)
    : Hideable(parent)
    , mTitle(control.text)
    , mEnabled(control.enabled)
    , mCancel(control.cancel)
    , mDefault(control.isDefault) {}

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

InterfaceBuilder formBuilder(const FormWindowMaker &makeWindow) {
    return [makeWindow](const QString &resource,
                        const UiForm &form) -> platform::Expected<KitInterface> {
        auto keeper = std::make_unique<QObject>();
        keeper->setObjectName(resource);
        QList<QObject *> made; // by index in form.controls
        const auto indexOf = [&form](const UiControl *control) {
            return int(control - form.controls.constData());
        };
        for (const UiControl &control : form.controls) {
            QObject *parent = control.parent < 0 ? keeper.get() : made.at(control.parent);
            QObject *object = nullptr;
            switch (control.kind) {
            case ControlKind::TextField:
                object = new FormTextField(control, parent);
                break;
            case ControlKind::Button:
                object = new FormButton(control, parent);
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

        // Labels name their fields, so a text front end asks for the field by the label's text
        // and does not show the label beside it.
        for (int i = 0; i < form.controls.size(); ++i) {
            const UiControl &control = form.controls.at(i);
            const UiControl *buddy = control.buddy.isEmpty() ? nullptr : form.find(control.buddy);
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
            for (const UiControl *control : form.inTabOrder())
                inTabOrder.append(made.at(indexOf(control)));
            window->setControls(inTabOrder, made);
        }
        return KitInterface{std::move(keeper), [made](int index) {
                                return made.value(index);
                            }};
    };
}

} // namespace ui
