#pragma once

// The scripted UI kit: a ui::Application for tests. It builds its controls from the real .ui
// files (through ui::bindInterface), binds outlets and actions by the kit contract, records what
// the code under test showed, and answers modal runs from a queue the test fills.

#include "ui/Application.h"
#include "ui/FormControls.h"

#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <deque>
#include <functional>
#include <optional>

namespace scripted {

class ScriptedApplication;

using TextField = ui::FormTextField;
using Button = ui::FormButton;
using ProgressIndicator = ui::FormProgressIndicator;

// A window of a loaded interface. What an answer's act does to it goes through the same checks
// a person meets: a hidden or disabled control cannot be typed into or clicked.
class Window final : public ui::FormWindow {
    Q_OBJECT
public:
    Window(ScriptedApplication &kit, const ui::UiControl &control, QObject *parent);

    // Types `text` into the field named `field` (replacing what it held).
    bool type(const QString &field, const QString &text);
    // Clicks the button with that objectName or, failing that, that title.
    bool click(const QString &nameOrTitle);
    // Escape or the window's close button: clicks the button marked as the cancel button.
    bool pressEscape();

private:
    ScriptedApplication &mKit;
};

class ScriptedApplication : public ui::Application {
public:
    // Becomes the process's UI kit; the destructor puts back the one there was before.
    ScriptedApplication();
    ~ScriptedApplication() override;
    ScriptedApplication(const ScriptedApplication &) = delete;
    ScriptedApplication &operator=(const ScriptedApplication &) = delete;

    // ui::Application.
    platform::Expected<std::unique_ptr<QObject>>
    loadInterface(const QString &resource, QObject *owner,
                  const QList<ui::Outlet> &outlets) override;
    void beginSheet(ui::Window *sheet, ui::View *modalFor) override;
    int runModalForWindow(ui::Window *window) override;
    void stopModalWithCode(int code) override;
    void endSheet(ui::Window *sheet) override;
    void orderOut(ui::Window *window) override;
    int runCriticalAlertPanel(const QString &title, const QString &message,
                              const QString &defaultButton, const QString &alternateButton,
                              const QString &otherButton) override;
    void presentError(const platform::Error &error) override;
    void msgBox(const QString &message, const QString &informativeText) override;
    bool openURL(const QUrl &url) override;

    // The script. A modal run takes the next answer, which works on the window; a button it
    // clicks ends the run through its action. A run with no answer left, or one its answer did
    // not end, is a problem: the kit then presses Escape for it.
    using Act = std::function<void(Window &)>;
    void answerModal(Act act) { mModalAnswers.push_back(std::move(act)); }
    // Shorthands: type the given fields (objectName, text) then click `button`.
    void answerModalByClicking(const QString &button,
                               const QList<std::pair<QString, QString>> &typing = {});
    // Answers for runCriticalAlertPanel, in order; without one the default button is chosen
    // and a problem recorded.
    void answerAlert(int answer) { mAlertAnswers.push_back(answer); }

    // What was recorded.
    struct Alert {
        QString kind; // "critical", "error" or "message"
        QString title;
        QString message;
        QStringList buttons; // of a critical alert: default, alternate, other
    };
    QList<Alert> alerts() const { return mAlerts; }
    QList<QUrl> openedUrls() const { return mOpenedUrls; }
    // Everything that went against the script or against what a person could do, and a sheet
    // begun and never ended.
    QStringList problems() const {
        return mOpenSheets == 0 ? mProblems : mProblems + QStringList{"a sheet was not ended"};
    }
    void clearRecords();
    void addProblem(const QString &problem) { mProblems.append(problem); }

    // A control of any interface loaded and still alive, by objectName.
    template <class T> T *find(const QString &objectName) const {
        for (const QPointer<QObject> &interface : mInterfaces) {
            if (interface == nullptr)
                continue;
            if (T *found = interface->findChild<T *>(objectName))
                return found;
        }
        return nullptr;
    }
    // Clicks a button of any loaded interface, as a person would (visible and enabled only).
    bool click(const QString &objectName);

private:
    static QString nameOf(const QObject *object);

    ui::Application *mPrevious = nullptr;
    QList<QPointer<QObject>> mInterfaces;
    std::deque<Act> mModalAnswers;
    std::deque<int> mAlertAnswers;
    QList<std::optional<int>> mRuns; // the stop codes of nested modal runs, innermost last
    int mUnscriptedRuns = 0;

    int mOpenSheets = 0;
    QList<Alert> mAlerts;
    QList<QUrl> mOpenedUrls;
    QStringList mProblems;
};

} // namespace scripted
