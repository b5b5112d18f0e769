#include "ScriptedKit.h"

namespace scripted {

using ui::hiddenOnScreen;

namespace {

// A loop that keeps running a window modally with nothing left to answer would never end.
constexpr int kMaxUnscriptedRuns = 20;

// The window a control lives in, or nullptr for a control of a settings view.
const Window *windowOf(const QObject *object) {
    for (const QObject *at = object; at != nullptr; at = at->parent()) {
        if (const auto *window = qobject_cast<const Window *>(at))
            return window;
    }
    return nullptr;
}

} // namespace

Window::Window(ScriptedApplication &kit, const ui::UiControl &control, QObject *parent)
    : FormWindow(control, parent)
    , mKit(kit) {}

bool Window::type(const QString &field, const QString &text) {
    auto *target = findChild<TextField *>(field);
    if (target == nullptr || !isVisible() || hiddenOnScreen(target) || !target->isEditable()) {
        mKit.addProblem(QStringLiteral("cannot type into %1 of %2").arg(field, objectName()));
        return false;
    }
    target->setStringValue(text);
    return true;
}

bool Window::click(const QString &nameOrTitle) {
    Button *button = findChild<Button *>(nameOrTitle);
    if (button == nullptr) {
        for (Button *candidate : findChildren<Button *>()) {
            if (candidate->title() == nameOrTitle) {
                button = candidate;
                break;
            }
        }
    }
    if (button == nullptr || !isVisible() || hiddenOnScreen(button) || !button->isEnabled()) {
        mKit.addProblem(QStringLiteral("cannot click %1 in %2").arg(nameOrTitle, objectName()));
        return false;
    }
    if (!button->performClick())
        mKit.addProblem(QStringLiteral("%1 in %2 did nothing").arg(nameOrTitle, objectName()));
    return true;
}

bool Window::pressEscape() {
    for (Button *candidate : findChildren<Button *>()) {
        if (candidate->isCancel())
            return click(candidate->objectName());
    }
    mKit.addProblem(QStringLiteral("%1 has no cancel button").arg(objectName()));
    return false;
}

ScriptedApplication::ScriptedApplication()
    : mPrevious(ui::app()) {
    ui::setApp(this);
}

ScriptedApplication::~ScriptedApplication() {
    ui::setApp(mPrevious);
}

QString ScriptedApplication::nameOf(const QObject *object) {
    return object != nullptr ? object->objectName() : QStringLiteral("-");
}

platform::Expected<std::unique_ptr<QObject>>
ScriptedApplication::loadInterface(const QString &resource, QObject *owner,
                                   const QList<ui::Outlet> &outlets) {
    auto interface =
        ui::bindInterface(resource, owner, outlets,
                          ui::formBuilder([this](const ui::UiControl &control, QObject *parent) {
                              return new Window(*this, control, parent);
                          }));
    if (interface)
        mInterfaces.append(interface->get());
    return interface;
}

void ScriptedApplication::beginSheet(ui::Window *sheet, ui::View *) {
    ++mOpenSheets;
    if (auto *window = qobject_cast<Window *>(sheet))
        window->setVisible(true);
    else
        addProblem(QStringLiteral("beginSheet without a window"));
}

int ScriptedApplication::runModalForWindow(ui::Window *window) {
    auto *target = qobject_cast<Window *>(window);
    if (target == nullptr) {
        addProblem(QStringLiteral("runModal without a window"));
        return ModalAborted;
    }
    target->setVisible(true);
    mRuns.append(std::nullopt);
    if (mModalAnswers.empty()) {
        addProblem(QStringLiteral("unscripted modal run of %1").arg(nameOf(target)));
    } else {
        const Act act = std::move(mModalAnswers.front());
        mModalAnswers.pop_front();
        act(*target);
        if (!mRuns.last())
            addProblem(QStringLiteral("the answer did not end the run of %1").arg(nameOf(target)));
    }
    if (!mRuns.last()) {
        if (++mUnscriptedRuns > kMaxUnscriptedRuns)
            qFatal("scripted kit: %s keeps being run modally with nothing left to answer",
                   qPrintable(nameOf(target)));
        target->pressEscape();
    }
    return mRuns.takeLast().value_or(ModalAborted);
}

void ScriptedApplication::stopModalWithCode(int code) {
    if (mRuns.isEmpty())
        addProblem(QStringLiteral("stopModal %1 outside a modal run").arg(code));
    else
        mRuns.last() = code;
}

void ScriptedApplication::endSheet(ui::Window *sheet) {
    if (mOpenSheets-- == 0)
        addProblem(QStringLiteral("endSheet %1 without beginSheet").arg(nameOf(sheet)));
}

void ScriptedApplication::orderOut(ui::Window *window) {
    if (auto *target = qobject_cast<Window *>(window))
        target->setVisible(false);
}

int ScriptedApplication::runCriticalAlertPanel(const QString &title, const QString &message,
                                               const QString &defaultButton,
                                               const QString &alternateButton,
                                               const QString &otherButton) {
    int answer = ui::AlertDefaultReturn;
    if (mAlertAnswers.empty()) {
        addProblem(QStringLiteral("unscripted alert panel: %1").arg(title));
    } else {
        answer = mAlertAnswers.front();
        mAlertAnswers.pop_front();
    }
    mAlerts.append(Alert{
        QStringLiteral("critical"), title, message, {defaultButton, alternateButton, otherButton}});
    return answer;
}

void ScriptedApplication::presentError(const platform::Error &error) {
    mAlerts.append(Alert{QStringLiteral("error"), error.domain, error.localizedDescription, {}});
}

void ScriptedApplication::msgBox(const QString &message, const QString &informativeText) {
    mAlerts.append(Alert{QStringLiteral("message"), message, informativeText, {}});
}

bool ScriptedApplication::openURL(const QUrl &url) {
    mOpenedUrls.append(url);
    return true;
}

void ScriptedApplication::answerModalByClicking(const QString &button,
                                                const QList<std::pair<QString, QString>> &typing) {
    answerModal([button, typing](Window &window) {
        for (const auto &[field, text] : typing)
            window.type(field, text);
        window.click(button);
    });
}

void ScriptedApplication::clearRecords() {
    mAlerts.clear();
    mOpenedUrls.clear();
    mProblems.clear();
}

bool ScriptedApplication::click(const QString &objectName) {
    Button *button = find<Button>(objectName);
    const Window *window = windowOf(button);
    if (button == nullptr || hiddenOnScreen(button) || !button->isEnabled() ||
        (window != nullptr && !window->isVisible())) {
        addProblem(QStringLiteral("cannot click %1").arg(objectName));
        return false;
    }
    if (!button->performClick())
        addProblem(QStringLiteral("%1 did nothing").arg(objectName));
    return true;
}

} // namespace scripted
