// The installer's window side: the toolbar action that installs the program and later carries the
// upgrade states (available, downloading, ready), its container with the action images, the
// refresh of every such action, and the installer's questions and captions as dialogs and actions.
#pragma once

#include "uNbInstaller.h"

#include <QAction>
#include <QIcon>
#include <QObject>

#include <memory>
#include <vector>

class QByteArray;
class TNbHttp;

// The image list of the install actions: 0 install, 2 the upgrade states.
class TNbInstallerData : public QObject {
    Q_OBJECT
public:
    explicit TNbInstallerData(QObject* owner = nullptr);
    std::vector<QIcon> Images;
};

// The action container of the main window: it owns the images its install actions show.
class TNbInstaller : public QObject {
    Q_OBJECT
public:
    explicit TNbInstaller(QObject* owner = nullptr);
    TNbInstallerData* Data;
};

class TNbInstallAction : public QAction {
    Q_OBJECT
public:
    explicit TNbInstallAction(QObject* owner);
    ~TNbInstallAction() override;

    // The version-check URL; the version text is appended. Empty: no check.
    QString UpgradeUrl;
    bool AutoDownload = true;
    int ImageIndex = -1;

    TNbInstallState State() const { return state_; }
    const std::string& DownloadPath() const { return downloadPath_; }
    const TNbUpgradeInfo& Upgrade() const { return info_; }
    TNbHttp* Http() const { return http_; }

    // One refresh of this action (NbCheckInstaller runs it for every action).
    void Refresh();
    void Execute();

    // A new download is started by a refresh at most this many times per program run; after that
    // the action offers the download instead.
    static constexpr int kAutoDownloads = 3;

private:
    void SetState(TNbInstallState state);
    void SetImage(int index);
    void StartVersionCheck();
    void VersionCheckDone();
    void StartDownload();
    void DownloadDone();
    void StartUpgrade();

    TNbHttp* http_;
    std::string downloadPath_;
    bool checked_ = false;
    bool downloading_ = false;
    int autoDownloads_ = 0;
    TNbUpgradeInfo info_;
    std::string localDigest_, localSha256_;
    TNbInstallState state_ = TNbInstallState::Hidden;
};

// Every live install action, oldest first.
const std::vector<TNbInstallAction*>& NbInstallActions();
// Brings every install action up to date: install state, hidden, or an upgrade state.
void NbCheckInstaller();
// Routes the installer's questions, captions and errors to message boxes, the install actions and
// the error dialog.
void NbInstallerUseWidgets();
