// A temporary machine for the installer: every folder it reads or writes (program files, data,
// cache, both menu folders, machine and user settings) points into a fresh temporary folder, the
// identity is the program's, and the installer's questions, captions, processes and exit are
// recorded instead of shown or run.
#pragma once

#include "platform_fixture.h"
#include "uNbAppInfo.h"
#include "uNbInstaller.h"
#include "uNbShell.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <optional>
#include <vector>

struct TExitCalled {
    int code;
};

class InstallerTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
        setenv("TOLVAN_PROGRAM_FILES_DIR", (root + "/opt").c_str(), 1);
        setenv("TOLVAN_COMMON_PROGRAMS_DIR", (root + "/usr/share/applications").c_str(), 1);
        savedUi = NbInstallerUi();
        savedExe = NbAppExePath();
        NbAppName() = "Merivane Tolvan";
        NbAppShortName() = "Tolvan";
        NbAppVersion() = "0.5.3";
        // The program to install: a copy of sleep, so that a running copy can hold its file.
        program = root + "/build/tolvan";
        std::filesystem::create_directories(root + "/build");
        std::filesystem::copy_file("/bin/sleep", program);
        NbAppExePath() = program;
        TNbInstallerUi& ui = NbInstallerUi();
        ui.Confirm = [this](const std::string& text, bool yesIsDefault) {
            questions.push_back(text);
            yesDefaults.push_back(yesIsDefault);
            return answer;
        };
        ui.Progress = [this](const std::string& caption) { captions.push_back(caption); };
        ui.Restore = [this] { captions.push_back("(restored)"); };
        ui.Sleep = [](int) {};
        ui.ReportError = [this](const std::exception& e) { errors.push_back(e.what()); };
        ui.StartProcess = [this](const std::vector<std::string>& argv) {
            started.push_back(argv);
            return 0;
        };
        ui.Exit = [](int code) { throw TExitCalled{code}; };
        NbInstallerReset();
    }
    void TearDown() override {
        NbInstallerUi() = savedUi;
        NbAppExePath() = savedExe;
        NbInstallerReset();
        PlatformTest::TearDown();
    }

    // Runs the start-up with the given arguments; the exit code, or none for an ordinary start.
    std::optional<int> Startup(const std::vector<std::string>& args, TNbInstallerProc afterInstall = {},
                               TNbInstallerProc beforeUninstall = {}) {
        try {
            NbInstallerStartup(std::move(afterInstall), std::move(beforeUninstall), args);
        } catch (const TExitCalled& e) {
            return e.code;
        }
        return std::nullopt;
    }

    // An folder path that cannot be created: its parent is a regular file.
    std::string Unwritable(const std::string& name) {
        WriteFile(root + "/blocker", "a file, not a folder");
        return root + "/blocker/" + name;
    }

    static bool IsExecutable(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
    }

    std::string InstallFolder() const { return root + "/opt/Merivane Tolvan"; }
    std::string CommonShortcut() const { return root + "/usr/share/applications/Merivane Tolvan.desktop"; }
    std::string UserShortcut() const { return root + "/data/applications/Merivane Tolvan.desktop"; }
    std::string UninstallEntry() const { return root + "/etc/Microsoft/Windows/CurrentVersion/Uninstall/Merivane Tolvan.conf"; }

    std::string program;
    bool answer = true;
    std::vector<std::string> questions, captions, errors;
    std::vector<bool> yesDefaults;
    std::vector<std::vector<std::string>> started;

private:
    TNbInstallerUi savedUi;
    std::string savedExe;
};
