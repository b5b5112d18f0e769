#include "ExportCommand.h"

#include "HostSetup.h"
#include "NetworkThread.h"
#include "PhotoStore.h"
#include "ProgramArguments.h"
#include "TerminalControls.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>

#include <algorithm>

#include <unistd.h>

namespace {

// How long an exchange may stay silent before the user is told that the program waits for it.
constexpr std::chrono::milliseconds kStallNotice{5000};
// What a second Ctrl-C leaves for the sign-out before the program ends regardless.
constexpr std::chrono::seconds kStopGrace{2};

QString secondsText(std::chrono::milliseconds duration) {
    const qint64 ms = duration.count();
    return ms % 1000 == 0 ? QStringLiteral("%1 s").arg(ms / 1000)
                          : QStringLiteral("%1 s").arg(double(ms) / 1000.0);
}

} // namespace

ExportCommand::ExportCommand(CommandLine line)
    : mLine(std::move(line))
    , mProgress(ProgressDisplay::modeFor(mLine.quiet, STDERR_FILENO), STDERR_FILENO) {}

ExportCommand::~ExportCommand() {
    // The teardown serves events, and the plug-in it asks goes during it.
    mSilenceWatch.stop();
    mSession.tearDown();
    platform::shutdown();
}

void ExportCommand::tell(const QString &text) {
    terminal::writeText(STDOUT_FILENO, text + QLatin1Char('\n'));
}

void ExportCommand::warn(const QString &text) {
    ProgramArguments::warn(QStringLiteral("nubelo-export"), text);
}

platform::Error ExportCommand::ending(ExitCode code, const QString &message) {
    return platform::Error{QStringLiteral("nubelo-export"), code, message};
}

bool ExportCommand::interrupted() const {
    return terminal::InterruptWatch::count() > 0;
}

int ExportCommand::run() {
    // The plug-in's log is for diagnosis, and some of it (the session cookie, redacted or not)
    // has no business on a screen; QT_LOGGING_RULES, which Qt applies after these, shows it.
    QLoggingCategory::setFilterRules(QStringLiteral("nubelo.*=false"));
    // From here on a Ctrl-C never leaves the terminal without echo.
    mWatch = terminal::InterruptWatch::install(this);
    if (mWatch != nullptr) {
        connect(mWatch, &terminal::InterruptWatch::interrupted, this, &ExportCommand::onInterrupt);
        mKit.setInterruptSource(mWatch->source());
    }
    platform::MaybeError end;
    for (platform::MaybeError (ExportCommand::*step)() :
         {&ExportCommand::checkInput, &ExportCommand::startEmbeddedSite,
          &ExportCommand::skipUploaded, &ExportCommand::loadPlugin, &ExportCommand::signIn,
          &ExportCommand::exportPhotos}) {
        end = (this->*step)();
        if (!end && interrupted())
            end = ending(Interrupted);
        if (end)
            break;
    }
    if (end && !end->localizedDescription.isEmpty()) {
        mProgress.breakLine();
        warn(end->localizedDescription);
    }
    if (mSession.site)
        reportEmbeddedPhotos();
    return end ? end->code : Uploaded;
}

platform::MaybeError ExportCommand::checkInput() {
    if (platform::MaybeError refused = hostsetup::checkPhotos(mLine.photos))
        return refused;
    if (platform::MaybeError refused = checkExportDir(mLine.dir))
        return refused;

    mConfig = PluginConfig::fromEnvironment();
    mEmbedded = hostsetup::embeddedSiteWanted();
    if (mEmbedded && mLine.email.isNull())
        return std::nullopt; // the embedded site's demo account, known once it runs

    mEmail = mLine.email;
    const bool person = mKit.isInteractive();
    const bool inEnvironment = !qEnvironmentVariableIsEmpty("NUBELO_PASSWORD");
    // --remember on a terminal asks for the password to keep: most likely the one kept is
    // stale, and trying it first would only have the new one typed where we cannot keep it.
    // (It keeps the password that signed in, so that one must pass through our hands.)
    const bool askToKeep = mLine.remember && person && !inEnvironment;
    if (!mLine.passwordStdin && !inEnvironment && !askToKeep) {
        mPassword = remembered::find(mEmail);
        mPasswordRemembered = !mPassword.isNull();
    }
    if (mPassword.isNull() && (mLine.passwordStdin || askToKeep)) {
        QString line;
        const QString prompt = person ? QStringLiteral("Password: ") : QString();
        const terminal::InterruptSource interrupt =
            mWatch != nullptr ? mWatch->source() : terminal::InterruptSource{};
        const terminal::ReadStatus status =
            terminal::readLine(STDIN_FILENO, person, &line, interrupt, STDERR_FILENO, prompt);
        if (status == terminal::ReadStatus::Interrupted)
            return ending(Interrupted);
        if (status != terminal::ReadStatus::Line || line.isEmpty())
            return ending(UsageError,
                          mLine.passwordStdin
                              ? QStringLiteral("--password-stdin: no password on standard input")
                              : QStringLiteral("--remember: no password given"));
        mPassword = line;
    } else if (mPassword.isNull() && inEnvironment) {
        mPassword = qEnvironmentVariable("NUBELO_PASSWORD");
    }
    if (mEmail.isNull() && !person)
        return ending(UsageError, QStringLiteral("no --email given, and no terminal to ask on"));
    if (mPassword.isNull() && !person)
        return ending(UsageError, QStringLiteral("no password: give it on standard input with "
                                                 "--password-stdin, or in NUBELO_PASSWORD"));
    return std::nullopt;
}

