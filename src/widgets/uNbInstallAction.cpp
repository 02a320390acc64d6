#include "uNbInstallAction.h"

#include "uNbAppInfo.h"
#include "uNbExceptionReporter.h"
#include "uNbExceptions.h"
#include "uNbFolders.h"
#include "uNbFormat.h"
#include "uNbHttp.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

std::vector<TNbInstallAction*>& Actions() {
    static std::vector<TNbInstallAction*> list;
    return list;
}

std::optional<QString>& SavedCaption() {
    static std::optional<QString> saved;
    return saved;
}

// Install: an arrow down into a tray. Upgrade: a circular arrow.
QIcon DrawImage(int index) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    if (index == 0) {
        p.setPen(QPen(QColor(0x2e, 0x7d, 0x32), 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(16, 4, 16, 19);
        p.drawPolyline(QPolygonF({QPointF(9, 13), QPointF(16, 20), QPointF(23, 13)}));
        p.setPen(QPen(QColor(0x45, 0x5a, 0x64), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(5, 20), QPointF(5, 27), QPointF(27, 27), QPointF(27, 20)}));
    } else if (index == 2) {
        p.setPen(QPen(QColor(0xef, 0x6c, 0x00), 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawArc(QRectF(6, 6, 20, 20), 60 * 16, 280 * 16);
        p.setBrush(QColor(0xef, 0x6c, 0x00));
        QPainterPath head;
        head.moveTo(17, 2);
        head.lineTo(25, 8);
        head.lineTo(16, 12);
        head.closeSubpath();
        p.drawPath(head);
    }
    p.end();
    return QIcon(pm);
}

TNbInstallerData* SharedData() {
    static TNbInstallerData* data = [] {
        auto* d = new TNbInstallerData;
        d->setParent(QCoreApplication::instance());
        return d;
    }();
    return data;
}

// Runs the given step when leaving the scope, also when it is left by an exception.
template <class F>
struct TFinally {
    F f;
    ~TFinally() { f(); }
};
template <class F>
TFinally(F) -> TFinally<F>;

}  // namespace

TNbInstallerData::TNbInstallerData(QObject* owner) : QObject(owner) {
    for (int i = 0; i < 3; ++i) Images.push_back(DrawImage(i));
}

TNbInstaller::TNbInstaller(QObject* owner) : QObject(owner), Data(new TNbInstallerData(this)) {}

TNbInstallAction::TNbInstallAction(QObject* owner) : QAction(owner), http_(new TNbHttp(this)) {
    setObjectName(QStringLiteral("NbInstallAction"));
    setText(QStringLiteral("You should call NbCheckInstaller"));
    downloadPath_ = NbDownloadPath(NbAppExePath());
    Actions().push_back(this);
    connect(this, &QAction::triggered, this, [this] { Execute(); });
}

TNbInstallAction::~TNbInstallAction() {
    auto& list = Actions();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void TNbInstallAction::SetImage(int index) {
    ImageIndex = index;
    auto* installer = qobject_cast<TNbInstaller*>(parent());
    const TNbInstallerData* data = installer ? installer->Data : SharedData();
    setIcon(index >= 0 && index < static_cast<int>(data->Images.size()) ? data->Images[static_cast<size_t>(index)] : QIcon());
}

void TNbInstallAction::SetState(TNbInstallState state) {
    state_ = state;
    const QString version = Q(info_.Version);
    QString caption, hint;
    switch (state) {
    case TNbInstallState::Install:
        caption = QStringLiteral("&Install in Start Menu");
        hint = QStringLiteral("Install %1 on this computer and add it to the start menu.").arg(Q(NbAppShortName()));
        break;
    case TNbInstallState::Available:
        caption = QStringLiteral("New Version %1 is Available!").arg(version);
        hint = QStringLiteral("A new version is available!  Click here to download it automatically.");
        break;
    case TNbInstallState::Downloading:
        caption = QStringLiteral("Downloading...");
        hint = QStringLiteral("Downloading version %1 automatically in the background.").arg(version);
        break;
    case TNbInstallState::Ready:
        caption = QStringLiteral("Start Upgrade...");
        hint = QStringLiteral("Version %1 has been downloaded!  Click here to try it out.").arg(version);
        break;
    case TNbInstallState::Hidden:
        setVisible(false);
        return;
    }
    setText(caption);
    setToolTip(hint);
    setStatusTip(hint);
    SetImage(state == TNbInstallState::Install ? 0 : 2);
    setEnabled(state != TNbInstallState::Downloading);
    setVisible(true);
}

void TNbInstallAction::Refresh() {
    if (!checked_) {
        checked_ = true;
        if (!UpgradeUrl.isEmpty()) StartVersionCheck();
    }
    localDigest_ = NbFileDigest(downloadPath_);
    localSha256_ = info_.Sha256.empty() ? std::string() : NbFileDigest(downloadPath_, true);
    setEnabled(true);
    TNbInstallState state = NbDecideInstallState(NbIsInstalled(), NbAppVersion(), info_, localDigest_, localSha256_, AutoDownload);
    if (state == TNbInstallState::Downloading) {
        if (downloading_) {  // the running download reports when it is done
            setEnabled(false);
            return;
        }
        if (autoDownloads_ >= kAutoDownloads) state = TNbInstallState::Available;
    }
    SetState(state);
    if (state == TNbInstallState::Downloading) {
        ++autoDownloads_;
        StartDownload();
    }
}

void TNbInstallAction::Execute() {
    switch (state_) {
    case TNbInstallState::Install:
        NbInstall();
        NbCheckInstaller();
        break;
    case TNbInstallState::Available:
        SetState(TNbInstallState::Downloading);
        StartDownload();
        break;
    case TNbInstallState::Ready:
        StartUpgrade();
        break;
    default:
        break;
    }
}

void TNbInstallAction::StartVersionCheck() {
    const QString url = UpgradeUrl + Q(NbAppVersion());
    if (!NbUpgradeUrlAllowed(url.toStdString())) return;  // never ask over an unprotected channel
    http_->OnDone = [this](TNbHttp*) { VersionCheckDone(); };
    http_->Get(url);
}

void TNbInstallAction::VersionCheckDone() {
    const TNbHttpResponse& r = http_->Response();
    info_.Version = r.Header(QStringLiteral("Tv-Version")).toStdString();
    info_.Url = r.Header(QStringLiteral("Tv-URL")).toStdString();
    info_.Sha1 = r.Header(QStringLiteral("Tv-SHA1")).toStdString();
    info_.Sha256 = r.Header(QStringLiteral("Tv-SHA256")).toStdString();
    // A build announced at an address that is not protected is not fetched.
    if (!info_.Url.empty() && !NbUpgradeUrlAllowed(info_.Url)) info_.Url.clear();
    NbCheckInstaller();
}

void TNbInstallAction::StartDownload() {
    setEnabled(false);
    downloading_ = true;
    http_->OnDone = [this](TNbHttp*) { DownloadDone(); };
    http_->Get(Q(info_.Url), std::make_unique<QByteArray>());
}

// The build is written under a temporary name and takes the download path, executable, only when
// its digests are the announced ones.
void TNbInstallAction::DownloadDone() {
    downloading_ = false;
    TFinally refresh{[] { NbCheckInstaller(); }};
    const int status = http_->Response().StatusCode;
    if (status != 200) throw EInOutError(NbFormat("HTTP error code %d downloading \"%s\"", status, UpgradeUrl.toStdString()));
    const std::string part = downloadPath_ + ".part";
    NbForceFolders(downloadPath_.substr(0, downloadPath_.rfind('/')), 0700);
    QFile out(Q(part));
    const QByteArray* body = http_->ResponseStream();
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || !body || out.write(*body) != body->size() || !out.flush()) {
        out.close();
        unlink(part.c_str());
        throw EInOutError(NbFormat("Cannot write %s", part));
    }
    out.close();
    const bool matches = NbFileDigest(part) == info_.Sha1 && (info_.Sha256.empty() || NbFileDigest(part, true) == info_.Sha256);
    if (!matches || chmod(part.c_str(), 0755) != 0 || rename(part.c_str(), downloadPath_.c_str()) != 0) unlink(part.c_str());
}

void TNbInstallAction::StartUpgrade() {
    try {
        const QString question =
            QStringLiteral("The new version of %1 is ready to try. \r\nExit this program and start the new one?").arg(Q(NbAppShortName()));
        if (!NbInstallerUi().Confirm(question.toStdString(), true)) return;
        NbInstallerUi().StartProcess({downloadPath_});
        QCoreApplication::exit(0);
    } catch (...) {
        NbCheckInstaller();
        throw;
    }
}

const std::vector<TNbInstallAction*>& NbInstallActions() { return Actions(); }

void NbCheckInstaller() {
    // A refresh may start requests but never creates or frees actions; a copy keeps the walk safe anyway.
    const std::vector<TNbInstallAction*> list = Actions();
    for (TNbInstallAction* a : list) a->Refresh();
}

void NbInstallerUseWidgets() {
    TNbInstallerUi& ui = NbInstallerUi();
    ui.Confirm = [](const std::string& text, bool yesIsDefault) {
        QWidget* owner = QApplication::activeWindow();
        return QMessageBox::question(owner, Q(NbAppShortName()), Q(text), QMessageBox::Yes | QMessageBox::No,
                                     yesIsDefault ? QMessageBox::Yes : QMessageBox::No) == QMessageBox::Yes;
    };
    ui.Progress = [](const std::string& caption) {
        const auto& list = Actions();
        if (!SavedCaption() && !list.empty()) SavedCaption() = list.front()->text();
        for (TNbInstallAction* a : list) {
            a->setText(Q(caption));
            a->setVisible(true);
        }
        QCoreApplication::processEvents();
    };
    ui.Restore = [] {
        if (!SavedCaption()) return;
        for (TNbInstallAction* a : Actions()) a->setText(*SavedCaption());
        SavedCaption().reset();
    };
    ui.Sleep = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };
    ui.ReportError = [](const std::exception& e) { NbReportException(NbAppExePath(), NbAppName(), NbAppVersion(), e); };
}
