#include "ExportWindow.h"

#include "ExportPluginProtocol.h"
#include "PhotoHost.h"
#include "PluginSession.h"
#include "qtwidgets/QtWidgetsApplication.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kThumbnailSide = 96;
// A grid cell: the thumbnail with a line of name under it.
constexpr QSize kCell(kThumbnailSide + 40, kThumbnailSide + 32);
// How often the window asks the plug-in who is signed in: the pane's sheets change it without
// telling the host.
constexpr int kSignInPollMs = 200;

// The window's place on the screen, kept per program (a test program keeps its own).
QSettings windowSettings() {
    return QSettings(QStringLiteral("Nubelo"), QCoreApplication::applicationName());
}
const QString kGeometryKey = QStringLiteral("exportWindow/geometry");

QString photosText(qsizetype count) {
    return count == 1 ? QStringLiteral("1 photo") : QStringLiteral("%1 photos").arg(count);
}

} // namespace

ExportWindow::ExportWindow(PluginSession *session, const QString &siteHost, QWidget *parent)
    : QWidget(parent)
    , mSession(session)
    , mHost(&session->photoHost())
    , mPlugin(session->plugin())
    , mSiteHost(siteHost) {
    setWindowTitle(QStringLiteral("Export — %1").arg(mPlugin->name()));

    auto *layout = new QVBoxLayout(this);
    mPhotosLine = new QLabel(this);
    layout->addWidget(mPhotosLine);
    mThumbnails = new QListWidget(this);
    mThumbnails->setObjectName(QStringLiteral("thumbnails"));
    mThumbnails->setViewMode(QListView::IconMode);
    mThumbnails->setFlow(QListView::LeftToRight);
    // A grid that wraps at the window's width and scrolls only downwards.
    mThumbnails->setWrapping(true);
    mThumbnails->setResizeMode(QListView::Adjust);
    mThumbnails->setMovement(QListView::Static);
    mThumbnails->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mThumbnails->setIconSize(QSize(kThumbnailSide, kThumbnailSide));
    mThumbnails->setGridSize(kCell);
    mThumbnails->setUniformItemSizes(true);
    mThumbnails->setWordWrap(false);
    mThumbnails->setTextElideMode(Qt::ElideMiddle); // "harbour…dusk.jpg" keeps its extension
    mThumbnails->setSelectionMode(QAbstractItemView::NoSelection);
    mThumbnails->setFocusPolicy(Qt::NoFocus);
    mThumbnails->setMinimumHeight(kCell.height() + 8);
    layout->addWidget(mThumbnails, 1);

    // The plug-in's pane, in place. A view of another kit has no widget to show.
    mSettings = qtwidgets::QtWidgetsApplication::widgetFor(mPlugin->settingsView());
    if (mSettings != nullptr) {
        layout->addWidget(mSettings);
        mSettings->show();
    } else {
        layout->addWidget(new QLabel(QStringLiteral("The plug-in shows no settings."), this));
    }

    mSiteNote = new QLabel(this);
    mSiteNote->setObjectName(QStringLiteral("siteNote"));
    mSiteNote->setWordWrap(true);
    mSiteNote->setTextFormat(Qt::PlainText);
    mSiteNote->setTextInteractionFlags(Qt::TextSelectableByMouse);
    mSiteNote->hide();
    layout->addWidget(mSiteNote);

    mSignInNote = new QLabel(QStringLiteral("Sign in first: Export needs a Nubelo account."), this);
    mSignInNote->setObjectName(QStringLiteral("signInNote"));
    mSignInNote->setWordWrap(true);
    mSignInNote->hide();
    layout->addWidget(mSignInNote);

    // Hidden until a run starts: an empty bar reads as a text field.
    mProgress = new QProgressBar(this);
    mProgress->setObjectName(QStringLiteral("exportProgress"));
    mProgress->setRange(0, 1);
    mProgress->setValue(0);
    mProgress->setTextVisible(false);
    mProgress->hide();
    layout->addWidget(mProgress);
    // Its own line, wrapped: a long outcome is never cut at the window's edge.
    mStatus = new QLabel(this);
    mStatus->setObjectName(QStringLiteral("exportStatus"));
    mStatus->setTextFormat(Qt::PlainText);
    mStatus->setWordWrap(true);
    layout->addWidget(mStatus);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    mCancel = new QPushButton(QStringLiteral("Cancel"), this);
    mCancel->setObjectName(QStringLiteral("exportCancel"));
    mCancel->setAutoDefault(false);
    buttons->addWidget(mCancel);
    mExport = new QPushButton(QStringLiteral("Export"), this);
    mExport->setObjectName(QStringLiteral("exportStart"));
    mExport->setAutoDefault(false);
    buttons->addWidget(mExport);
    layout->addLayout(buttons);

    connect(mExport, &QPushButton::clicked, this, &ExportWindow::requestExport);
    connect(mCancel, &QPushButton::clicked, this, &ExportWindow::cancel);
    connect(mHost, &PhotoHost::exportRequested, this, &ExportWindow::requestExport);
    connect(mHost, &PhotoHost::progressChanged, this, &ExportWindow::showProgress);
    connect(mHost, &PhotoHost::exportFinished, this, &ExportWindow::finishRun);

    buildThumbnails();
    if (QWidget *first = qtwidgets::QtWidgetsApplication::widgetFor(mPlugin->firstView()))
        first->setFocus();

    auto *signInPoll = new QTimer(this);
    signInPoll->setInterval(kSignInPollMs);
    connect(signInPoll, &QTimer::timeout, this, &ExportWindow::updateExportOffer);
    signInPoll->start();
    updateExportOffer();

    resize(defaultSize());
    restoreGeometry(windowSettings().value(kGeometryKey).toByteArray());
}