platform::MaybeError ExportCommand::startEmbeddedSite() {
    if (!mEmbedded)
        return std::nullopt;
    hostsetup::EmbeddedSite embedded;
    if (platform::MaybeError error = hostsetup::startEmbeddedSite(embedded, mConfig))
        return ending(Failed, error->localizedDescription);
    mSession.site = std::move(embedded.site);
    mSiteDataDir = embedded.dataDir;
    if (mEmail.isNull()) {
        const nubelo::site::Account demo = mSession.site->demoAccount();
        mEmail = QString::fromStdString(demo.email);
        mPassword = QString::fromStdString(demo.password);
    }
    mPhotosBefore = mSession.site->photos(mEmail.toStdString()).size();
    warn(QStringLiteral("NUBELO_SITE_HOST and NUBELO_UPLOAD_HOST are not set: using the embedded "
                        "stand-in site on %1 (uploads on %2), signing in as %3")
             .arg(mConfig.siteHost, mConfig.uploadHost, mEmail));
    return std::nullopt;
}

platform::MaybeError ExportCommand::loadPlugin() {
    const QString path = hostsetup::pluginModulePath();
    if (const platform::MaybeError error = mSession.load(path, mConfig))
        return ending(Failed, error->localizedDescription);
    mPlugin = mSession.plugin();
    mOutcomes = mSession.outcomes();
    if (mOutcomes == nullptr)
        return ending(Failed,
                      QStringLiteral("the plug-in %1 does not tell its outcomes").arg(path));
    // From the sign-in on; its timer also fires in the sign-in's own wait.
    connect(&mSilenceWatch, &QTimer::timeout, this, &ExportCommand::watchSilence);
    mSilenceWatch.start(250);
    // The host's side of showing a plug-in's pane.
    mPlugin->settingsView();
    mPlugin->viewWillBeActivated();
    return std::nullopt;
}

platform::MaybeError ExportCommand::signIn() {
    // The first photo is converted while the user signs in. The plug-in asks for photos of at
    // most 640 x 640; were it to ask for another size, only the head start would be lost.
    PhotoHost &photoHost = mSession.photoHost();
    if (photoHost.setImageFiles(mToSend.photos))
        photoHost.convertAhead(QSize(640, 640));

    if (!mEmail.isNull())
        mKit.setGivenValue(QStringLiteral("mLoginUsername"), mEmail);
    if (!mPassword.isNull())
        mKit.setGivenValue(QStringLiteral("mLoginPassword"), mPassword);

    // The pane's first control is its sign-in toggle; a person would press it.
    auto *toggle = qobject_cast<terminal::Button *>(mPlugin->firstView());
    if (toggle == nullptr || terminal::hiddenOnScreen(toggle) || !toggle->isEnabled())
        return ending(Failed, QStringLiteral("the plug-in shows no sign-in button"));
    // The sheet back again means the password given was refused; a person is then asked for
    // another (without one the run ends, and says so below).
    mKit.startWatching([this] {
        if (mPasswordRemembered && mKit.isInteractive())
            warn(QStringLiteral("the password remembered in the keyring for %1 was refused "
                                "(--remember keeps a new one)")
                     .arg(mEmail));
    });
    toggle->performClick();
    mKit.stopWatching();

    tellAccount();
    if (interrupted())
        return ending(Interrupted);
    if (!mOutcomes->signedInAs().isNull()) {
        rememberPassword();
        return std::nullopt;
    }
    // A correct password is not to blame when the site failed or kept silent.
    const SignInOutcome outcome = mOutcomes->lastSignIn();
    if (outcome.end == SignIn::SiteFailed && outcome.error)
        return ending(NotSignedIn,
                      QStringLiteral("not signed in: %1").arg(outcome.error->localizedDescription));
    if (mPasswordRemembered && !mKit.isInteractive())
        return ending(NotSignedIn,
                      QStringLiteral("not signed in: the password remembered in the keyring for %1 "
                                     "was refused (--forget deletes it)")
                          .arg(mEmail));
    return ending(NotSignedIn, QStringLiteral("not signed in: the sign-in was refused or "
                                              "cancelled"));
}

