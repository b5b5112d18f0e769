// The export window driven as a person would: the plug-in's sheets and alerts through their
// widgets, the run through the window's buttons, against the stand-in site.

#include "GuiHost.h"
#include "NetworkThread.h"
#include "NubeloSite.h"
#include "ScreenScript.h"
#include "StandInSite.h"

#include <QtTest>
#include <QtWidgets>

using namespace Qt::StringLiterals;
using nubelo::site::Exchange;

using namespace screenscript;

namespace {

const QString kEmail = u"ana@example.org"_s;
const QString kPassword = u"right+pass"_s;
constexpr int kRunLimitMs = 20000;

} // namespace

class TestGui : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void commandLine_data();
    void commandLine();
    void program_data();
    void program();
    void pluginThatDoesNotLoad_data();
    void pluginThatDoesNotLoad();
    void embeddedSiteWhenNoHostIsSet();
    void signInThroughTheSheet();
    void returnExportsAndCtrlCDoesNot();
    void exportOfThreePhotos();
    void cancelMidRun();
    void windowAtItsDefaultSize();
    void exportOfferedOnlyWhenSignedIn();
    void replacePrompt_data();
    void replacePrompt();
    void aboutOpenedAndClosedTwice();
    void closingTheWindowMidRun();

private:
    bool open();
    bool signIn();
    QPushButton *settingsButton(const QString &name) const {
        return mHost->window()->settingsWidget()->findChild<QPushButton *>(name);
    }
    QString signedInAs() const { return mHost->outcomes()->signedInAs(); }
    std::size_t photosOnSite() const { return mSite->photos(kEmail.toStdString()).size(); }
    // Waits for the run's end and answers the outcome alert's text (empty when none came).
    QString awaitOutcome();

    QTemporaryDir mData;
    QStringList mPhotos;
    std::unique_ptr<nubelo::site::Site> mSite;
    std::unique_ptr<QTemporaryDir> mScratch;
    std::unique_ptr<GuiHost> mHost;
};

void TestGui::initTestCase() {
    QLoggingCategory::setFilterRules(u"nubelo.*.info=false"_s);
    QApplication::setQuitOnLastWindowClosed(false); // a quit would end every later modal loop
    QVERIFY(mData.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(mData.filePath(u"config"_s))); // not the tester's
    for (int i = 0; i < 3; ++i) {
        QImage image(800, 600, QImage::Format_RGB32);
        image.fill(QColor::fromHsv(i * 100, 200, 220));
        const QString path = mData.filePath(u"photo-%1.jpg"_s.arg(i + 1));
        QVERIFY(image.save(path));
        mPhotos << path;
    }
    std::string why;
    mSite = standin::startSite(mData.filePath(u"site"_s), kEmail, kPassword, &why);
    QVERIFY2(mSite, why.c_str());
    standin::pointHostAt(*mSite);
}

void TestGui::init() {
    QSettings(u"Nubelo"_s, QCoreApplication::applicationName()).clear(); // the window's place
    mSite->clearFaults();
    mScratch = std::make_unique<QTemporaryDir>();
}

void TestGui::cleanup() {
    mHost.reset();
}

void TestGui::cleanupTestCase() {
    mSite.reset();
    platform::shutdown();
}

bool TestGui::open() {
    mHost = std::make_unique<GuiHost>();
    GuiCommandLine line;
    line.photos = mPhotos;
    line.dir = mScratch->path();
    if (const platform::MaybeError error = mHost->start(line)) {
        qWarning("%s", qPrintable(error->localizedDescription));
        return false;
    }
    mHost->window()->show();
    return QTest::qWaitForWindowExposed(mHost->window());
}

bool TestGui::signIn() {
    Script script;
    script
        .then(
            u"the sheet shows"_s, [] { return shown(u"mLoginDialog"_s) != nullptr; },
            [] {
                typeInto(shown<QLineEdit>(u"mLoginUsername"_s), kEmail);
                typeInto(shown<QLineEdit>(u"mLoginPassword"_s), kPassword);
                QTest::mouseClick(shown<QPushButton>(u"authenticateButton"_s), Qt::LeftButton);
            })
        .then(u"the sheet closes"_s, [] { return shown(u"mLoginDialog"_s) == nullptr; });
    script.start();
    QTest::mouseClick(settingsButton(u"mAuthenticate"_s), Qt::LeftButton);
    if (!script.done())
        qWarning("sign-in stuck at: %s", qPrintable(script.stuckAt()));
    // The window offers Export once it has seen the session.
    QPushButton *exportButton = mHost->window()->exportButton();
    return script.done() && signedInAs() == kEmail &&
           QTest::qWaitFor([exportButton] { return exportButton->isEnabled(); }, 5000);
}

