#pragma once

#include "ui/Application.h"

#include <QList>

class QDialog;
class QEventLoop;
class QWidget;

namespace qtwidgets {

// The UI kit over Qt Widgets. Needs a QApplication; every call but performOnMainThread() is
// made on the main thread.
//
// Sheets are QDialogs shown with open(), window-modal to the window that shows the given view
// (application-modal without one). runModalForWindow() runs a local event loop that
// stopModalWithCode() ends; the dialog stays on screen until orderOut(), so a window can show
// its busy indicator while the caller works after the run.
class QtWidgetsApplication : public ui::Application {
public:
    QtWidgetsApplication();
    ~QtWidgetsApplication() override;

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

    // The widget behind a view of this kit (a host places the settings view with it), or nullptr
    // for another kit's view or a widget already destroyed.
    static QWidget *widgetFor(const ui::View *view);
    // The dialog behind a window of this kit, or nullptr.
    static QDialog *dialogFor(const ui::Window *window);

private:
    struct ModalSession {
        QEventLoop *loop = nullptr;
        int code = 0;
        bool stopped = false;
    };
    QList<ModalSession *> mModalSessions; // innermost last
};

} // namespace qtwidgets
