// The installer without windows: start-up switches, install with its fallbacks, the installed test,
// uninstall, delete all, and the pieces of the upgrade check.
#include "installer_fixture.h"
#include "uNbRegistry.h"

#include <signal.h>
#include <unistd.h>

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

TEST_F(InstallerTest, InstallsIntoProgramFilesWithShortcutAndUninstallEntry) {
    int hooked = 0;
    ASSERT_EQ(Startup({}, [&] { ++hooked; }), std::nullopt);
    EXPECT_FALSE(NbIsInstalled());
    NbInstall();

    const std::string copy = InstallFolder() + "/tolvan";
    EXPECT_EQ(NbAppExePath(), copy);
    EXPECT_TRUE(IsExecutable(copy));
    EXPECT_EQ(ReadFile(copy), ReadFile(program));
    EXPECT_TRUE(std::filesystem::is_regular_file(InstallFolder() + "/" + kNbInstallMarker));
    EXPECT_EQ(NbReadShortcutTarget(CommonShortcut()), Lower(copy));
    EXPECT_FALSE(std::filesystem::exists(UserShortcut()));
    EXPECT_EQ(std::system(("desktop-file-validate '" + CommonShortcut() + "'").c_str()), 0);
    EXPECT_TRUE(NbIsInstalled());
    EXPECT_EQ(hooked, 1);
    EXPECT_EQ(captions, (std::vector<std::string>{"Installing...", "Done!", "(restored)"}));

    TNbRegistry reg(TNbRegistryRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKeyReadOnly(NbUninstallKey()));
    EXPECT_EQ(reg.ReadString("DisplayName"), "Merivane Tolvan");
    EXPECT_EQ(reg.ReadString("DisplayIcon"), copy + ",0");
    EXPECT_EQ(reg.ReadString("Publisher"), "Merivane");
    EXPECT_EQ(reg.ReadString("InstallLocation"), InstallFolder());
    EXPECT_EQ(reg.ReadString("UninstallString"), copy + " /UNINSTALL");
    EXPECT_FALSE(reg.ReadString("HelpLink").empty());
    EXPECT_TRUE(std::filesystem::exists(UninstallEntry()));
}

TEST_F(InstallerTest, FallsBackToTheUsersFoldersAndGoesOnWithoutUninstallEntry) {
    setenv("TOLVAN_PROGRAM_FILES_DIR", Unwritable("opt").c_str(), 1);
    setenv("TOLVAN_COMMON_PROGRAMS_DIR", Unwritable("applications").c_str(), 1);
    setenv("TOLVAN_SYSTEM_CONFIG_DIR", Unwritable("etc").c_str(), 1);
    ASSERT_EQ(Startup({}), std::nullopt);
    NbInstall();

    const std::string copy = root + "/data/Merivane Tolvan/tolvan";
    EXPECT_EQ(NbAppExePath(), copy);
    EXPECT_TRUE(IsExecutable(copy));
    EXPECT_EQ(NbReadShortcutTarget(UserShortcut()), Lower(copy));
    EXPECT_TRUE(NbIsInstalled());
    EXPECT_EQ(captions, (std::vector<std::string>{"Installing...", "Done!", "(restored)"}));
}

TEST_F(InstallerTest, FailureInBothFoldersRestoresTheCaptionAndPropagates) {
    setenv("TOLVAN_PROGRAM_FILES_DIR", Unwritable("opt").c_str(), 1);
    setenv("XDG_DATA_HOME", Unwritable("data").c_str(), 1);
    ASSERT_EQ(Startup({}), std::nullopt);
    EXPECT_THROW(NbInstall(), EInOutError);
    EXPECT_EQ(NbAppExePath(), program);
    EXPECT_EQ(captions, (std::vector<std::string>{"Installing...", "(restored)"}));
    EXPECT_FALSE(std::filesystem::exists(CommonShortcut()));
}

TEST_F(InstallerTest, ARunningInstalledCopyGetsTheSuffixTwo) {
    ASSERT_EQ(Startup({}), std::nullopt);
    NbInstall();
    const std::string first = NbAppExePath();
    const int running = NbStartProcess({first, "30"});  // holds its program file
    ASSERT_GT(running, 0);
    NbAppExePath() = program;
    NbInstall();
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);

    EXPECT_EQ(NbAppExePath(), InstallFolder() + "/tolvan2");
    EXPECT_TRUE(IsExecutable(NbAppExePath()));
    EXPECT_EQ(NbReadShortcutTarget(CommonShortcut()), Lower(NbAppExePath()));
}

TEST_F(InstallerTest, InstallBeforeStartupFailsItsAssertion) {
    try {
        NbInstall();
        FAIL() << "no assertion";
    } catch (const EAssertionFailed& e) {
        EXPECT_STREQ(e.what(),
                     "You must call NbInstallerStartup before creating any NbInstaller components. (NbUtils/uNbInstaller, line 380)");
    }
}