QString TestGui::awaitOutcome() {
    ExportWindow *window = mHost->window();
    if (!QTest::qWaitFor([window] { return window->outcomeBox() != nullptr; }, kRunLimitMs))
        return {};
    QMessageBox *box = window->outcomeBox();
    const QString text = box->text();
    box->reject();
    return text;
}

void TestGui::commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("outcome"); // "help", "version", "dir|photos" or the error

    QTest::newRow("photos") << QStringList{"a.jpg", "b.png"} << "|a.jpg b.png";
    QTest::newRow("dir, then photos") << QStringList{"--dir", "/x", "a.jpg"} << "/x|a.jpg";
    QTest::newRow("dir= form") << QStringList{"--dir=/y", "a.jpg"} << "/y|a.jpg";
    QTest::newRow("photo that looks like an option") << QStringList{"--", "--dir"} << "|--dir";
    QTest::newRow("help wins") << QStringList{"a.jpg", "--help", "--bogus"} << "help";
    QTest::newRow("version") << QStringList{"--version"} << "version";
    QTest::newRow("no photos") << QStringList{"--dir", "/x"} << "no photos given (see --help)";
    QTest::newRow("unknown option")
        << QStringList{"-v", "a.jpg"} << "unknown option -v (see --help)";
    QTest::newRow("dir without value")
        << QStringList{"a.jpg", "--dir"} << "--dir needs a directory";
    // An empty folder would put the scratch files into the working directory.
    QTest::newRow("empty dir") << QStringList{"--dir=", "a.jpg"} << "--dir needs a directory";
}

void TestGui::commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, outcome);
    GuiCommandLine line;
    if (const platform::MaybeError error = line.parse(arguments)) {
        QCOMPARE(error->localizedDescription, outcome);
        QCOMPARE(error->code, 2);
    } else if (line.action == GuiCommandLine::Action::Help) {
        QCOMPARE(u"help"_s, outcome);
    } else if (line.action == GuiCommandLine::Action::Version) {
        QCOMPARE(u"version"_s, outcome);
    } else {
        QCOMPARE(line.dir + u"|"_s + line.photos.join(u' '), outcome);
        QCOMPARE(line.dir.isNull(), outcome.startsWith(u'|'));
    }
}

void TestGui::program_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // in standard output, else in standard error
    // No display at all: help and version must not need one.
    QTest::newRow("help") << QStringList{"--help"} << 0 << "usage: nubelo-export-gui";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "nubelo-export-gui 1.";
    QTest::newRow("missing photo") << QStringList{"-platform", "offscreen", "/nonexistent.jpg"} << 2
                                   << "nubelo-export-gui: /nonexistent.jpg";
    QTest::newRow("no photos") << QStringList{"-platform", "offscreen"} << 2
                               << "nubelo-export-gui: no photos given";
}

void TestGui::program() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"DISPLAY"_s);
    environment.remove(u"WAYLAND_DISPLAY"_s);
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    program.setProcessEnvironment(environment);
    program.start(qEnvironmentVariable("NUBELO_BUILD_DIR") + u"/bin/nubelo-export-gui"_s,
                  arguments);
    QVERIFY(program.waitForFinished(10000));
    const QString out = QString::fromLocal8Bit(exitCode == 0 ? program.readAllStandardOutput()
                                                             : program.readAllStandardError());
    QVERIFY2(out.contains(output), qPrintable(out));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
}

void TestGui::pluginThatDoesNotLoad_data() {
    QTest::addColumn<QByteArray>("content"); // of the module file; null for no file
    QTest::addColumn<QString>("reason");     // the loader's
    QTest::newRow("no module") << QByteArray() << "not found";
    QTest::newRow("not a library") << QByteArray("not a module\n") << "not a valid ELF";
}