void ExportCommand::rememberPassword() {
    if (!mLine.remember || mLine.email.isNull() || mPasswordRemembered)
        return;
    if (mPassword.isNull() || mKit.retried()) {
        warn(QStringLiteral("--remember: not remembered: the password given first was refused"));
        return;
    }
    if (const platform::MaybeError error = remembered::store(mEmail, mPassword))
        warn(QStringLiteral("--remember: %1; the password is not remembered")
                 .arg(error->localizedDescription));
    else
        tell(QStringLiteral("Remembered the password for %1 in the keyring.").arg(mEmail));
}

platform::MaybeError ExportCommand::skipUploaded() {
    mToSend.photos = mLine.photos;
    if (!mLine.skipUploaded)
        return std::nullopt;
    auto toSend = leaveOutUploaded(mUploadRecord, mConfig.siteHost, mEmail, mLine.photos);
    if (!toSend)
        return ending(Failed, toSend.error().localizedDescription);
    mToSend = std::move(*toSend);
    if (mToSend.photos.isEmpty()) {
        tell(QStringLiteral("Nothing to send: every photo was uploaded before (--skip-uploaded)."));
        return ending(Uploaded);
    }
    return std::nullopt;
}

void ExportCommand::watchSilence() {
    const std::optional<SiteExchange> exchange = mOutcomes->exchangeUnderWay();
    if (!exchange || exchange->silentSince == mToldSilentSince ||
        std::chrono::steady_clock::now() - exchange->silentSince < kStallNotice)
        return;
    mToldSilentSince = exchange->silentSince;
    mProgress.breakLine();
    warn(QStringLiteral("waiting for %1: no answer for %2, giving up after %3")
             .arg(exchange->host, secondsText(kStallNotice), secondsText(exchange->limit)));
}

void ExportCommand::tellAccount() {
    // The words of the pane's account line.
    const QString user = mOutcomes->signedInAs();
    tell(QStringLiteral("Account: %1")
             .arg(user.isNull() ? QStringLiteral("No user athenticated yet")
                                : QStringLiteral("%1 logged in").arg(user)));
}

platform::MaybeError ExportCommand::exportPhotos() {
    PhotoHost &photoHost = mSession.photoHost();
    photoHost.setImageFiles(mToSend.photos);
    // Each photo that went up is recorded at once, so a run cut short can be picked up.
    mRunRecord.emplace(mUploadRecord, mConfig.siteHost, mEmail);
    mRunRecord->start(mToSend.photos, mToSend.digests);
    const auto record = [this] {
        mRunRecord->uploadedSoFar(mOutcomes->lastRun().uploaded);
    };
    connect(&photoHost, &PhotoHost::progressChanged, this, record);
    connect(&photoHost, &PhotoHost::exportFinished, this, record);
    photoHost.setDestination(mLine.dir);
    photoHost.setKeepFiles(mLine.keepFiles);
    connect(&photoHost, &PhotoHost::progressChanged, this,
            [this](quint32 current, quint32 total, const QString &message) {
                // The record's last text (a failure) is the outcome, told once the run ended.
                mPlugin->lockProgress();
                const PluginProgress *record = mPlugin->progress();
                const bool ended = record->shouldStop || record->shouldCancel;
                mPlugin->unlockProgress();
                if (!ended)
                    mProgress.update(current, total, message);
            });
    connect(&photoHost, &PhotoHost::exportFinished, this,
            [this](bool cancelled, const QString &message) {
                mFinished = true;
                mRunFailed = cancelled;
                mRunMessage = message;
            });
    if (mLine.yes)
        mKit.setCriticalAlertAnswer(ui::AlertDefaultReturn);

    mPlugin->startExport(mLine.dir);
    if (!photoHost.isExporting()) {
        if (interrupted())
            return ending(Interrupted);
        switch (mOutcomes->lastStart()) {
        case ExportStart::FilesKept:
            return ending(NothingExported,
                          QStringLiteral("nothing exported: files of an earlier run are in %1 "
                                         "and Replace was not chosen (--yes chooses it)")
                              .arg(mLine.dir));
        case ExportStart::Refused:
            return ending(Failed, QStringLiteral("the plug-in did not start the export: a run is "
                                                 "under way"));
        default:
            return ending(Failed, QStringLiteral("the plug-in did not start the export: the host "
                                                 "refused the run"));
        }
    }
    // The run's last step is carried out on this thread: keep serving events until it ends.
    // Meanwhile a second Ctrl-C signs out and ends the program (stopNow).
    terminal::InterruptWatch::setSecondInterruptGrace(kStopGrace);
    while (!mFinished)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    terminal::InterruptWatch::setSecondInterruptGrace(std::chrono::seconds(0));
    mProgress.finish(!mRunFailed && !mCancelAsked, quint32(mToSend.photos.size()));
    tellAccount();

    QStringList lines;
    if (const std::optional<ExportFailure> failure = mOutcomes->lastRun().failure)
        lines.append(failedPhotoLine(*failure));
    else if (mRunFailed)
        lines.append(mRunMessage.isEmpty() ? QStringLiteral("the export failed") : mRunMessage);
    tellUploaded();
    // The user's Ctrl-C ended the run, even when the photo under way then failed.
    if (interrupted())
        return ending(Interrupted,
                      (lines << QStringLiteral("export cancelled")).join(QLatin1Char('\n')));
    if (mRunFailed)
        return ending(Failed, lines.join(QLatin1Char('\n')));
    return std::nullopt;
}