QSize ExportWindow::defaultSize() const {
    // Four columns and three rows of thumbnails above everything else the window holds.
    const QMargins frame = layout()->contentsMargins();
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int gridWidth = 4 * kCell.width() + scrollBar + 2 * mThumbnails->frameWidth() + 4;
    const int gridHeight = 3 * kCell.height() + 2 * mThumbnails->frameWidth() + 4;
    const QSize hint = sizeHint();
    const int others = hint.height() - mThumbnails->sizeHint().height();
    return QSize(qMax(hint.width(), gridWidth + frame.left() + frame.right()), others + gridHeight);
}

bool ExportWindow::signedIn() const {
    // A plug-in that does not tell is given the benefit of the doubt.
    ExportPluginOutcomes *outcomes = mSession->outcomes();
    return outcomes == nullptr || !outcomes->signedInAs().isEmpty();
}

void ExportWindow::updateExportOffer() {
    const bool can = signedIn();
    mExport->setEnabled(!isRunning() && can);
    mSignInNote->setVisible(!isRunning() && !can);
}

ExportWindow::~ExportWindow() {
    windowSettings().setValue(kGeometryKey, saveGeometry());
    // The plug-in keeps its view: hand it back rather than destroy it with the window.
    if (mSettings != nullptr) {
        mSettings->hide();
        mSettings->setParent(nullptr);
    }
}

void ExportWindow::setSiteNote(const QString &text) {
    mSiteNote->setText(text);
    mSiteNote->setVisible(!text.isEmpty());
}

QUrl ExportWindow::galleryUrl() const {
    const QUrl url(QStringLiteral("http://%1/").arg(mSiteHost), QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() ? url : QUrl();
}

bool ExportWindow::isRunning() const {
    return mStarting || mHost->isExporting();
}

bool ExportWindow::thumbnailsLoaded() const {
    return mNextThumbnail >= mThumbnails->count();
}

void ExportWindow::buildThumbnails() {
    const QStringList photos = mHost->imageFiles();
    mPhotosLine->setText(
        QStringLiteral("%1 to export with %2").arg(photosText(photos.size()), mPlugin->name()));
    const QIcon placeholder = style()->standardIcon(QStyle::SP_FileIcon);
    for (const QString &photo : photos) {
        auto *item = new QListWidgetItem(placeholder, QFileInfo(photo).fileName(), mThumbnails);
        item->setToolTip(photo);
    }
    // One photo per turn of the event loop: the window is usable while a long list decodes.
    if (!photos.isEmpty())
        QTimer::singleShot(0, this, &ExportWindow::loadNextThumbnail);
}

void ExportWindow::loadNextThumbnail() {
    QListWidgetItem *item = mThumbnails->item(mNextThumbnail++);
    if (item == nullptr)
        return;
    QImageReader reader(item->toolTip());
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    // Scaled while decoding: a camera JPEG then never takes its full size in memory.
    if (size.isValid())
        reader.setScaledSize(size.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio)
                                 .expandedTo(QSize(1, 1)));
    const QImage image = reader.read();
    if (!image.isNull())
        item->setIcon(QIcon(QPixmap::fromImage(image)));
    else
        item->setToolTip(QStringLiteral("%1\n%2").arg(item->toolTip(), reader.errorString()));
    if (mNextThumbnail < mThumbnails->count())
        QTimer::singleShot(0, this, &ExportWindow::loadNextThumbnail);
}

void ExportWindow::setRunning(bool running) {
    // Nothing in the pane may re-enter the plug-in while its run goes on (its sign-in toggle,
    // Return); a disabled widget gets no keys.
    if (mSettings != nullptr)
        mSettings->setEnabled(!running);
    mCancel->setEnabled(true);
    updateExportOffer();
    // Disabling took the focus out of the pane; Return there starts the next run.
    if (!running && mSettings != nullptr && !mSettings->isAncestorOf(focusWidget()))
        if (QWidget *first = qtwidgets::QtWidgetsApplication::widgetFor(mPlugin->firstView()))
            first->setFocus();
}