void TestGui::pluginThatDoesNotLoad() {
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    const QByteArray pluginDir = qgetenv("NUBELO_PLUGIN_DIR");
    const auto restore = qScopeGuard([&] { qputenv("NUBELO_PLUGIN_DIR", pluginDir); });
    QTemporaryDir empty;
    qputenv("NUBELO_PLUGIN_DIR", QFile::encodeName(empty.path()));
    const QString module =
        QDir(empty.path())
            .filePath(
                QFileInfo(QDir(QString::fromLocal8Bit(pluginDir)).entryList(QDir::Files).value(0))
                    .fileName());
    if (!content.isNull()) {
        QFile file(module);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }

    GuiHost host;
    GuiCommandLine line;
    line.photos = mPhotos;
    const platform::MaybeError error = host.start(line);
    QVERIFY(error);
    const QString why = error->localizedDescription;
    QVERIFY2(why.startsWith(u"cannot load the plug-in "_s + module), qPrintable(why));
    QVERIFY2(why.contains(reason, Qt::CaseInsensitive), qPrintable(why));
    QVERIFY(!host.window());
}

void TestGui::embeddedSiteWhenNoHostIsSet() {
    const QByteArray siteHost = qgetenv("NUBELO_SITE_HOST");
    const QByteArray uploadHost = qgetenv("NUBELO_UPLOAD_HOST");
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    const auto restore = qScopeGuard([&] {
        qputenv("NUBELO_SITE_HOST", siteHost);
        qputenv("NUBELO_UPLOAD_HOST", uploadHost);
        qputenv("XDG_DATA_HOME", dataHome);
    });
    qunsetenv("NUBELO_SITE_HOST");
    qunsetenv("NUBELO_UPLOAD_HOST");
    qputenv("XDG_DATA_HOME", QFile::encodeName(mScratch->path())); // not the tester's own

    QVERIFY(open());
    nubelo::site::Site *embedded = mHost->embeddedSite();
    QVERIFY(embedded);
    QCOMPARE(mHost->window()->galleryUrl().toString(),
             u"http://%1/"_s.arg(QString::fromStdString(embedded->siteHost())));
    const QString demo = QString::fromStdString(embedded->demoAccount().email);
    QVERIFY(mHost->embeddedSiteLine().contains(demo));
    QVERIFY(!mHost->embeddedSiteLine().contains(u'\n'));
    auto *note = mHost->window()->findChild<QLabel *>(u"siteNote"_s);
    QVERIFY(note->isVisible() && note->text().contains(demo));
}

void TestGui::signInThroughTheSheet() {
    QVERIFY(open());
    mSite->setDelay(Exchange::Login, std::chrono::milliseconds(300));
    QPushButton *toggle = settingsButton(u"mAuthenticate"_s);
    bool sheetUpWhileWaiting = false;
    QString errorLine, toggleAfterRefusal, accountAfterRefusal;

    Script script;
    script
        .then(
            u"the sheet shows"_s, [] { return shown(u"mLoginDialog"_s) != nullptr; },
            [] {
                typeInto(shown<QLineEdit>(u"mLoginUsername"_s), kEmail);
                typeInto(shown<QLineEdit>(u"mLoginPassword"_s), u"wrong"_s);
                QTest::mouseClick(shown<QPushButton>(u"authenticateButton"_s), Qt::LeftButton);
            })
        .then(
            u"the login waits"_s, [] { return shown(u"mLoginProgress"_s) != nullptr; },
            [&] { sheetUpWhileWaiting = shown(u"mLoginDialog"_s) != nullptr; })
        .then(
            u"the refusal shows"_s,
            [] {
                return shown(u"mLoginErrorMessage"_s) != nullptr &&
                       shown(u"mLoginProgress"_s) == nullptr;
            },
            [&] {
                errorLine = shown<QLabel>(u"mLoginErrorMessage"_s)->text();
                toggleAfterRefusal = toggle->text();
                accountAfterRefusal = signedInAs();
                typeInto(shown<QLineEdit>(u"mLoginPassword"_s), kPassword);
                QTest::mouseClick(shown<QPushButton>(u"authenticateButton"_s), Qt::LeftButton);
            })
        .then(u"the sheet closes"_s, [] { return shown(u"mLoginDialog"_s) == nullptr; });
    script.start();
    QTest::mouseClick(toggle, Qt::LeftButton); // returns when the sheet's loop has ended
    QVERIFY2(script.done(), qPrintable(script.stuckAt()));

    QVERIFY(sheetUpWhileWaiting);
    QCOMPARE(errorLine, u"Atuthentication failed. Please review and try again!"_s);
    QCOMPARE(toggleAfterRefusal, u"Authenticate"_s);
    QCOMPARE(accountAfterRefusal, QString());
    QCOMPARE(toggle->text(), u"Logout"_s);
    QCOMPARE(signedInAs(), kEmail);
}