TEST_F(InstallerTest, InstalledTestIgnoresLetterCaseAndLooksInBothMenus) {
    NbAppExePath() = "/opt/Merivane Tolvan/tolvan";
    EXPECT_FALSE(NbIsInstalled());
    std::filesystem::create_directories(root + "/data/applications");
    NbCreateShortcut(UserShortcut(), {"Tolvan", "/OPT/merivane tolvan/Tolvan", "", "", ""});
    EXPECT_TRUE(NbIsInstalled());
    // An all-users entry pointing elsewhere does not hide the user's own.
    std::filesystem::create_directories(root + "/usr/share/applications");
    NbCreateShortcut(CommonShortcut(), {"Tolvan", "/usr/bin/tolvan", "", "", ""});
    EXPECT_TRUE(NbIsInstalled());
    NbAppExePath() = "/opt/Merivane Tolvan/tolvan2";
    EXPECT_FALSE(NbIsInstalled());
}

TEST_F(InstallerTest, UninstallRemovesEntriesAndStartsTheNextFreeCopy) {
    ASSERT_EQ(Startup({}), std::nullopt);
    NbInstall();
    captions.clear();
    // Copies 1 and 2 cannot be deleted.
    std::filesystem::create_directories(root + "/cache/tv-uninstall-1/held");
    std::filesystem::create_directories(root + "/cache/tv-uninstall-2/held");
    int hooked = 0;
    EXPECT_EQ(Startup({"/UNINSTALL"}, {}, [&] { ++hooked; }), 0);

    EXPECT_EQ(questions, (std::vector<std::string>{"Uninstall Merivane Tolvan from this computer?"}));
    EXPECT_EQ(yesDefaults, (std::vector<bool>{false}));
    EXPECT_EQ(hooked, 1);
    EXPECT_FALSE(std::filesystem::exists(CommonShortcut()));
    EXPECT_FALSE(std::filesystem::exists(UninstallEntry()));
    const std::string copy = root + "/cache/tv-uninstall-3";
    EXPECT_TRUE(IsExecutable(copy));
    EXPECT_EQ(ReadFile(copy), ReadFile(program));
    EXPECT_EQ(started, (std::vector<std::vector<std::string>>{{copy, "/DELETEALL", "/WAIT:" + std::to_string(getpid())}}));
    EXPECT_EQ(captions, (std::vector<std::string>{"Uninstalling...", "Uninstall complete!", "(restored)"}));
    EXPECT_TRUE(std::filesystem::exists(InstallFolder() + "/tolvan"));  // the folder is the copy's work
}

TEST_F(InstallerTest, UninstallAnsweredNoChangesNothing) {
    ASSERT_EQ(Startup({}), std::nullopt);
    NbInstall();
    answer = false;
    EXPECT_EQ(Startup({"/UNINSTALL"}), 0);
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(CommonShortcut()));
    EXPECT_TRUE(std::filesystem::exists(UninstallEntry()));
    EXPECT_TRUE(started.empty());
    EXPECT_FALSE(std::filesystem::exists(root + "/cache/tv-uninstall-1"));
}

TEST_F(InstallerTest, DeleteAllWaitsThenRemovesOnlyMarkedFolders) {
    ASSERT_EQ(Startup({}), std::nullopt);
    NbInstall();
    WriteFile(InstallFolder() + "/notes.txt", "x");
    // A folder of the same name that Install did not make stays.
    WriteFile(root + "/data/Merivane Tolvan/keep.txt", "not ours");

    const int pid = NbStartProcess({"/bin/sleep", "0.3"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Startup({"/DELETEALL", "/WAIT:" + std::to_string(pid)}), 0);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), pid);  // it had ended before anything was deleted
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(std::filesystem::exists(InstallFolder()));
    EXPECT_TRUE(std::filesystem::exists(root + "/data/Merivane Tolvan/keep.txt"));

    // Sub-folders are not descended: the files go, the folder stays.
    NbAppExePath() = program;
    NbInstall();
    std::filesystem::create_directories(InstallFolder() + "/sub");
    EXPECT_EQ(Startup({"/DELETEALL"}), 0);
    EXPECT_FALSE(std::filesystem::exists(InstallFolder() + "/tolvan"));
    EXPECT_TRUE(std::filesystem::exists(InstallFolder() + "/sub"));
}

TEST_F(InstallerTest, SwitchesAreExactAndBadWaitValuesDeleteNothing) {
    ASSERT_EQ(Startup({}), std::nullopt);
    NbInstall();
    for (const char* other : {"/uninstall", "/DeleteAll", "UNINSTALL", "/UNINSTALL2"}) EXPECT_EQ(Startup({other}), std::nullopt) << other;
    EXPECT_TRUE(questions.empty());

    for (const char* wait : {"/WAIT:abc", "/WAIT:", "/WAIT:12x", "/WAIT:-5", "/WAIT:99999999999"}) {
        SCOPED_TRACE(wait);
        errors.clear();
        EXPECT_EQ(Startup({"/DELETEALL", wait}), 1);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("is not a valid integer value"), std::string::npos);
        EXPECT_TRUE(std::filesystem::exists(InstallFolder() + "/tolvan"));
    }
    // A second argument that is not a wait is not looked at.
    EXPECT_EQ(Startup({"/DELETEALL", "/NOWAIT"}), 0);
    EXPECT_FALSE(std::filesystem::exists(InstallFolder()));
}