void ExportWindow::requestExport() {
    if (isRunning())
        return;
    // Return in the pane comes here too: without a session the run could only fail.
    if (!signedIn()) {
        updateExportOffer();
        return;
    }
    mStarting = true;
    setRunning(true);
    if (mOutcome != nullptr)
        mOutcome->close();
    mCurrent = 0;
    mTotal = 0;
    mProgress->setRange(0, 0); // busy until the run reports its first photo
    mProgress->show();
    mStatus->setText(QStringLiteral("Starting…"));
    // The plug-in may ask about files of an earlier run first; it starts the host (and so the
    // export thread) before it returns, or not at all.
    mPlugin->startExport(mHost->destination());
    mStarting = false;
    if (mHost->isExporting())
        return;
    setRunning(false);
    mProgress->setRange(0, 1);
    mProgress->setValue(0);
    mStatus->setText(QStringLiteral("Nothing exported."));
    if (mCloseWhenEnded)
        close();
}

void ExportWindow::cancel() {
    if (!isRunning()) {
        close();
        return;
    }
    if (mStarting)
        return; // the plug-in's question is up, and it has its own Cancel
    mHost->cancel();
    mCancel->setEnabled(false);
    mStatus->setText(QStringLiteral("Stopping after the photo under way…"));
}

void ExportWindow::showProgress(quint32 current, quint32 total, const QString &message) {
    mCurrent = current;
    mTotal = total;
    if (!mHost->isExporting())
        return; // the last report of a run that has ended: finishRun() shows the outcome
    if (total > 0) {
        mProgress->setRange(0, int(qMin<quint32>(total, INT_MAX)));
        mProgress->setValue(int(qMin(current, total)));
    }
    if (!message.isNull() && mCancel->isEnabled())
        mStatus->setText(message);
}

void ExportWindow::finishRun(bool failed, const QString &message) {
    QStringList notes = mSession->runFailureReasons();
    // Not a failure of the run, but a copy of a photo left where nobody expects one.
    if (const platform::MaybeError left = mHost->removalFailure())
        notes.append(left->localizedDescription);
    const QString reason = notes.join(QLatin1Char('\n'));
    setRunning(false);
    ExportPluginOutcomes *outcomes = mSession->outcomes();
    // A plug-in that does not tell: the one it was on (currentItem, from 0) went up when it
    // stopped, and is the one that failed when it failed.
    const int photosUp = outcomes != nullptr ? outcomes->lastRun().uploaded
                                             : int(qMin(failed ? mCurrent : mCurrent + 1, mTotal));
    if (!failed && mTotal > 0)
        mProgress->setValue(photosUp);
    Q_EMIT runEnded(failed, photosUp, message);
    if (mCloseWhenEnded) {
        close();
        return;
    }
    showOutcome(failed, photosUp, message, reason);
}

void ExportWindow::showOutcome(bool failed, int photosUp, const QString &message,
                               const QString &reason) {
    auto *box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    mOutcome = box;
    if (failed) {
        const QString text = message.isEmpty() ? QStringLiteral("The export failed.") : message;
        mStatus->setText(text);
        box->setIcon(QMessageBox::Warning);
        box->setWindowTitle(QStringLiteral("Export failed"));
        box->setText(text);
        box->setInformativeText(photosUp == 0 ? QStringLiteral("No photo went up.")
                                              : QStringLiteral("%1 of %2 went up before it.")
                                                    .arg(photosUp)
                                                    .arg(photosText(mTotal)));
        box->setDetailedText(reason);
        box->addButton(QMessageBox::Ok);
        box->open();
        return;
    }
    const QString done = photosUp == int(mTotal)
                             ? QStringLiteral("%1 went up to Nubelo.").arg(photosText(photosUp))
                             : QStringLiteral("Export stopped: %1 of %2 went up to Nubelo.")
                                   .arg(photosUp)
                                   .arg(photosText(mTotal));
    mStatus->setText(reason.isEmpty() ? done : done + QLatin1Char('\n') + reason);
    box->setIcon(QMessageBox::Information);
    box->setWindowTitle(QStringLiteral("Export finished"));
    box->setText(done);
    box->setDetailedText(reason);
    const QUrl gallery = galleryUrl();
    if (gallery.isValid()) {
        box->setInformativeText(
            QStringLiteral("See them in the gallery at %1?").arg(gallery.toString()));
        QPushButton *open = box->addButton(QStringLiteral("Open Gallery"), QMessageBox::AcceptRole);
        box->setDefaultButton(open);
        connect(open, &QPushButton::clicked, this, [this, gallery] {
            if (!QDesktopServices::openUrl(gallery))
                mStatus->setText(QStringLiteral("No browser took %1.").arg(gallery.toString()));
        });
    }
    box->setEscapeButton(box->addButton(QMessageBox::Close));
    box->open();
}

void ExportWindow::closeEvent(QCloseEvent *event) {
    if (!isRunning()) {
        event->accept();
        return;
    }
    // The export thread still needs this thread (the run's last step is carried out here):
    // stay open and serve it, and close once it has ended.
    event->ignore();
    if (mCloseWhenEnded)
        return;
    mCloseWhenEnded = true;
    if (mStarting) {
        // The plug-in's question is up. Cancelling through the host only after startExport has
        // returned came too late: the export thread could already be converting the first photo.
        mPlugin->cancelExport();
    } else {
        mHost->cancel();
        mCancel->setEnabled(false);
        mStatus->setText(QStringLiteral("Closing after the photo under way…"));
    }
}