void TestGui::returnExportsAndCtrlCDoesNot() {
    QVERIFY(open());
    QVERIFY(signIn());
    ExportWindow *window = mHost->window();
    PhotoHost *photoHost = mHost->photoHost();
    QSignalSpy requests(photoHost, &PhotoHost::exportRequested);
    QWidget *focus = settingsButton(u"mAuthenticate"_s); // the pane's first control
    const std::size_t before = photosOnSite();

    QTest::keyClick(focus, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(requests.count(), 0);
    QVERIFY(!photoHost->isExporting());

    mSite->setDelay(Exchange::Upload, std::chrono::milliseconds(200));
    QTest::keyClick(focus, Qt::Key_Return);
    QCOMPARE(requests.count(), 1);
    QVERIFY(photoHost->isExporting());
    // During the run neither Return nor Export starts another one.
    QVERIFY(!window->settingsWidget()->isEnabled() && !window->exportButton()->isEnabled());
    QTest::keyClick(focus, Qt::Key_Return);
    QTest::mouseClick(window->exportButton(), Qt::LeftButton);
    QCOMPARE(requests.count(), 1);

    QCOMPARE(awaitOutcome(), u"3 photos went up to Nubelo."_s);
    QCOMPARE(photosOnSite(), before + 3);
    // The run signed out: the pane is back, Export waits for the next sign-in.
    QVERIFY(window->settingsWidget()->isEnabled() && !window->exportButton()->isEnabled());
}

// Hands the gallery's address to a test handler instead of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl &url) { urls << url; }
};

void TestGui::exportOfThreePhotos() {
    QVERIFY(open());
    QVERIFY(signIn());
    ExportWindow *window = mHost->window();
    QProgressBar *bar = window->progressBar();
    QList<int> values;
    QObject scope; // the connections below capture locals
    connect(mHost->photoHost(), &PhotoHost::progressChanged, &scope,
            [&] { values << bar->value(); });
    const std::size_t before = photosOnSite();
    mSite->setDelay(Exchange::Upload, std::chrono::milliseconds(200));

    QTest::mouseClick(window->exportButton(), Qt::LeftButton);
    QVERIFY(mHost->photoHost()->isExporting());
    QTRY_VERIFY_WITH_TIMEOUT(window->outcomeBox(), kRunLimitMs);
    QMessageBox *box = window->outcomeBox();
    QCOMPARE(box->text(), u"3 photos went up to Nubelo."_s);
    QCOMPARE(photosOnSite(), before + 3);
    QCOMPARE(bar->maximum(), 3);
    QCOMPARE(bar->value(), 3);
    QVERIFY2(std::is_sorted(values.begin(), values.end()) &&
                 std::any_of(values.begin(), values.end(), [](int v) { return v > 0 && v < 3; }),
             qPrintable(QDebug::toString(values)));
    // The run ends by signing out.
    QCOMPARE(signedInAs(), QString());

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(u"http"_s, &catcher, "open");
    const auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler(u"http"_s); });
    clickButton(box, u"Open Gallery"_s);
    QCOMPARE(catcher.urls,
             QList<QUrl>{QUrl(u"http://%1/"_s.arg(QString::fromStdString(mSite->siteHost())))});
}

void TestGui::cancelMidRun() {
    QVERIFY(open());
    QVERIFY(signIn());
    ExportWindow *window = mHost->window();
    const std::size_t before = photosOnSite();
    // The second photo's upload outlasts the poll that shows it, so Cancel lands during it.
    mSite->setDelay(Exchange::Upload, std::chrono::milliseconds(400));
    QObject scope;
    connect(mHost->photoHost(), &PhotoHost::progressChanged, &scope,
            [window](quint32, quint32, const QString &message) {
                if (message == u"Image 2 of 3"_s)
                    QTest::mouseClick(window->cancelButton(), Qt::LeftButton);
            });
    QSignalSpy ended(window, &ExportWindow::runEnded);

    QTest::mouseClick(window->exportButton(), Qt::LeftButton);
    QCOMPARE(awaitOutcome(), u"Export stopped: 2 of 3 photos went up to Nubelo."_s);
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.at(0).at(1).toInt(), 2);
    QCOMPARE(photosOnSite(), before + 2);
    QVERIFY(window->cancelButton()->isEnabled());
}

