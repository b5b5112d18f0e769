#include "QtWidgetsApplication.h"

#include "Controls.h"

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
#include <QMetaMethod>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QUiLoader>

#include <condition_variable>
#include <mutex>
#include <type_traits>

namespace qtwidgets {

namespace {

const QString kFirstViewOutlet = QStringLiteral("mFirstView");
const char *const kFirstViewProperty = "firstView";
const char *const kActionProperty = "action";
const char *const kCancelProperty = "cancel";

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

template <typename T> QString kindName() {
    if constexpr (std::is_same_v<T, ui::TextField>)
        return QStringLiteral("text field (QLineEdit or QLabel)");
    else if constexpr (std::is_same_v<T, ui::Button>)
        return QStringLiteral("button");
    else if constexpr (std::is_same_v<T, ui::ProgressIndicator>)
        return QStringLiteral("progress indicator (QProgressBar)");
    else if constexpr (std::is_same_v<T, ui::ComboBox>)
        return QStringLiteral("combo box");
    else if constexpr (std::is_same_v<T, ui::Box>)
        return QStringLiteral("box");
    else if constexpr (std::is_same_v<T, ui::Window>)
        return QStringLiteral("window (QDialog)");
    else
        return QStringLiteral("view");
}

// Each widget gets one control, of the kind its class calls for.
QObject *makeControl(QWidget *widget, QObject *parent) {
    if (auto *dialog = qobject_cast<QDialog *>(widget))
        return new WindowControl(dialog, parent);
    if (qobject_cast<QLineEdit *>(widget) != nullptr || qobject_cast<QLabel *>(widget) != nullptr)
        return new TextFieldControl(widget, parent);
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return new ButtonControl(button, parent);
    if (auto *bar = qobject_cast<QProgressBar *>(widget))
        return new ProgressIndicatorControl(bar, parent);
    if (auto *combo = qobject_cast<QComboBox *>(widget))
        return new ComboBoxControl(combo, parent);
    return new BoxControl(widget, parent);
}

QWidget *findWidget(QWidget *root, const QString &name) {
    if (name.isEmpty())
        return nullptr;
    if (root->objectName() == name)
        return root;
    return root->findChild<QWidget *>(name);
}

template <typename W> QList<W *> widgetsOf(QWidget *root) {
    QList<W *> found = root->findChildren<W *>();
    if (auto *self = qobject_cast<W *>(root))
        found.prepend(self);
    return found;
}

QMetaMethod actionMethod(const QObject *owner, const QString &action) {
    if (owner == nullptr)
        return {};
    const QByteArray signature =
        QMetaObject::normalizedSignature((action + QStringLiteral("(QObject*)")).toUtf8());
    const QMetaObject *meta = owner->metaObject();
    const int index = meta->indexOfMethod(signature.constData());
    if (index < 0)
        return {};
    const QMetaMethod method = meta->method(index);
    if (method.methodType() == QMetaMethod::Signal || method.returnType() != QMetaType::Void)
        return {};
    return method;
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

std::unique_ptr<QObject> QtWidgetsApplication::loadInterface(const QString &resource,
                                                             QObject *owner,
                                                             const QList<ui::Outlet> &outlets,
                                                             QString *why) {
    const auto fail = [why](const QString &reason) {
        if (why != nullptr)
            *why = reason;
        return std::unique_ptr<QObject>();
    };
    // QUiLoader aborts the process without a GUI application.
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr)
        return fail(QStringLiteral("the Qt Widgets kit needs a QApplication"));

    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1: %2").arg(resource, file.errorString()));
    QUiLoader loader;
    QWidget *root = loader.load(&file);
    if (root == nullptr)
        return fail(QStringLiteral("cannot read %1: %2").arg(resource, loader.errorString()));
    auto loaded = std::make_unique<LoadedInterface>(root);

    QHash<QWidget *, QObject *> controls;
    const auto controlFor = [&](QWidget *widget) {
        QObject *&control = controls[widget];
        if (control == nullptr)
            control = makeControl(widget, loaded.get());
        return control;
    };
    QStringList problems;

    // Outlets: found and checked first, written only once everything has been found.
    QList<std::function<void()>> bindings;
    for (const ui::Outlet &outlet : outlets) {
        QString name = outlet.name;
        if (outlet.name == kFirstViewOutlet) {
            const QString named = root->property(kFirstViewProperty).toString();
            if (!named.isEmpty())
                name = named;
        }
        QWidget *widget = findWidget(root, name);
        if (widget == nullptr) {
            problems
                << (name == outlet.name
                        ? QStringLiteral("no control named \"%1\"").arg(name)
                        : QStringLiteral("the first view \"%1\" is not in the file").arg(name));
            continue;
        }
        QObject *control = controlFor(widget);
        std::visit(
            [&]<typename T>(T **slot) {
                T *typed = qobject_cast<T *>(control);
                if (typed == nullptr) {
                    problems << QStringLiteral("\"%1\" is a %2, not a %3")
                                    .arg(name,
                                         QString::fromLatin1(widget->metaObject()->className()),
                                         kindName<T>());
                    return;
                }
                bindings << [slot, typed] {
                    *slot = typed;
                };
            },
            outlet.slot);
    }

    // Actions: every button that names one must find it on the owner.
    for (QAbstractButton *button : widgetsOf<QAbstractButton>(root)) {
        const QString action = button->property(kActionProperty).toString();
        if (action.isEmpty())
            continue;
        const QMetaMethod method = actionMethod(owner, action);
        if (!method.isValid()) {
            problems << QStringLiteral("%1 has no action %2(QObject*) for the button \"%3\"")
                            .arg(owner != nullptr
                                     ? QString::fromLatin1(owner->metaObject()->className())
                                     : QStringLiteral("no owner"),
                                 action, button->objectName());
            continue;
        }
        static_cast<ButtonControl *>(controlFor(button))->setAction(owner, method);
    }

    if (!problems.isEmpty())
        return fail(problems.join(QStringLiteral("; ")));

    // A dialog's cancel button answers Escape and the close button.
    for (QDialog *dialog : widgetsOf<QDialog>(root)) {
        auto *window = static_cast<WindowControl *>(controlFor(dialog));
        for (QAbstractButton *button : dialog->findChildren<QAbstractButton *>()) {
            if (button->property(kCancelProperty).toBool()) {
                window->setCancelButton(static_cast<ButtonControl *>(controlFor(button)));
                break;
            }
        }
    }

    for (const auto &bind : bindings)
        bind();
    return loaded;
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
        control->cancelButton()->performAction();
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
    if (alternate != nullptr)
        box.setEscapeButton(alternate);
    else if (other == nullptr)
        box.setEscapeButton(primary);
    box.exec();

    const QAbstractButton *clicked = box.clickedButton();
    if (clicked != nullptr && clicked == other)
        return ui::AlertOtherReturn;
    if (clicked != nullptr && clicked == alternate)
        return ui::AlertAlternateReturn;
    if (clicked != nullptr && clicked == primary)
        return ui::AlertDefaultReturn;
    return alternate != nullptr ? ui::AlertAlternateReturn : ui::AlertDefaultReturn;
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
