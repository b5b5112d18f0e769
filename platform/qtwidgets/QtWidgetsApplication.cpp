#include "QtWidgetsApplication.h"

#include "Controls.h"
#include "ui/Binding.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QUiLoader>

namespace qtwidgets {

namespace {

// What loadInterface() answers: it keeps the widgets of one file and the controls over them.
// The controls are its children; the root widget may have been reparented into a host's window
// meanwhile, and that window may have destroyed it already.
class LoadedInterface : public QObject {
public:
    explicit LoadedInterface(QWidget *root)
        : mRoot(root) {}
    ~LoadedInterface() override { delete mRoot.data(); }

private:
    QPointer<QWidget> mRoot;
};

// The control of `kind` over `widget`, or nullptr when the widget is not of a class that kind
// stands for.
QObject *makeControl(ui::ControlKind kind, QWidget *widget, QObject *parent) {
    switch (kind) {
    case ui::ControlKind::Window:
        if (auto *dialog = qobject_cast<QDialog *>(widget))
            return new WindowControl(dialog, parent);
        return nullptr;
    case ui::ControlKind::TextField:
        if (qobject_cast<QLineEdit *>(widget) != nullptr ||
            qobject_cast<QLabel *>(widget) != nullptr)
            return new TextFieldControl(widget, parent);
        return nullptr;
    case ui::ControlKind::Button:
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            return new ButtonControl(button, parent);
        return nullptr;
    case ui::ControlKind::ProgressIndicator:
        if (auto *bar = qobject_cast<QProgressBar *>(widget))
            return new ProgressIndicatorControl(bar, parent);
        return nullptr;
    case ui::ControlKind::ComboBox:
        if (auto *combo = qobject_cast<QComboBox *>(widget))
            return new ComboBoxControl(combo, parent);
        return nullptr;
    case ui::ControlKind::Box:
        return new BoxControl(widget, parent);
    case ui::ControlKind::View:
        return new ViewControl(widget, parent);
    }
    return nullptr;
}

// The kit's controls over the widgets QUiLoader makes of the file, one per widget, made when
// the binding first asks for it.
platform::Expected<ui::KitInterface> buildWidgets(const QString &resource, const ui::UiForm &form) {
    // QUiLoader aborts the process without a GUI application.
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr)
        return ui::interfaceError(QStringLiteral("the Qt Widgets kit needs a QApplication"));
    QFile file(resource);
    QUiLoader loader;
    QWidget *root = file.open(QIODevice::ReadOnly) ? loader.load(&file) : nullptr;
    if (root == nullptr)
        return ui::interfaceError(
            QStringLiteral("cannot read %1: %2").arg(resource, loader.errorString()));
    auto loaded = std::make_unique<LoadedInterface>(root);
    auto made = std::make_shared<QHash<int, QObject *>>();
    const auto controlAt = [made, root, &form, keeper = loaded.get()](int index) -> QObject * {
        if (index < 0 || index >= form.controls.size())
            return nullptr;
        QObject *&control = (*made)[index];
        const ui::UiControl &entry = form.controls.at(index);
        if (control == nullptr && !entry.objectName.isEmpty()) {
            QWidget *widget = index == 0 ? root : root->findChild<QWidget *>(entry.objectName);
            if (widget != nullptr)
                control = makeControl(entry.kind, widget, keeper);
        }
        return control;
    };
    // A dialog's cancel button answers Escape and the close button.
    if (auto *window = qobject_cast<WindowControl *>(controlAt(0))) {
        for (int i = 1; i < form.controls.size(); ++i) {
            if (form.controls.at(i).cancel && form.controls.at(i).kind == ui::ControlKind::Button) {
                window->setCancelButton(qobject_cast<ButtonControl *>(controlAt(i)));
                break;
            }
        }
    }
    return ui::KitInterface{std::move(loaded), controlAt};
}

// Alerts stack above whatever is modal at the moment (a sheet), else the active window.
QWidget *alertParent() {
    if (QWidget *modal = QApplication::activeModalWidget())
        return modal;
    return QApplication::activeWindow();
}

} // namespace

QtWidgetsApplication::QtWidgetsApplication() = default;

QtWidgetsApplication::~QtWidgetsApplication() = default;

platform::Expected<std::unique_ptr<QObject>>
QtWidgetsApplication::loadInterface(const QString &resource, QObject *owner,
                                    const QList<ui::Outlet> &outlets) {
    return ui::bindInterface(resource, owner, outlets, buildWidgets);
}

