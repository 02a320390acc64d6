// The install action in a temporary machine: the install state and its execution, and the upgrade
// states against a loopback HTTP server that announces a build with a right or a wrong digest.
#include "HttpTestServer.h"
#include "uNbAppInfo.h"
#include "uNbInstallAction.h"
#include "uNbShell.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <memory>

namespace {
struct TExitCalled {};
}  // namespace

class TestInstaller : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void installStateInstallsAndHides();
    void downloadsAndBecomesReady();
    void wrongDigestNeverBecomesReady();
    void availableDownloadsOnlyWhenAsked();
    void sameVersionOrLeftoverBuild();
    void readyAsksBeforeStarting();

private:
    void MakeInstalled();
    void Announce(const QByteArray& build, const QByteArray& sha1, const QByteArray& version = "0.6.0", const QByteArray& extra = {},
                  int buildStatus = 200);
    std::unique_ptr<TNbInstallAction> NewAction(bool autoDownload);
    int Requests(const QByteArray& path) const;

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<THttpTestServer> server_;
    std::string savedExe_;
    TNbInstallerUi savedUi_;
    bool answer_ = true;
    QStringList questions_;
    std::vector<std::vector<std::string>> started_;
};

void TestInstaller::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    const QByteArray root = dir_->path().toUtf8();
    qputenv("XDG_DATA_HOME", root + "/data");
    qputenv("XDG_CACHE_HOME", root + "/cache");
    qputenv("TOLVAN_PROGRAM_FILES_DIR", root + "/opt");
    qputenv("TOLVAN_COMMON_PROGRAMS_DIR", root + "/usr/share/applications");
    qputenv("TOLVAN_SYSTEM_CONFIG_DIR", root + "/etc");
    server_ = std::make_unique<THttpTestServer>();
    NbAppName() = "Merivane Tolvan";
    NbAppShortName() = "Tolvan";
    NbAppVersion() = "0.5.3";
    savedExe_ = NbAppExePath();
    NbAppExePath() = QCoreApplication::applicationFilePath().toStdString();
    savedUi_ = NbInstallerUi();
    NbInstallerReset();
    NbInstallerStartup({}, {}, {});
    NbInstallerUseWidgets();
    questions_.clear();
    started_.clear();
    NbInstallerUi().Confirm = [this](const std::string& text, bool) {
        questions_ << QString::fromStdString(text);
        return answer_;
    };
    NbInstallerUi().Sleep = [](int) {};
    NbInstallerUi().StartProcess = [this](const std::vector<std::string>& argv) {
        started_.push_back(argv);
        return 0;
    };
}

void TestInstaller::cleanup() {
    NbAppExePath() = savedExe_;
    NbInstallerUi() = savedUi_;
    server_.reset();
    dir_.reset();
}

void TestInstaller::MakeInstalled() {
    const std::string folder = NbGetSpecialFolder(CSIDL_PROGRAMS);
    std::filesystem::create_directories(folder);
    NbCreateShortcut(NbShortcutFileName(CSIDL_PROGRAMS), {"Tolvan", NbAppExePath(), "", "tolvan", ""});
}

void TestInstaller::Announce(const QByteArray& build, const QByteArray& sha1, const QByteArray& version, const QByteArray& extra,
                             int buildStatus) {
    server_->Answer("/version/", 200, "ignored",
                    "Tv-Version: " + version + "\r\nTv-URL: " + server_->Url(QStringLiteral("/build")).toUtf8() + "\r\nTv-SHA1: " + sha1 +
                        "\r\n" + extra);
    server_->Answer("/build", buildStatus, build);
}

std::unique_ptr<TNbInstallAction> TestInstaller::NewAction(bool autoDownload) {
    auto a = std::make_unique<TNbInstallAction>(nullptr);
    a->UpgradeUrl = server_->Url(QStringLiteral("/version/?Version="));
    a->AutoDownload = autoDownload;
    return a;
}

int TestInstaller::Requests(const QByteArray& path) const {
    int n = 0;
    for (const THttpTestRequest& r : server_->requests) n += r.target.startsWith(path) ? 1 : 0;
    return n;
}

