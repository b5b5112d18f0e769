#include "TerminalApplication.h"

#include <QStringList>
#include <QUrl>

#include <utility>

namespace terminal {

namespace {

// A button's title as a person reads it: no mnemonic marks, no trailing ellipsis.
QString plainTitle(const QString &title) {
    QString plain = title;
    plain.remove(QLatin1Char('&'));
    if (plain.endsWith(QStringLiteral("…")))
        plain.chop(1);
    else if (plain.endsWith(QLatin1String("...")))
        plain.chop(3);
    return plain.trimmed();
}

// The answer's choice among `titles`: a number from 1, or the start of exactly one title (case
// ignored). -1 for none.
int matchChoice(const QString &answer, const QStringList &titles) {
    bool isNumber = false;
    const int number = answer.toInt(&isNumber);
    if (isNumber)
        return number >= 1 && number <= titles.size() ? number - 1 : -1;
    int found = -1;
    for (int i = 0; i < titles.size(); ++i) {
        if (titles.at(i).compare(answer, Qt::CaseInsensitive) == 0)
            return i;
        if (titles.at(i).startsWith(answer, Qt::CaseInsensitive)) {
            if (found >= 0)
                return -1; // ambiguous
            found = i;
        }
    }
    return found;
}

} // namespace

TerminalApplication::TerminalApplication()
    : TerminalApplication(Options{}) {}

TerminalApplication::TerminalApplication(const Options &options)
    : mInput(options.input)
    , mOutput(options.output)
    , mInteractive(options.interactive.value_or(isTerminal(options.input))) {}

TerminalApplication::~TerminalApplication() {
    if (ui::app() == this)
        ui::setApp(nullptr);
}

void TerminalApplication::say(const QString &text) const {
    writeText(mOutput, text);
}

bool TerminalApplication::interrupted() const {
    return mInterrupt.pending && mInterrupt.pending();
}

void TerminalApplication::setGivenValue(const QString &field, const QString &text) {
    mGiven.insert(field, text);
}

platform::Expected<std::unique_ptr<QObject>>
TerminalApplication::loadInterface(const QString &resource, QObject *owner,
                                   const QList<ui::Outlet> &outlets) {
    auto interface =
        ui::bindInterface(resource, owner, outlets,
                          ui::formBuilder([](const ui::UiControl &control, QObject *parent) {
                              return new Window(control, parent);
                          }));
    if (interface)
        mInterfaces.append(interface->get());
    return interface;
}

void TerminalApplication::beginSheet(ui::Window *sheet, ui::View *) {
    if (auto *window = qobject_cast<Window *>(sheet)) {
        window->setVisible(true);
        window->runsInShowing = 0;
    }
}

void TerminalApplication::showTexts(Window &window, bool firstRun) {
    const bool withStatic = firstRun && mInteractive;
    QString text;
    if (withStatic && !window.title().isEmpty())
        text += window.title() + QLatin1Char('\n');
    for (TextField *field : window.inFileOrder<TextField>()) {
        if (field->isEditable() || field->isLabelOfAnother() || hiddenOnScreen(field) ||
            field->stringValue().isEmpty())
            continue;
        if (field->isStatusLine() || withStatic)
            text += field->stringValue() + QLatin1Char('\n');
    }
    say(text);
}

bool TerminalApplication::fillFields(Window &window, bool *asked, bool *usedGiven) {
    for (TextField *field : window.inTabOrder<TextField>()) {
        if (!field->isEditable() || hiddenOnScreen(field))
            continue;
        const auto given = mGiven.find(field->objectName());
        if (given != mGiven.end()) {
            field->setStringValue(given.value());
            mGiven.erase(given);
            *usedGiven = true;
            if (mInteractive && !field->isSecure())
                say(QStringLiteral("%1: %2\n").arg(field->promptLabel(), field->stringValue()));
            continue;
        }
        if (!mInteractive)
            continue;
        *asked = true;
        const QString current = field->stringValue();
        QString prompt = field->promptLabel();
        if (!field->isSecure() && !current.isEmpty())
            prompt += QStringLiteral(" [%1]").arg(current);
        QString answer;
        if (readLine(mInput, field->isSecure(), &answer, mInterrupt, mOutput,
                     prompt + QStringLiteral(": ")) != ReadStatus::Line) {
            say(QStringLiteral("\n"));
            return false;
        }
        // Return alone keeps what a visible field holds; a secure field takes what was typed.
        if (!(answer.isEmpty() && !field->isSecure()))
            field->setStringValue(answer);
    }
    return true;
}

Button *TerminalApplication::askForButton(Window &window) {
    QList<Button *> choices;
    QStringList titles;
    Button *defaultButton = nullptr;
    for (Button *button : window.inTabOrder<Button>()) {
        if (!button->hasAction() || !button->isEnabled() || hiddenOnScreen(button))
            continue;
        choices.append(button);
        titles.append(plainTitle(button->title()));
        if (button->isDefault() && defaultButton == nullptr)
            defaultButton = button;
    }
    if (choices.isEmpty())
        return nullptr;
    QString prompt = titles.join(QStringLiteral(" / "));
    if (defaultButton != nullptr)
        prompt += QStringLiteral(" [%1]").arg(plainTitle(defaultButton->title()));
    prompt += QStringLiteral("? ");
    for (;;) {
        say(prompt);
        QString answer;
        if (readLine(mInput, false, &answer, mInterrupt) != ReadStatus::Line) {
            say(QStringLiteral("\n"));
            return nullptr;
        }
        answer = answer.trimmed();
        if (answer.isEmpty() && defaultButton != nullptr)
            return defaultButton;
        const int index = answer.isEmpty() ? -1 : matchChoice(answer, titles);
        if (index >= 0)
            return choices.at(index);
        say(QStringLiteral("Please answer %1.\n").arg(titles.join(QStringLiteral(" or "))));
    }
}

void TerminalApplication::press(Button *button) {
    button->performClick();
}

int TerminalApplication::runModalForWindow(ui::Window *window) {
    auto *target = qobject_cast<Window *>(window);
    if (target == nullptr)
        return ModalAborted;
    target->setVisible(true);
    ++target->runs;
    ++target->runsInShowing;
    ModalRun run{target, std::nullopt};
    mRuns.append(&run);

    showTexts(*target, target->runsInShowing == 1);
    bool giveUp = interrupted() || (!mInteractive && target->runs > 1);
    if (!giveUp) {
        bool asked = false;
        bool usedGiven = false;
        giveUp = !fillFields(*target, &asked, &usedGiven);
        while (!giveUp && !run.code) {
            Button *choice = nullptr;
            if (!asked || !mInteractive || usedGiven) {
                for (Button *button : target->inTabOrder<Button>()) {
                    if (button->isDefault() && button->isEnabled() && !hiddenOnScreen(button)) {
                        choice = button;
                        break;
                    }
                }
            }
            if (choice == nullptr && mInteractive)
                choice = askForButton(*target);
            if (choice == nullptr) {
                giveUp = true;
                break;
            }
            press(choice);
            // Without a person nothing would change on a second round: never loop.
            if (!run.code && !mInteractive)
                giveUp = true;
            // The default button did not end the run: ask from now on.
            asked = true;
            usedGiven = false;
        }
    }
    if (giveUp && !run.code) {
        for (Button *button : target->inTabOrder<Button>()) {
            if (button->isCancel()) {
                press(button);
                break;
            }
        }
    }
    mRuns.removeOne(&run);
    return run.code.value_or(ModalAborted);
}

void TerminalApplication::stopModalWithCode(int code) {
    if (!mRuns.isEmpty())
        mRuns.last()->code = code;
}

void TerminalApplication::endSheet(ui::Window *) {}

void TerminalApplication::orderOut(ui::Window *window) {
    if (auto *target = qobject_cast<Window *>(window))
        target->setVisible(false);
}

int TerminalApplication::runCriticalAlertPanel(const QString &title, const QString &message,
                                               const QString &defaultButton,
                                               const QString &alternateButton,
                                               const QString &otherButton) {
    return askCriticalAlert(title, message, defaultButton, alternateButton, otherButton);
}

int TerminalApplication::askCriticalAlert(const QString &title, const QString &message,
                                          const QString &defaultButton,
                                          const QString &alternateButton,
                                          const QString &otherButton) {
    struct Choice {
        QString title;
        int answer;
    };
    QList<Choice> choices;
    for (const Choice &choice : {Choice{defaultButton, ui::AlertDefaultReturn},
                                 Choice{alternateButton, ui::AlertAlternateReturn},
                                 Choice{otherButton, ui::AlertOtherReturn}}) {
        if (!choice.title.isEmpty())
            choices.append(choice);
    }
    say(QStringLiteral("%1\n%2\n").arg(title, message));
    if (choices.isEmpty())
        return ui::AlertDefaultReturn;

    const Choice *chosen = nullptr;
    if (mAlertAnswer) {
        for (const Choice &choice : std::as_const(choices)) {
            if (choice.answer == *mAlertAnswer)
                chosen = &choice;
        }
    }
    if (chosen == nullptr && (!mInteractive || interrupted()))
        chosen = &choices.constLast();
    if (chosen != nullptr) {
        say(QStringLiteral("[%1]\n").arg(chosen->title));
        return chosen->answer;
    }

    QStringList titles;
    for (const Choice &choice : std::as_const(choices))
        titles.append(plainTitle(choice.title));
    const bool hasDefault = choices.constFirst().answer == ui::AlertDefaultReturn;
    QString prompt = titles.join(QStringLiteral(" / "));
    if (hasDefault)
        prompt += QStringLiteral(" [%1]").arg(titles.constFirst());
    prompt += QStringLiteral("? ");
    for (;;) {
        say(prompt);
        QString answer;
        if (readLine(mInput, false, &answer, mInterrupt) != ReadStatus::Line) {
            say(QStringLiteral("\n"));
            return choices.constLast().answer;
        }
        answer = answer.trimmed();
        if (answer.isEmpty() && hasDefault)
            return ui::AlertDefaultReturn;
        const int index = answer.isEmpty() ? -1 : matchChoice(answer, titles);
        if (index >= 0)
            return choices.at(index).answer;
        say(QStringLiteral("Please answer %1.\n").arg(titles.join(QStringLiteral(" or "))));
    }
}

void TerminalApplication::presentError(const platform::Error &error) {
    say(QStringLiteral("Error: %1 (%2 %3)\n")
            .arg(error.localizedDescription, error.domain)
            .arg(error.code));
}

void TerminalApplication::msgBox(const QString &message, const QString &informativeText) {
    QString text = message + QLatin1Char('\n');
    if (!informativeText.isEmpty())
        text += informativeText + QLatin1Char('\n');
    say(text);
}

bool TerminalApplication::openURL(const QUrl &url) {
    say(QStringLiteral("Open this address: %1\n").arg(url.toString(QUrl::FullyEncoded)));
    return true;
}

bool TerminalApplication::click(const QString &objectName) {
    auto *button = find<Button>(objectName);
    if (button == nullptr || hiddenOnScreen(button) || !button->isEnabled())
        return false;
    for (const QObject *at = button; at != nullptr; at = at->parent()) {
        if (const auto *window = qobject_cast<const Window *>(at); window && !window->isVisible())
            return false;
    }
    return button->performClick();
}

} // namespace terminal
