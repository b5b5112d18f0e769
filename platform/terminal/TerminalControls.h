#pragma once

#include "ui/UiFile.h"
#include "ui/View.h"

#include <QList>
#include <QPointer>

// The controls of the terminal kit. They hold the state a window would show; the kit turns a
// window's modal run into prompts over them (see TerminalApplication).
namespace terminal {

template <class Base> class Hideable : public Base {
public:
    using Base::Base;
    bool isHidden() const override { return mHidden; }
    void setHidden(bool hidden) override { mHidden = hidden; }

private:
    bool mHidden = false;
};

// Hidden by itself or by an enclosing view.
bool hiddenOnScreen(const QObject *object);

class TextField final : public Hideable<ui::TextField> {
    Q_OBJECT
public:
    TextField(const ui::UiControl &control, QObject *parent);
    QString stringValue() const override { return mText; }
    void setStringValue(const QString &text) override { mText = text; }
    bool isSecure() const override { return mSecure; }

    // The person types into it (a field, not a label).
    bool isEditable() const { return mEditable; }
    // Hidden in the file: a status line that the code shows when it has something to say.
    bool isStatusLine() const { return mStatusLine; }
    QString placeholder() const { return mPlaceholder; }
    // What a prompt for this field says: its label's text (the label that names it as its
    // buddy), else its placeholder, else its name.
    QString promptLabel() const;
    void setLabel(const QString &label) { mLabel = label; }
    bool isLabelOfAnother() const { return mLabelOfAnother; }
    void setLabelOfAnother(bool labels) { mLabelOfAnother = labels; }

private:
    QString mText;
    QString mPlaceholder;
    QString mLabel;
    bool mSecure = false;
    bool mEditable = false;
    bool mStatusLine = false;
    bool mLabelOfAnother = false;
};

class Button final : public Hideable<ui::Button> {
    Q_OBJECT
public:
    Button(const ui::UiControl &control, QObject *owner, QObject *parent);
    QString title() const override { return mTitle; }
    void setTitle(const QString &title) override { mTitle = title; }

    QString action() const { return mAction; }
    bool isEnabled() const { return mEnabled; }
    bool isCancel() const { return mCancel; }
    bool isDefault() const { return mDefault; }
    // Calls the owner's action with this button as sender; false when there is nothing to call.
    bool performClick();

private:
    QString mTitle;
    QString mAction;
    QPointer<QObject> mOwner;
    bool mEnabled = true;
    bool mCancel = false;
    bool mDefault = false;
};

class ProgressIndicator final : public Hideable<ui::ProgressIndicator> {
    Q_OBJECT
public:
    using Hideable::Hideable;
    void startAnimation() override { mAnimating = true; }
    void stopAnimation() override { mAnimating = false; }
    bool isAnimating() const override { return mAnimating; }

private:
    bool mAnimating = false;
};

class ComboBox final : public Hideable<ui::ComboBox> {
    Q_OBJECT
public:
    using Hideable::Hideable;
    QString stringValue() const override { return mText; }
    void setStringValue(const QString &text) override { mText = text; }

private:
    QString mText;
};

class Box final : public Hideable<ui::Box> {
    Q_OBJECT
public:
    using Hideable::Hideable;
    void setKeyEquivalentHandler(KeyHandler handler) override { mHandler = std::move(handler); }
    // A key press reaching the box: the handler's answer, false without one.
    bool pressKey(const QString &characters);

private:
    KeyHandler mHandler;
};

class View final : public Hideable<ui::View> {
    Q_OBJECT
public:
    using Hideable::Hideable;
};

// A window of a loaded interface: its title, whether it is on screen, and its controls in the
// orders a text front end needs (tab order for prompts, file order for what it prints).
class Window final : public ui::Window {
    Q_OBJECT
public:
    Window(const ui::UiControl &control, QObject *parent);
    bool isVisible() const override { return mVisible; }
    void setVisible(bool visible) { mVisible = visible; }
    QString title() const { return mTitle; }

    void setControls(QList<QObject *> inTabOrder, QList<QObject *> inFileOrder);
    template <class T> QList<T *> inTabOrder() const { return collect<T>(mTabOrder); }
    template <class T> QList<T *> inFileOrder() const { return collect<T>(mFileOrder); }

    // Bookkeeping of the kit: modal runs in the whole life of the window and in the current
    // showing (since the last beginSheet).
    int runs = 0;
    int runsInShowing = 0;

private:
    template <class T> static QList<T *> collect(const QList<QPointer<QObject>> &from) {
        QList<T *> found;
        for (const QPointer<QObject> &object : from) {
            if (auto *typed = qobject_cast<T *>(object.data()))
                found.append(typed);
        }
        return found;
    }

    QString mTitle;
    bool mVisible = false;
    QList<QPointer<QObject>> mTabOrder;
    QList<QPointer<QObject>> mFileOrder;
};

} // namespace terminal