void TestGui::windowAtItsDefaultSize() {
    QVERIFY(open());
    ExportWindow *window = mHost->window();
    QListWidget *grid = window->thumbnails();
    QCOMPARE(window->size(), window->defaultSize());
    // Regression: one row of thumbnails behind a horizontal scroll bar, names cut at the end.
    QVERIFY(grid->viewport()->width() >= 4 * grid->gridSize().width());
    QVERIFY(grid->viewport()->height() >= 3 * grid->gridSize().height());
    QVERIFY(!window->progressBar()->isVisible());
    QListWidgetItem *first = grid->item(0);
    QCOMPARE(first->text(), QFileInfo(mPhotos.first()).fileName());
    QVERIFY(first->toolTip().contains(first->text()));
    QCOMPARE(grid->textElideMode(), Qt::ElideMiddle);

    // A long outcome wraps inside the window.
    QLabel *status = window->statusLabel();
    status->setText(u"Export stopped: 6 of 19 photos went up to Nubelo. "_s.repeated(3));
    QTRY_VERIFY(status->height() >= status->heightForWidth(status->width()));
    QVERIFY(window->rect().contains(status->geometry()));

    // Narrowed to two columns, the photos wrap rather than scroll sideways.
    window->resize(2 * grid->gridSize().width() + 80, window->height());
    QTRY_VERIFY(grid->visualItemRect(grid->item(2)).top() > grid->visualItemRect(first).top());
    QVERIFY(!grid->horizontalScrollBar()->isVisible());

    // Size and place are kept for the next window.
    window->resize(window->defaultSize() + QSize(60, 40));
    const QSize kept = window->size();
    mHost.reset();
    QVERIFY(open());
    QCOMPARE(mHost->window()->size(), kept);
}

// Signed out, a run could only fail at its first upload: neither Export nor Return starts one.
void TestGui::exportOfferedOnlyWhenSignedIn() {
    QVERIFY(open());
    ExportWindow *window = mHost->window();
    QSignalSpy requests(mHost->photoHost(), &PhotoHost::exportRequested);
    QVERIFY(!window->exportButton()->isEnabled());
    QVERIFY(window->signInNote()->isVisible());
    QTest::keyClick(settingsButton(u"mAuthenticate"_s), Qt::Key_Return);
    QCOMPARE(requests.count(), 1); // the plug-in's own path reaches the window, which refuses
    QVERIFY(!mHost->photoHost()->isExporting());
    QVERIFY(!QFileInfo::exists(mScratch->filePath(u"sfe-0.png"_s)));

    QVERIFY(signIn());
    QTRY_VERIFY(window->exportButton()->isEnabled() && !window->signInNote()->isVisible());

    // A run that fails shows the record's message, and the reason under the details.
    mSite->setFault(nubelo::site::Fault::Upload500);
    QSignalSpy ended(window, &ExportWindow::runEnded);
    QTest::mouseClick(window->exportButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window->outcomeBox(), kRunLimitMs);
    QMessageBox *box = window->outcomeBox();
    const QString message = u"Unable to upload %1"_s.arg(mScratch->filePath(u"sfe-0.png"_s));
    QCOMPARE(box->text(), message);
    QCOMPARE(box->informativeText(), u"No photo went up."_s);
    QVERIFY2(box->detailedText().startsWith(u"photo 1: "_s), qPrintable(box->detailedText()));
    QCOMPARE(window->statusLabel()->text(), message);
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.at(0).at(0).toBool(), true);
    // A failed run leaves the session: Export is offered again.
    QVERIFY(window->settingsWidget()->isEnabled() && window->exportButton()->isEnabled());
    box->reject();

    // Signing out through the pane takes the offer back.
    QTest::mouseClick(settingsButton(u"mAuthenticate"_s), Qt::LeftButton);
    QCOMPARE(signedInAs(), QString());
    QTRY_VERIFY(!window->exportButton()->isEnabled() && window->signInNote()->isVisible());
}