void QtWidgetsApplication::beginSheet(ui::Window *sheet, ui::View *modalFor) {
    QDialog *dialog = dialogFor(sheet);
    if (dialog == nullptr)
        return;
    QWidget *parentWindow = nullptr;
    if (QWidget *widget = widgetFor(modalFor))
        parentWindow = widget->window();
    if (parentWindow == dialog)
        parentWindow = nullptr;
    if (dialog->isVisible()) {
        dialog->raise();
        return;
    }
    if (dialog->parentWidget() != parentWindow)
        dialog->setParent(parentWindow, dialog->windowFlags()); // keeps it a dialog window
    if (parentWindow != nullptr) {
        dialog->open(); // window-modal to its parent, shown without a loop of its own
    } else {
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->show();
    }
    dialog->raise();
    dialog->activateWindow();
}

int QtWidgetsApplication::runModalForWindow(ui::Window *window) {
    auto *control = qobject_cast<WindowControl *>(window);
    QDialog *dialog = control != nullptr ? control->dialog() : nullptr;

    QEventLoop loop;
    ModalSession session;
    session.loop = &loop;
    mModalSessions.append(&session);
    if (dialog != nullptr) {
        if (!dialog->isVisible()) {
            if (dialog->windowModality() == Qt::NonModal)
                dialog->setWindowModality(Qt::ApplicationModal);
            dialog->show();
        }
        loop.exec();
    }
    // The loop ended without a stop: the application is quitting (after quit() every new local
    // loop returns at once) or the window is gone. A caller that runs the window again until a
    // button stops it would then spin for ever; its cancel action ends the run as the user could.
    if (!session.stopped && control != nullptr && control->cancelButton() != nullptr)
        control->cancelButton()->performClick();
    mModalSessions.removeOne(&session);
    return session.stopped ? session.code : ModalAborted;
}

void QtWidgetsApplication::stopModalWithCode(int code) {
    if (mModalSessions.isEmpty())
        return;
    ModalSession *session = mModalSessions.last();
    session->code = code;
    session->stopped = true;
    session->loop->exit(code);
}

void QtWidgetsApplication::endSheet(ui::Window *) {
    // The sheet stays where it is until orderOut(); there is no sheet session to end.
}

void QtWidgetsApplication::orderOut(ui::Window *window) {
    if (QDialog *dialog = dialogFor(window))
        dialog->hide();
}

int QtWidgetsApplication::runCriticalAlertPanel(const QString &title, const QString &message,
                                                const QString &defaultButton,
                                                const QString &alternateButton,
                                                const QString &otherButton) {
    QMessageBox box(QMessageBox::Critical, QString(), title, QMessageBox::NoButton, alertParent());
    box.setInformativeText(message);
    const bool noButtons =
        defaultButton.isNull() && alternateButton.isNull() && otherButton.isNull();
    QPushButton *primary = nullptr;
    QPushButton *alternate = nullptr;
    QPushButton *other = nullptr;
    // With no button named at all the alert still needs a way out.
    if (!defaultButton.isNull() || noButtons)
        primary = box.addButton(noButtons ? QStringLiteral("OK") : defaultButton,
                                QMessageBox::AcceptRole);
    if (!alternateButton.isNull())
        alternate = box.addButton(alternateButton, QMessageBox::RejectRole);
    if (!otherButton.isNull())
        other = box.addButton(otherButton, QMessageBox::ActionRole);
    if (primary != nullptr)
        box.setDefaultButton(primary);
    // Escape, the close button and a loop that ends without a click all take the way out: the
    // alternate button, else the other one ("Replace" … "Cancel" puts Cancel there). The default
    // answer is only ever a click on it, or the one way out of an alert that has no other.
    QPushButton *wayOut = alternate != nullptr ? alternate : other != nullptr ? other : primary;
    box.setEscapeButton(wayOut);
    box.exec();

    const QAbstractButton *clicked = box.clickedButton();
    if (clicked == nullptr)
        clicked = wayOut;
    if (clicked == other)
        return ui::AlertOtherReturn;
    if (clicked == alternate)
        return ui::AlertAlternateReturn;
    return ui::AlertDefaultReturn;
}

void QtWidgetsApplication::presentError(const platform::Error &error) {
    QMessageBox box(QMessageBox::Warning, QString(), error.localizedDescription,
                    QMessageBox::NoButton, alertParent());
    box.setEscapeButton(box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
    box.exec();
}

void QtWidgetsApplication::msgBox(const QString &message, const QString &informativeText) {
    QMessageBox box(QMessageBox::Warning, QString(), message, QMessageBox::NoButton, alertParent());
    box.setInformativeText(informativeText);
    box.setEscapeButton(box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
    box.exec();
}

bool QtWidgetsApplication::openURL(const QUrl &url) {
    return QDesktopServices::openUrl(url);
}

QWidget *QtWidgetsApplication::widgetFor(const ui::View *view) {
    const auto *control = dynamic_cast<const WidgetControl *>(view);
    return control != nullptr ? control->widget() : nullptr;
}

QDialog *QtWidgetsApplication::dialogFor(const ui::Window *window) {
    const auto *control = qobject_cast<const WindowControl *>(window);
    return control != nullptr ? control->dialog() : nullptr;
}

} // namespace qtwidgets
