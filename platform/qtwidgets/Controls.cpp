#include "Controls.h"

#include "KeyMapping.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

namespace qtwidgets {

WidgetControl::~WidgetControl() = default;

// --- text field ---------------------------------------------------------------------------

TextFieldControl::TextFieldControl(QWidget *widget, QObject *parent)
    : WidgetView(widget, parent) {
    // A text field shows its text as it is. A label would take text that looks like markup
    // (an address typed as "<b>ana</b>", a server's message) as rich text and render it.
    if (auto *label = qobject_cast<QLabel *>(widget))
        label->setTextFormat(Qt::PlainText);
}

QString TextFieldControl::stringValue() const {
    if (auto *line = qobject_cast<QLineEdit *>(mWidget))
        return line->text();
    if (auto *label = qobject_cast<QLabel *>(mWidget))
        return label->text();
    return QString();
}

void TextFieldControl::setStringValue(const QString &text) {
    if (auto *line = qobject_cast<QLineEdit *>(mWidget))
        line->setText(text);
    else if (auto *label = qobject_cast<QLabel *>(mWidget))
        label->setText(text);
}

bool TextFieldControl::isSecure() const {
    auto *line = qobject_cast<QLineEdit *>(mWidget);
    return line != nullptr && line->echoMode() != QLineEdit::Normal;
}

// --- button -------------------------------------------------------------------------------

ButtonControl::ButtonControl(QAbstractButton *button, QObject *parent)
    : WidgetView(button, parent) {
    connect(button, &QAbstractButton::clicked, this, &ButtonControl::performClick);
}

QString ButtonControl::title() const {
    return mWidget != nullptr ? mWidget->text() : QString();
}

void ButtonControl::setTitle(const QString &title) {
    if (mWidget != nullptr)
        mWidget->setText(title);
}

// --- progress indicator -------------------------------------------------------------------

ProgressIndicatorControl::ProgressIndicatorControl(QProgressBar *bar, QObject *parent)
    : WidgetView(bar, parent) {
    // A bar drawn busy in the interface file would look busy before anyone started it.
    if (bar->minimum() == 0 && bar->maximum() == 0) {
        bar->setTextVisible(false);
        rest();
    }
}

void ProgressIndicatorControl::startAnimation() {
    mAnimating = true;
    if (mWidget != nullptr)
        mWidget->setRange(0, 0);
}

void ProgressIndicatorControl::stopAnimation() {
    mAnimating = false;
    rest();
}

void ProgressIndicatorControl::rest() {
    if (mWidget == nullptr)
        return;
    mWidget->setRange(0, 1);
    mWidget->setValue(0);
}

// --- combo box ----------------------------------------------------------------------------

QString ComboBoxControl::stringValue() const {
    return mWidget != nullptr ? mWidget->currentText() : QString();
}

void ComboBoxControl::setStringValue(const QString &text) {
    if (mWidget != nullptr)
        mWidget->setCurrentText(text);
}

// --- box ----------------------------------------------------------------------------------

BoxControl::BoxControl(QWidget *widget, QObject *parent)
    : WidgetView(widget, parent) {
    widget->installEventFilter(this);
}

void BoxControl::setKeyEquivalentHandler(KeyHandler handler) {
    mHandler = std::move(handler);
}

namespace {

// A modifier pressed on its own changes the modifiers of the next key; it is not a key press
// the box should see.
bool isModifierKey(int key) {
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
        return true;
    default:
        return false;
    }
}

} // namespace

bool BoxControl::eventFilter(QObject *watched, QEvent *event) {
    // The type first: a widget being destroyed still sends events, and is no longer its class.
    if (event->type() != QEvent::KeyPress || watched != mWidget || !mHandler)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    if (isModifierKey(key->key()))
        return false;
    // The handler may replace itself (the box it calls can go away); keep it alive for the call.
    const KeyHandler handler = mHandler;
    if (!handler(keyEventFor(*key)))
        return false; // Qt goes on with the key: the widget, then its parents
    event->accept();
    return true;
}

// --- window -------------------------------------------------------------------------------

WindowControl::WindowControl(QDialog *dialog, QObject *parent)
    : ui::Window(parent)
    , mDialog(dialog) {
    mDialog->installEventFilter(this);
}

bool WindowControl::isVisible() const {
    return mDialog != nullptr && mDialog->isVisible();
}

bool WindowControl::eventFilter(QObject *, QEvent *event) {
    // Filters only the dialog; mDialog is not looked at for the events a dialog being destroyed
    // still sends, when it is no longer a QDialog.
    switch (event->type()) {
    case QEvent::KeyPress:
        // QDialog would reject() on Escape; here Escape is the cancel button's.
        if (!static_cast<QKeyEvent *>(event)->matches(QKeySequence::Cancel))
            return false;
        event->accept();
        clickCancel();
        return true;
    case QEvent::Close:
        // The close button: a close event arrives accepted, and an accepted one hides us.
        event->ignore();
        clickCancel();
        return true;
    default:
        return false;
    }
}

void WindowControl::clickCancel() {
    if (mCancel != nullptr && mCancel->button() != nullptr)
        mCancel->button()->click();
}

} // namespace qtwidgets
