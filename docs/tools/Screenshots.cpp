// nubelo-gui-screenshots DIR PHOTO...: renders the export window's screens to PNG files in DIR,
// against a stand-in site of its own: the settings view, the window before sign-in, the login
// sheet after a refused password, the About window, and the export window during a run.

#include "GuiHost.h"
#include "NetworkThread.h"
#include "NubeloSite.h"
#include "ScreenScript.h"
#include "StandInSite.h"

#include <cstdio>

using namespace Qt::StringLiterals;
using namespace screenscript;

namespace {

const QString kEmail = u"ana@example.org"_s;
const QString kPassword = u"right+pass"_s;
constexpr int kLimitMs = 30000;

bool failed(const QString &why) {
    std::fprintf(stderr, "nubelo-gui-screenshots: %s\n", qPrintable(why));
    return false;
}

class Renderer {
public:
    explicit Renderer(const QDir &out)
        : mOut(out) {}

    bool save(QWidget *widget, const QString &name) {
        const QString path = mOut.filePath(name);
        if (widget == nullptr)
            return failed(u"nothing to render for %1"_s.arg(name));
        if (!widget->grab().save(path))
            return failed(u"cannot write %1"_s.arg(path));
        std::printf("%s\n", qPrintable(path));
        return true;
    }

private:
    QDir mOut;
};

QPushButton *paneButton(ExportWindow *window, const QString &name) {
    return window->settingsWidget()->findChild<QPushButton *>(name);
}

bool run(GuiHost &host, Renderer &renderer, nubelo::site::Site &site) {
    ExportWindow *window = host.window();
    if (!QTest::qWaitFor([window] { return window->thumbnailsLoaded(); }, kLimitMs))
        return failed(u"the thumbnails do not load"_s);
    if (!renderer.save(window->settingsWidget(), u"settings-view.png"_s) ||
        !renderer.save(window, u"export-window-signed-out.png"_s))
        return false;

    // The login sheet after a refused password, then cancelled.
    bool saved = false;
    Script refused;
    refused
        .then(
            u"the sheet shows"_s, [] { return shown(u"mLoginDialog"_s) != nullptr; },
            [] {
                typeInto(shown<QLineEdit>(u"mLoginUsername"_s), kEmail);
                typeInto(shown<QLineEdit>(u"mLoginPassword"_s), u"not-my-password"_s);
                QTest::mouseClick(shown<QPushButton>(u"authenticateButton"_s), Qt::LeftButton);
            })
        .then(
            u"the refusal shows"_s,
            [] {
                return shown(u"mLoginErrorMessage"_s) != nullptr &&
                       shown(u"mLoginProgress"_s) == nullptr;
            },
            [&] {
                saved = renderer.save(shown(u"mLoginDialog"_s), u"login-sheet-error.png"_s);
                shown<QPushButton>(u"cancelButton"_s)->click();
            });
    refused.start();
    QTest::mouseClick(paneButton(window, u"mAuthenticate"_s), Qt::LeftButton);
    if (!refused.done() || !saved)
        return failed(u"login sheet: stuck at %1"_s.arg(refused.stuckAt()));

    saved = false;
    Script about;
    about.then(
        u"the About window shows"_s, [] { return shown(u"mAboutDialog"_s) != nullptr; },
        [&] {
            saved = renderer.save(shown(u"mAboutDialog"_s), u"about-window.png"_s);
            shown<QPushButton>(u"closeButton"_s)->click();
        });
    about.start();
    QTest::mouseClick(paneButton(window, u"aboutButton"_s), Qt::LeftButton);
    if (!about.done() || !saved)
        return failed(u"About window: stuck at %1"_s.arg(about.stuckAt()));

    Script signIn;
    signIn.then(
        u"the sheet shows"_s, [] { return shown(u"mLoginDialog"_s) != nullptr; },
        [] {
            typeInto(shown<QLineEdit>(u"mLoginPassword"_s), kPassword);
            QTest::mouseClick(shown<QPushButton>(u"authenticateButton"_s), Qt::LeftButton);
        });
    signIn.start();
    QTest::mouseClick(paneButton(window, u"mAuthenticate"_s), Qt::LeftButton);
    if (!signIn.done() ||
        !QTest::qWaitFor([window] { return window->exportButton()->isEnabled(); }, kLimitMs))
        return failed(u"sign-in: stuck at %1"_s.arg(signIn.stuckAt()));

    // The window while the second photo goes up: slow uploads give the poll time to show it.
    site.setDelay(nubelo::site::Exchange::Upload, std::chrono::milliseconds(600));
    const QString second = u"Image 2 of %1"_s.arg(host.photoHost()->imageCount());
    saved = false;
    QObject scope;
    QObject::connect(host.photoHost(), &PhotoHost::progressChanged, &scope,
                     [&](quint32, quint32, const QString &message) {
                         if (message == second && !saved)
                             saved = renderer.save(window, u"export-window-mid-run.png"_s);
                     });
    QTest::mouseClick(window->exportButton(), Qt::LeftButton);
    if (!QTest::qWaitFor([window] { return window->outcomeBox() != nullptr; }, kLimitMs))
        return failed(u"the export does not end"_s);
    window->outcomeBox()->reject();
    return saved || failed(u"the run never showed \"%1\""_s.arg(second));
}

} // namespace

int main(int argc, char **argv) {
    // The same pictures on every machine: no desktop's theme or screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setStyle(u"Fusion"_s);
    QApplication::setQuitOnLastWindowClosed(false);
    QLoggingCategory::setFilterRules(u"nubelo.*.info=false\nqt.qpa.*=false"_s);

    const QStringList arguments = QApplication::arguments().mid(1);
    if (arguments.size() < 3 || arguments.first().startsWith(u'-')) {
        std::fprintf(stderr, "usage: nubelo-gui-screenshots DIR PHOTO PHOTO...\n");
        return 2;
    }
    const QDir out(arguments.first());
    if (!QDir().mkpath(out.path())) {
        failed(u"cannot create %1"_s.arg(out.path()));
        return 1;
    }

    QTemporaryDir data;
    // The window opens at its own size, and keeps none of the user's.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(data.filePath(u"config"_s)));
    std::string why;
    std::unique_ptr<nubelo::site::Site> site =
        standin::startSite(data.filePath(u"site"_s), kEmail, kPassword, &why);
    if (!site) {
        failed(QString::fromStdString(why));
        return 1;
    }
    standin::pointHostAt(*site);

    bool ok = false;
    {
        GuiHost host;
        GuiCommandLine line;
        line.photos = arguments.mid(1);
        line.dir = data.filePath(u"scratch"_s);
        if (const platform::MaybeError error = host.start(line)) {
            failed(error->localizedDescription);
        } else {
            host.window()->show();
            Renderer renderer(out);
            ok = QTest::qWaitForWindowExposed(host.window()) && run(host, renderer, *site);
        }
    }
    site.reset();
    platform::shutdown();
    return ok ? 0 : 1;
}
