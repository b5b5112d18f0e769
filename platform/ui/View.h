#pragma once

#include "KeyEvent.h"

#include <QMetaMethod>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

// The controls of the UI kit, as toolkit-neutral interfaces. Each kit (Qt Widgets, terminal,
// the scripted one of the tests) implements them over its own controls. The objects belong to
// the kit's loaded interface (see Application::loadInterface); the plug-in only points at them.
// Every call is made on the main thread.
namespace ui {

class View : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual bool isHidden() const = 0;
    virtual void setHidden(bool hidden) = 0;
};

class TextField : public View {
    Q_OBJECT
public:
    using View::View;
    virtual QString stringValue() const = 0;
    virtual void setStringValue(const QString &text) = 0;
    // A secure field shows no text and is read without echo.
    virtual bool isSecure() const = 0;
};

class Button : public View {
    Q_OBJECT
public:
    using View::View;
    virtual QString title() const = 0;
    virtual void setTitle(const QString &title) = 0;

    // The target and action that loading the interface file bound (see ui::bindInterface): a
    // click sends `action(sender)` to the target, with this button as the sender.
    void setAction(QObject *target, const QMetaMethod &action);
    bool hasAction() const { return mTarget != nullptr && mAction.isValid(); }
    // Sends the action as a click would, whether or not a person could reach the button (each
    // kit checks that itself); false when there is none or its target is gone.
    bool performClick();

private:
    QPointer<QObject> mTarget;
    QMetaMethod mAction;
};

class ProgressIndicator : public View {
    Q_OBJECT
public:
    using View::View;
    virtual void startAnimation() = 0;
    virtual void stopAnimation() = 0;
    virtual bool isAnimating() const = 0;
};

class ComboBox : public View {
    Q_OBJECT
public:
    using View::View;
    virtual QString stringValue() const = 0;
    virtual void setStringValue(const QString &text) = 0;
};

// The box that holds a settings view. Key presses that reach it go to its handler first;
// when the handler answers false (or there is none) the toolkit handles the key as usual.
class Box : public View {
    Q_OBJECT
public:
    using KeyHandler = std::function<bool(const KeyEvent &)>;
    using View::View;
    virtual void setKeyEquivalentHandler(KeyHandler handler) = 0;
};

// A window of the plug-in (the login sheet, the About window).
class Window : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual bool isVisible() const = 0;
};

} // namespace ui