void TestGui::replacePrompt_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("closeFirst"); // the window is closed while the question is up
    QTest::addColumn<int>("uploaded");
    QTest::newRow("Replace") << "Replace" << false << 3;
    QTest::newRow("Cancel") << "Cancel" << false << 0;
    // Regression: the window's cancel came before the run began, which forgot it.
    QTest::newRow("window closed, then Replace") << "Replace" << true << 0;
}

void TestGui::replacePrompt() {
    QFETCH(QString, answer);
    QFETCH(bool, closeFirst);
    QFETCH(int, uploaded);
    QVERIFY(open());
    QVERIFY(signIn());
    ExportWindow *window = mHost->window();
    QFile earlier(QDir(mScratch->path()).filePath(u"sfe-2.png"_s));
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.close();
    const std::size_t before = photosOnSite();

    Script script;
    script.then(
        u"the prompt shows"_s, [] { return shownBox(u"File exists"_s) != nullptr; },
        [&] {
            if (closeFirst)
                window->close();
            clickButton(shownBox(u"File exists"_s), answer);
        });
    script.start();
    QTest::mouseClick(window->exportButton(), Qt::LeftButton); // returns once answered
    QVERIFY2(script.done(), qPrintable(script.stuckAt()));

    QCOMPARE(mHost->photoHost()->isExporting(), answer == u"Replace"_s);
    if (closeFirst) {
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), kRunLimitMs);
        QVERIFY(!QFileInfo::exists(mScratch->filePath(u"sfe-0.png"_s)));
    } else if (uploaded > 0) {
        QCOMPARE(awaitOutcome(), u"3 photos went up to Nubelo."_s);
    } else {
        QCOMPARE(window->statusLabel()->text(), u"Nothing exported."_s);
        QVERIFY(window->settingsWidget()->isEnabled() && window->exportButton()->isEnabled());
        QCOMPARE(signedInAs(), kEmail);
    }
    QCOMPARE(photosOnSite(), before + uploaded);
}

void TestGui::aboutOpenedAndClosedTwice() {
    QVERIFY(open());
    for (int round = 0; round < 2; ++round) {
        Script script;
        script.then(
            u"the About window shows"_s, [] { return shown(u"mAboutDialog"_s) != nullptr; },
            [] { QTest::mouseClick(shown<QPushButton>(u"closeButton"_s), Qt::LeftButton); });
        script.start();
        QTest::mouseClick(settingsButton(u"aboutButton"_s), Qt::LeftButton);
        QVERIFY2(script.done(), qPrintable(u"round %1: %2"_s.arg(round).arg(script.stuckAt())));
        QVERIFY(!shown(u"mAboutDialog"_s));
    }
}

// The application quits when its window closes, and the run's last step needs this thread:
// the window closes only after the export thread has ended.
class HideWatch : public QObject {
public:
    HideWatch(QWidget *window, PhotoHost *host)
        : mHost(host) {
        window->installEventFilter(this);
    }
    int hides = 0;
    bool exportingAtHide = false;

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Hide) {
            ++hides;
            exportingAtHide = exportingAtHide || mHost->isExporting();
        }
        return false;
    }

private:
    PhotoHost *mHost;
};

void TestGui::closingTheWindowMidRun() {
    QVERIFY(open());
    QVERIFY(signIn());
    ExportWindow *window = mHost->window();
    PhotoHost *photoHost = mHost->photoHost();
    const std::size_t before = photosOnSite();
    mSite->setDelay(Exchange::Upload, std::chrono::milliseconds(400));
    HideWatch watch(window, photoHost);
    bool closeRefused = false;
    QObject scope;
    connect(photoHost, &PhotoHost::progressChanged, &scope,
            [&](quint32, quint32, const QString &message) {
                if (message == u"Image 1 of 3"_s && !closeRefused)
                    closeRefused = !window->close() && window->isVisible();
            });

    QTest::mouseClick(window->exportButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), kRunLimitMs);
    QVERIFY(closeRefused);
    QVERIFY(!photoHost->isExporting());
    QCOMPARE(watch.hides, 1);
    QVERIFY(!watch.exportingAtHide);
    QVERIFY(!window->outcomeBox());
    QCOMPARE(photosOnSite(), before + 1);
    QCOMPARE(signedInAs(), QString());
}

QTEST_MAIN(TestGui)
#include "tst_gui.moc"
