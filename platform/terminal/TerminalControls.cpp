#include "TerminalControls.h"

#include <QMetaObject>

namespace terminal {

bool hiddenOnScreen(const QObject *object) {
    for (const QObject *at = object; at != nullptr; at = at->parent()) {
        const auto *view = qobject_cast<const ui::View *>(at);
        if (view != nullptr && view->isHidden())
            return true;
    }
    return false;
}

TextField::TextField(const ui::UiControl &control, QObject *parent)
    : Hideable(parent)
    , mText(control.text)
    , mPlaceholder(control.placeholderText)
    , mSecure(control.secure)
    , mEditable(control.editable)
    , mStatusLine(control.hidden) {}

QString TextField::promptLabel() const {
    QString label = mLabel.trimmed();
    if (label.endsWith(QLatin1Char(':')))
        label.chop(1);
    if (!label.isEmpty())
        return label;
    if (!mPlaceholder.isEmpty())
        return mPlaceholder;
    return objectName();
}

Button::Button(const ui::UiControl &control, QObject *owner, QObject *parent)
    : Hideable(parent)
    , mTitle(control.text)
    , mAction(control.action)
    , mOwner(owner)
    , mEnabled(control.enabled)
    , mCancel(control.cancel)
    , mDefault(control.isDefault) {}

bool Button::performClick() {
    if (mAction.isEmpty() || mOwner == nullptr)
        return false;
    QObject *sender = this;
    return QMetaObject::invokeMethod(mOwner, mAction.toLatin1().constData(), Qt::DirectConnection,
                                     Q_ARG(QObject *, sender));
}

bool Box::pressKey(const QString &characters) {
    return mHandler ? mHandler(ui::KeyEvent{characters}) : false;
}

Window::Window(const ui::UiControl &control, QObject *parent)
    : ui::Window(parent)
    , mTitle(control.text) {}

void Window::setControls(QList<QObject *> inTabOrder, QList<QObject *> inFileOrder) {
    mTabOrder.clear();
    for (QObject *object : inTabOrder)
        mTabOrder.append(object);
    mFileOrder.clear();
    for (QObject *object : inFileOrder)
        mFileOrder.append(object);
}

} // namespace terminal
