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

// A control of kind `Base` over a widget of class `W`: shown and hidden with its widget.
template <class Base, class W = QWidget> class WidgetView : public Base, public WidgetControl {
public:
    WidgetView(W *widget, QObject *parent)
        : Base(parent)
        , mWidget(widget) {}
    QWidget *widget() const override { return mWidget; }
    bool isHidden() const override { return mWidget == nullptr || mWidget->isHidden(); }
    void setHidden(bool hidden) override {
        if (mWidget != nullptr)
            mWidget->setHidden(hidden);
    }

protected:
    QPointer<W> mWidget;
};

// Any widget the kit has no more to say about.
class ViewControl final : public WidgetView<ui::View> {
    Q_OBJECT
public:
    using WidgetView::WidgetView;
};

class TextFieldControl final : public WidgetView<ui::TextField> {
    Q_OBJECT
public:
    // `widget` is a QLineEdit or a QLabel.
    TextFieldControl(QWidget *widget, QObject *parent);
    QString stringValue() const override;
    void setStringValue(const QString &text) override;
    bool isSecure() const override;
};

// A click on the widget sends the action the kit bound (ui::Button::setAction).
class ButtonControl final : public WidgetView<ui::Button, QAbstractButton> {
    Q_OBJECT
public:
    ButtonControl(QAbstractButton *button, QObject *parent);
    QAbstractButton *button() const { return mWidget; }
    QString title() const override;
    void setTitle(const QString &title) override;
};

// The busy indicator: a QProgressBar whose animation is the busy range (minimum = maximum = 0).
class ProgressIndicatorControl final : public WidgetView<ui::ProgressIndicator, QProgressBar> {
    Q_OBJECT
public:
    ProgressIndicatorControl(QProgressBar *bar, QObject *parent);
    void startAnimation() override;
    void stopAnimation() override;
    bool isAnimating() const override { return mAnimating; }

private:
    void rest();

    bool mAnimating = false;
};

class ComboBoxControl final : public WidgetView<ui::ComboBox, QComboBox> {
    Q_OBJECT
public:
    using WidgetView::WidgetView;
    QString stringValue() const override;
    void setStringValue(const QString &text) override;
};

// A container, in particular the root of a settings view. Key presses that reach the widget
// (those its children left unhandled, or sent to it directly) go to the handler first.
class BoxControl final : public WidgetView<ui::Box> {
    Q_OBJECT
public:
    BoxControl(QWidget *widget, QObject *parent);
    void setKeyEquivalentHandler(KeyHandler handler) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
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