QString ExportCommand::failedPhotoLine(const ExportFailure &failure) {
    const QString path = mToSend.photos.value(failure.photo - 1);
    // The photo as the user named it. The host's reason when it did not write the photo (the
    // plug-in only knows that it was not written); it starts with the path, named already.
    QString reason = failure.error.localizedDescription;
    if (const platform::MaybeError host = mSession.photoHost().exportFailure()) {
        reason = host->localizedDescription;
        if (reason.startsWith(path + QStringLiteral(": ")))
            reason = reason.mid(path.size() + 2);
    }
    return QStringLiteral("photo %1 of %2, %3: %4")
        .arg(failure.photo)
        .arg(mToSend.photos.size())
        .arg(path, reason);
}

void ExportCommand::tellUploaded() {
    // The run goes in order and stops at its first failed photo: the first `uploaded` are up.
    const qsizetype total = mToSend.photos.size();
    const qsizetype uploaded = std::clamp<qsizetype>(mOutcomes->lastRun().uploaded, 0, total);
    QString text = QStringLiteral("%1 of %2 %3 uploaded")
                       .arg(uploaded)
                       .arg(total)
                       .arg(total == 1 ? QStringLiteral("photo") : QStringLiteral("photos"));
    if (uploaded < total) {
        QStringList names;
        for (qsizetype i = uploaded; i < total; ++i)
            names.append(mToSend.photos.at(i));
        text += QStringLiteral("; not uploaded: %1").arg(names.join(QStringLiteral(", ")));
    }
    tell(text);
    if (mToSend.skipped > 0)
        tell(QStringLiteral("Skipped %1 uploaded before (--skip-uploaded).")
                 .arg(mToSend.skipped == 1 ? QStringLiteral("1 photo")
                                           : QStringLiteral("%1 photos").arg(mToSend.skipped)));
}

void ExportCommand::reportEmbeddedPhotos() {
    const std::vector<nubelo::site::StoredPhoto> photos =
        mSession.site->photos(mEmail.toStdString());
    for (std::size_t i = mPhotosBefore; i < photos.size(); ++i)
        tell(QStringLiteral("  %1 (%2 bytes)")
                 .arg(QFile::decodeName(QByteArray::fromStdString(photos[i].path.string())))
                 .arg(photos[i].size));
    const QString folder = QDir(mSiteDataDir)
                               .filePath(QString::fromStdString(
                                   nubelo::site::PhotoStore::folderName(mEmail.toStdString())));
    tell(QStringLiteral("The embedded site keeps the photos of %1 in %2").arg(mEmail, folder));
}

void ExportCommand::onInterrupt() {
    if (!mSession.photoHost().isExporting())
        return;
    if (terminal::InterruptWatch::count() >= 2)
        stopNow();
    if (mCancelAsked)
        return;
    mCancelAsked = true;
    mProgress.breakLine();
    warn(QStringLiteral("cancelling after the photo under way (Ctrl-C again stops at once)"));
    mSession.photoHost().cancel();
}

void ExportCommand::stopNow() {
    mProgress.breakLine();
    warn(QStringLiteral("stopping at once: signing out (at most %1)").arg(secondsText(kStopGrace)));
    // The process ends without a teardown: what went up since the last look is recorded now.
    if (mRunRecord)
        mRunRecord->uploadedSoFar(mOutcomes->lastRun().uploaded);
    tellUploaded();
    // The photo under way is left to its fate; the session is not. The pane's toggle signs out
    // as a person's click would, and the interrupt's grace ends a sign-out the site is slow to
    // answer.
    if (auto *toggle = qobject_cast<terminal::Button *>(mPlugin->firstView()))
        toggle->performClick();
    terminal::InterruptWatch::endProcess();
}