void TestInstaller::installStateInstallsAndHides() {
    // The program to install: a copy of a small executable.
    const std::string program = dir_->path().toStdString() + "/build/tolvan";
    std::filesystem::create_directories(dir_->path().toStdString() + "/build");
    std::filesystem::copy_file("/bin/true", program);
    NbAppExePath() = program;
    TNbInstallAction action(nullptr);
    QCOMPARE(action.text(), QStringLiteral("You should call NbCheckInstaller"));
    NbCheckInstaller();
    QCOMPARE(action.State(), TNbInstallState::Install);
    QCOMPARE(action.text(), QStringLiteral("&Install in Start Menu"));
    QCOMPARE(action.toolTip(), QStringLiteral("Install Tolvan on this computer and add it to the start menu."));
    QCOMPARE(action.ImageIndex, 0);
    QVERIFY(action.isVisible() && action.isEnabled());

    QStringList seen;
    const auto progress = NbInstallerUi().Progress;
    NbInstallerUi().Progress = [&](const std::string& caption) {
        progress(caption);
        seen << action.text();
    };
    action.trigger();
    QCOMPARE(seen, QStringList({QStringLiteral("Installing..."), QStringLiteral("Done!")}));
    const std::string copy = dir_->path().toStdString() + "/opt/Merivane Tolvan/tolvan";
    QCOMPARE(NbAppExePath(), copy);
    QVERIFY(!action.isVisible());  // installed and nothing newer announced
    QCOMPARE(action.text(), QStringLiteral("&Install in Start Menu"));
    // The program's icon beside the menu entry.
    QVERIFY(QFile::exists(dir_->path() + QStringLiteral("/usr/share/icons/hicolor/scalable/apps/tolvan.svg")));
    QCOMPARE(QString::fromStdString(NbReadShortcutTarget(NbShortcutFileName(CSIDL_COMMON_PROGRAMS))),
             QString::fromStdString(copy).toLower());
}