TEST_F(InstallerTest, IdentityAtItsDefaultsIsReportedAndEnds) {
    NbAppName() = kNbDefaultAppName;
    EXPECT_EQ(Startup({}), 1);
    NbAppName() = "Merivane Tolvan";
    NbAppShortName() = kNbDefaultAppShortName;
    EXPECT_EQ(Startup({}), 1);
    EXPECT_EQ(errors,
              (std::vector<std::string>{"NbAppName must be set before NbInstaller can work. (NbUtils/uNbInstaller, line 628)",
                                        "NbAppShortName must be set before NbInstaller can work. (NbUtils/uNbInstaller, line 630)"}));
}

TEST_F(InstallerTest, DownloadPathDigestsAndUpgradeAddresses) {
    const std::string cache = root + "/cache/";
    EXPECT_EQ(NbDownloadPath("/opt/x/tolvan"), cache + "tolvan-new");
    EXPECT_EQ(NbDownloadPath("/opt/x/tolvan-new"), cache + "tolvan-new");
    EXPECT_EQ(NbDownloadPath("/opt/x/tolvan-new-new"), cache + "tolvan-new-new-new");
    EXPECT_EQ(NbDownloadPath("/opt/x/my-newt"), cache + "my-newt-new");

    EXPECT_EQ(NbFileDigest(root + "/missing"), "(file-does-not-exist)");
    WriteFile(root + "/abc", "abc");
    EXPECT_EQ(NbFileDigest(root + "/abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(NbFileDigest(root + "/abc", true), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    WriteFile(root + "/big", std::string(2500, 'a'));  // more than two read blocks
    EXPECT_EQ(NbFileDigest(root + "/big"), "9f6046f78274241a3b30fee6e04ce7e046c5165c");

    for (const char* ok : {"https://www.merivane.com/products/tolvan/version/?Version=", "http://127.0.0.1:8080/v", "http://localhost/v",
                           "http://[::1]:5/v"})
        EXPECT_TRUE(NbUpgradeUrlAllowed(ok)) << ok;
    for (const char* no :
         {"http://www.merivane.com/v", "http://127.0.0.1.example.com/v", "ftp://127.0.0.1/v", "file:///tmp/x", "", "https://"})
        EXPECT_FALSE(NbUpgradeUrlAllowed(no)) << no;
}

TEST(InstallStateDecision, FollowsTheRefreshRules) {
    using S = TNbInstallState;
    const std::string sha1 = "a9993e364706816aba3e25717850c26c9cd0d89d";
    const std::string sha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const TNbUpgradeInfo announced{"0.6.0", "https://example.com/tolvan", sha1, ""};
    struct Case {
        const char* name;
        bool installed;
        TNbUpgradeInfo info;
        std::string local, local256;
        bool autoDownload;
        S expected;
    };
    const Case cases[] = {
        {"not installed", false, announced, sha1, "", true, S::Install},
        {"no check answer", true, {}, "(file-does-not-exist)", "", true, S::Hidden},
        {"same version", true, {"0.5.3", announced.Url, sha1, ""}, "(file-does-not-exist)", "", true, S::Hidden},
        {"downloaded", true, announced, sha1, "", true, S::Ready},
        {"downloaded, no auto", true, announced, sha1, "", false, S::Ready},
        {"new, auto", true, announced, "(file-does-not-exist)", "", true, S::Downloading},
        {"new, no auto", true, announced, "(file-does-not-exist)", "", false, S::Available},
        {"upper-case digest",
         true,
         {"0.6.0", announced.Url, "A9993E364706816ABA3E25717850C26C9CD0D89D", ""},
         sha1,
         "",
         false,
         S::Available},
        {"no URL", true, {"0.6.0", "", sha1, ""}, "(file-does-not-exist)", "", true, S::Hidden},
        {"no digest", true, {"0.6.0", announced.Url, "", ""}, "(file-does-not-exist)", "", true, S::Hidden},
        {"SHA-256 matches too", true, {"0.6.0", announced.Url, sha1, sha256}, sha1, sha256, true, S::Ready},
        {"SHA-256 differs", true, {"0.6.0", announced.Url, sha1, sha256}, sha1, std::string(64, '0'), false, S::Available},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NbDecideInstallState(c.installed, "0.5.3", c.info, c.local, c.local256, c.autoDownload), c.expected) << c.name;
}
