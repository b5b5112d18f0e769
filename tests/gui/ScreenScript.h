#pragma once

// Driving the export window's widgets as a person would, for the tests and the screenshots.

#include <QtTest>
#include <QtWidgets>

#include <functional>

namespace screenscript {

using namespace Qt::StringLiterals;

// The first visible widget of class T that `matches`.
template <class T> T *shownWhere(const std::function<bool(const T *)> &matches) {
    for (QWidget *widget : QApplication::allWidgets())
        if (auto *typed = qobject_cast<T *>(widget); typed && typed->isVisible() && matches(typed))
            return typed;
    return nullptr;
}

template <class T = QWidget> T *shown(const QString &name) {
    return shownWhere<T>([&name](const T *widget) { return widget->objectName() == name; });
}

inline QMessageBox *shownBox(const QString &text) {
    return shownWhere<QMessageBox>([&text](const QMessageBox *box) { return box->text() == text; });
}

inline void clickButton(QMessageBox *box, const QString &text) {
    for (QAbstractButton *button : box->buttons())
        if (button->text() == text)
            QTest::mouseClick(button, Qt::LeftButton);
}

inline void typeInto(QLineEdit *field, const QString &text) {
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
}

// Acts on the screen from a timer while the code under test runs a loop of its own (a sheet's
// modal run, the login's wait, an alert), inside which this code then runs: each step waits
// until its condition holds, then acts without blocking. A step still waiting at the deadline
// is reported, and whatever modal window is up is cancelled so that the test returns.
class Script : public QObject {
public:
    Script &then(const QString &what, std::function<bool()> ready, std::function<void()> act = {}) {
        mSteps.append({what, std::move(ready), std::move(act)});
        return *this;
    }
    void start() {
        mClock.start();
        connect(&mTimer, &QTimer::timeout, this, [this] {
            if (done()) {
                mTimer.stop();
            } else if (mClock.hasExpired(10000)) {
                mTimer.stop();
                rescue();
            }
        });
        mTimer.start(5);
    }
    // Takes the steps that are ready now, in order: the last one may hold only once the code
    // under test has returned.
    bool done() {
        while (mNext < mSteps.size() && mSteps.at(mNext).ready()) {
            const Step &step = mSteps.at(mNext++);
            if (step.act)
                step.act();
        }
        return mNext == mSteps.size();
    }
    QString stuckAt() const { return mNext == mSteps.size() ? QString() : mSteps.at(mNext).what; }

private:
    struct Step {
        QString what;
        std::function<bool()> ready;
        std::function<void()> act;
    };
    static void rescue() {
        for (const QString &cancel : {u"cancelButton"_s, u"closeButton"_s})
            if (auto *button = shown<QPushButton>(cancel))
                button->click();
        for (QWidget *widget : QApplication::allWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
                box->reject();
    }
    QList<Step> mSteps;
    qsizetype mNext = 0;
    QTimer mTimer;
    QElapsedTimer mClock;
};

} // namespace screenscript