void TestInstaller::downloadsAndBecomesReady() {
    MakeInstalled();
    const QByteArray build = "#!/bin/sh\necho new build\n";
    const QByteArray sha256 = QCryptographicHash::hash(build, QCryptographicHash::Sha256).toHex();
    Announce(build, QCryptographicHash::hash(build, QCryptographicHash::Sha1).toHex(), "0.6.0", "Tv-SHA256: " + sha256 + "\r\n");
    auto action = NewAction(true);
    NbCheckInstaller();
    QVERIFY(!action->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(action->State(), TNbInstallState::Ready, 10000);
    QCOMPARE(server_->requests.value(0).target, QByteArray("/version/?Version=0.5.3"));
    QCOMPARE(Requests("/build"), 1);
    QCOMPARE(action->text(), QStringLiteral("Start Upgrade..."));
    QCOMPARE(action->toolTip(), QStringLiteral("Version 0.6.0 has been downloaded!  Click here to try it out."));
    QCOMPARE(action->ImageIndex, 2);
    QVERIFY(action->isVisible() && action->isEnabled());
    QFile file(QString::fromStdString(action->DownloadPath()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), build);
    QVERIFY(file.permissions() & QFileDevice::ExeOwner);
    QVERIFY(!QFile::exists(QString::fromStdString(action->DownloadPath() + ".part")));
}

void TestInstaller::wrongDigestNeverBecomesReady() {
    MakeInstalled();
    const QByteArray build = "#!/bin/sh\necho tampered\n";
    struct Case {
        QByteArray sha1, extra;
        int status;
    };
    // A wrong SHA-1; a right SHA-1 with a wrong SHA-256; the right SHA-1 in upper case; the right
    // digest but the build answered with a success status other than 200.
    const QByteArray right = QCryptographicHash::hash(build, QCryptographicHash::Sha1).toHex();
    const Case cases[] = {{QByteArray(40, 'f'), {}, 200},
                          {right, "Tv-SHA256: " + QByteArray(64, '0') + "\r\n", 200},
                          {right.toUpper(), {}, 200},
                          {right, {}, 203}};
    for (const Case& c : cases) {
        server_ = std::make_unique<THttpTestServer>();
        Announce(build, c.sha1, "0.6.0", c.extra, c.status);
        auto action = NewAction(true);
        NbCheckInstaller();
        // Each refresh downloads again, up to the limit; then the action offers the download.
        QTRY_COMPARE_WITH_TIMEOUT(action->State(), TNbInstallState::Available, 10000);
        QCOMPARE(Requests("/build"), TNbInstallAction::kAutoDownloads);
        QCOMPARE(action->text(), QStringLiteral("New Version 0.6.0 is Available!"));
        QVERIFY(!QFile::exists(QString::fromStdString(action->DownloadPath())));
        QVERIFY(!QFile::exists(QString::fromStdString(action->DownloadPath() + ".part")));
    }
}

void TestInstaller::availableDownloadsOnlyWhenAsked() {
    MakeInstalled();
    const QByteArray build = "#!/bin/sh\necho asked for\n";
    Announce(build, QCryptographicHash::hash(build, QCryptographicHash::Sha1).toHex());
    auto action = NewAction(false);
    NbCheckInstaller();
    QTRY_COMPARE_WITH_TIMEOUT(action->State(), TNbInstallState::Available, 10000);
    QCOMPARE(action->toolTip(), QStringLiteral("A new version is available!  Click here to download it automatically."));
    QVERIFY(action->isEnabled());
    QTest::qWait(100);
    QCOMPARE(Requests("/build"), 0);
    action->trigger();
    QCOMPARE(action->State(), TNbInstallState::Downloading);
    QCOMPARE(action->text(), QStringLiteral("Downloading..."));
    QCOMPARE(action->toolTip(), QStringLiteral("Downloading version 0.6.0 automatically in the background."));
    QVERIFY(!action->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(action->State(), TNbInstallState::Ready, 10000);
    QCOMPARE(Requests("/build"), 1);
}

void TestInstaller::sameVersionOrLeftoverBuild() {
    MakeInstalled();
    const QByteArray build = "#!/bin/sh\necho left over\n";
    const QByteArray sha1 = QCryptographicHash::hash(build, QCryptographicHash::Sha1).toHex();
    {
        Announce(build, sha1, "0.5.3");
        auto action = NewAction(true);
        NbCheckInstaller();
        QTRY_COMPARE_WITH_TIMEOUT(server_->requests.size(), 1, 10000);
        QTest::qWait(200);
        QVERIFY(!action->isVisible());
        QCOMPARE(Requests("/build"), 0);
    }
    // A build announced over plain HTTP to another host is not fetched.
    {
        server_ = std::make_unique<THttpTestServer>();
        server_->Answer("/version/", 200, {}, "Tv-Version: 0.6.0\r\nTv-URL: http://builds.example.com/tolvan\r\nTv-SHA1: " + sha1 + "\r\n");
        auto action = NewAction(true);
        NbCheckInstaller();
        QTRY_COMPARE_WITH_TIMEOUT(action->Upgrade().Version, std::string("0.6.0"), 10000);
        QVERIFY(!action->isVisible());
        QCOMPARE(action->Upgrade().Url, std::string());
    }
    // A build left at the download path by an earlier run is ready without a download.
    server_ = std::make_unique<THttpTestServer>();
    Announce(build, sha1);
    auto action = NewAction(true);
    std::filesystem::create_directories(std::filesystem::path(action->DownloadPath()).parent_path());
    QFile left(QString::fromStdString(action->DownloadPath()));
    QVERIFY(left.open(QIODevice::WriteOnly));
    left.write(build);
    left.close();
    NbCheckInstaller();
    QTRY_COMPARE_WITH_TIMEOUT(action->State(), TNbInstallState::Ready, 10000);
    QCOMPARE(Requests("/build"), 0);
}

void TestInstaller::readyAsksBeforeStarting() {
    MakeInstalled();
    const QByteArray build = "#!/bin/sh\necho ready\n";
    Announce(build, QCryptographicHash::hash(build, QCryptographicHash::Sha1).toHex());
    auto action = NewAction(true);
    NbCheckInstaller();
    QTRY_COMPARE_WITH_TIMEOUT(action->State(), TNbInstallState::Ready, 10000);
    answer_ = false;
    action->trigger();
    QCOMPARE(questions_,
             QStringList({QStringLiteral("The new version of Tolvan is ready to try. \r\nExit this program and start the new one?")}));
    QVERIFY(started_.empty());
    QCOMPARE(action->State(), TNbInstallState::Ready);
    answer_ = true;
    action->trigger();
    QCOMPARE(started_, (std::vector<std::vector<std::string>>{{action->DownloadPath()}}));
}

QTEST_MAIN(TestInstaller)
#include "test_installer.moc"
