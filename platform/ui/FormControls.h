#pragma once

#include "Binding.h"
#include "View.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

// In-memory controls built from a .ui file, for the kits that show no widgets (the terminal kit
// and the scripted kit of the tests). They hold the state a window would show; each kit decides
// how a person (or a script) gets at them.
namespace ui {

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

class FormTextField final : public Hideable<TextField> {
    Q_OBJECT
public:
    FormTextField(const UiControl &control, QObject *parent);
    QString stringValue() const override { return mText; }
    void setStringValue(const QString &text) override { mText = text; }
    bool isSecure() const override { return mSecure; }

    // The person types into it (a field, not a label).
    bool isEditable() const { return mEditable; }
    // Hidden in the file: a status line that the code shows when it has something to say.
    bool isStatusLine() const { return mStatusLine; }
    QString placeholder() const { return mPlaceholder; }
    // What a text front end calls this field: its label's text (the label that names it as its
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

class FormButton final : public Hideable<Button> {
    Q_OBJECT
public:
    FormButton(const UiControl &control, QObject *parent);
    QString title() const override { return mTitle; }
    void setTitle(const QString &title) override { mTitle = title; }

    bool isEnabled() const { return mEnabled; }
    bool isCancel() const { return mCancel; }
    bool isDefault() const { return mDefault; }

private:
    QString mTitle;
    bool mEnabled = true;
    bool mCancel = false;
    bool mDefault = false;
};

class FormProgressIndicator final : public Hideable<ProgressIndicator> {
    Q_OBJECT
public:
    using Hideable::Hideable;
    void startAnimation() override { mAnimating = true; }
    void stopAnimation() override { mAnimating = false; }
    bool isAnimating() const override { return mAnimating; }

private:
    bool mAnimating = false;
};

class FormComboBox final : public Hideable<ComboBox> {
    Q_OBJECT
public:
    using Hideable::Hideable;
    QString stringValue() const override { return mText; }
    void setStringValue(const QString &text) override { mText = text; }

private:
    QString mText;
};

class FormBox final : public Hideable<Box> {
    Q_OBJECT
public:
    using Hideable::Hideable;
    void setKeyEquivalentHandler(KeyHandler handler) override { mHandler = std::move(handler); }
    // A key press reaching the box: the handler's answer, false without one.
    bool pressKey(const QString &characters);

private:
    KeyHandler mHandler;
};

class FormView final : public Hideable<View> {
    Q_OBJECT
public:
    using Hideable::Hideable;
};

// A window of a loaded form: its title, whether it is on screen, and its controls in the orders
// a text front end needs (tab order for questions, file order for what it shows). A kit derives
// its own window from it when it keeps more per window.
class FormWindow : public Window {
    Q_OBJECT
public:
    FormWindow(const UiControl &control, QObject *parent);
    bool isVisible() const override { return mVisible; }
    void setVisible(bool visible) { mVisible = visible; }
    QString title() const { return mTitle; }

    void setControls(const QList<QObject *> &inTabOrder, const QList<QObject *> &inFileOrder);
    template <class T> QList<T *> inTabOrder() const { return collect<T>(mTabOrder); }
    template <class T> QList<T *> inFileOrder() const { return collect<T>(mFileOrder); }

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

// Makes the window of a form; nullptr from it, or no maker at all, makes a plain FormWindow.
using FormWindowMaker = std::function<FormWindow *(const UiControl &control, QObject *parent)>;

// The builder of the kits above for ui::bindInterface: every widget of the form becomes a
// control of its kind, under a keeper named after the file.
InterfaceBuilder formBuilder(const FormWindowMaker &makeWindow = {});

} // namespace ui
