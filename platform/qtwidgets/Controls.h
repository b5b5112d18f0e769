#pragma once

#include "ui/View.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QMetaMethod>
#include <QPointer>
#include <QProgressBar>
#include <QWidget>

// The Qt Widgets side of the kit's controls. A control points at its widget without owning it:
// a host may reparent a view into its own window, and that window may then destroy the widget
// first. A control whose widget is gone answers as a hidden, empty control and ignores calls.
namespace qtwidgets {

// What every control knows: the widget it stands for (null once that widget is gone).
class WidgetControl {
public:
    virtual ~WidgetControl();
    virtual QWidget *widget() const = 0;
};

class TextFieldControl final : public ui::TextField, public WidgetControl {
    Q_OBJECT
public:
    // `widget` is a QLineEdit or a QLabel.
    TextFieldControl(QWidget *widget, QObject *parent);
    QWidget *widget() const override { return mWidget; }
    bool isHidden() const override;
    void setHidden(bool hidden) override;
    QString stringValue() const override;
    void setStringValue(const QString &text) override;
    bool isSecure() const override;

private:
    QPointer<QWidget> mWidget;
};

class ButtonControl final : public ui::Button, public WidgetControl {
    Q_OBJECT
public:
    ButtonControl(QAbstractButton *button, QObject *parent);
    QWidget *widget() const override;
    QAbstractButton *button() const { return mButton; }
    bool isHidden() const override;
    void setHidden(bool hidden) override;
    QString title() const override;
    void setTitle(const QString &title) override;

    // Connects a click to `method` of `target`, called with this control as the sender.
    void setAction(QObject *target, const QMetaMethod &method);
    bool hasAction() const { return mTarget != nullptr && mMethod.isValid(); }
    // Sends the action as a click would, even when the widget is gone or disabled.
    void performAction();

private:
    QPointer<QAbstractButton> mButton;
    QPointer<QObject> mTarget;
    QMetaMethod mMethod;
};

// The busy indicator: a QProgressBar whose animation is the busy range (minimum = maximum = 0).
class ProgressIndicatorControl final : public ui::ProgressIndicator, public WidgetControl {
    Q_OBJECT
public:
    ProgressIndicatorControl(QProgressBar *bar, QObject *parent);
    QWidget *widget() const override;
    bool isHidden() const override;
    void setHidden(bool hidden) override;
    void startAnimation() override;
    void stopAnimation() override;
    bool isAnimating() const override { return mAnimating; }

private:
    void rest();

    QPointer<QProgressBar> mBar;
    bool mAnimating = false;
};

class ComboBoxControl final : public ui::ComboBox, public WidgetControl {
    Q_OBJECT
public:
    ComboBoxControl(QComboBox *combo, QObject *parent);
    QWidget *widget() const override;
    bool isHidden() const override;
    void setHidden(bool hidden) override;
    QString stringValue() const override;
    void setStringValue(const QString &text) override;

private:
    QPointer<QComboBox> mCombo;
};

// Any other widget, in particular the root of a settings view. Key presses that reach the widget
// (those its children left unhandled, or sent to it directly) go to the handler first.
class BoxControl final : public ui::Box, public WidgetControl {
    Q_OBJECT
public:
    BoxControl(QWidget *widget, QObject *parent);
    QWidget *widget() const override { return mWidget; }
    bool isHidden() const override;
    void setHidden(bool hidden) override;
    void setKeyEquivalentHandler(KeyHandler handler) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> mWidget;
    KeyHandler mHandler;
};

// A window of the plug-in over a QDialog. Escape and the window's close button click the button
// whose "cancel" property is true instead of rejecting the dialog, which would hide it while a
// modal run goes on.
class WindowControl final : public ui::Window {
    Q_OBJECT
public:
    WindowControl(QDialog *dialog, QObject *parent);
    QDialog *dialog() const { return mDialog; }
    bool isVisible() const override;

    void setCancelButton(ButtonControl *cancel) { mCancel = cancel; }
    ButtonControl *cancelButton() const { return mCancel; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void clickCancel();

    QPointer<QDialog> mDialog;
    QPointer<ButtonControl> mCancel;
};

} // namespace qtwidgets
