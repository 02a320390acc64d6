// Shell services: the special folders and their environment, desktop entries written, validated by
// desktop-file-validate and read back, and processes started and waited for.
#include "platform_fixture.h"
#include "uNbExceptions.h"
#include "uNbShell.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

// desktop-file-validate's verdict on a file: its output, empty when it found nothing to say.
std::string Validate(const std::string& file) {
    const std::string command = "desktop-file-validate '" + file + "' 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return "cannot run desktop-file-validate";
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    const int status = pclose(p);
    if (status != 0 && out.empty()) out = "desktop-file-validate failed";
    return out;
}

std::string ExecLine(const std::string& text) {
    const size_t at = text.find("\nExec=");
    return at == std::string::npos ? std::string() : text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

}  // namespace

using ShellTest = PlatformTest;

TEST_F(ShellTest, SpecialFoldersFollowTheEnvironment) {
    setenv("XDG_CACHE_HOME", (root + "/cache/").c_str(), 1);
    setenv("TOLVAN_PROGRAM_FILES_DIR", (root + "/opt").c_str(), 1);
    setenv("TOLVAN_COMMON_PROGRAMS_DIR", (root + "/apps").c_str(), 1);
    EXPECT_EQ(NbGetSpecialFolder(CSIDL_PROGRAMS), root + "/data/applications");
    EXPECT_EQ(NbGetSpecialFolder(CSIDL_COMMON_PROGRAMS), root + "/apps");
    EXPECT_EQ(NbGetSpecialFolder(CSIDL_PROGRAM_FILES), root + "/opt");
    EXPECT_EQ(NbGetSpecialFolder(CSIDL_LOCAL_APPDATA), root + "/data");
    EXPECT_EQ(NbGetSpecialFolder(CSIDL_INTERNET_CACHE), root + "/cache");
    EXPECT_EQ(NbGetSpecialFolder(5), "");
    EXPECT_EQ(NbIconFolderFor(root + "/apps"), root + "/icons/hicolor/scalable/apps");

    // Without the overrides: the system folders, and ~/.cache under the home folder.
    unsetenv("TOLVAN_PROGRAM_FILES_DIR");
    unsetenv("TOLVAN_COMMON_PROGRAMS_DIR");
    unsetenv("XDG_CACHE_HOME");
    const char* home = getenv("HOME");
    EXPECT_EQ(NbGetSpecialFolder(CSIDL_PROGRAM_FILES), "/opt");
    EXPECT_EQ(NbGetSpecialFolder(CSIDL_COMMON_PROGRAMS), "/usr/share/applications");
    EXPECT_EQ(NbGetSpecialFolder(CSIDL_INTERNET_CACHE), std::string(home ? home : "") + "/.cache");
}

TEST_F(ShellTest, ShortcutsValidateAndGiveBackTheirTarget) {
    struct Case {
        std::string target, exec;
    };
    const Case cases[] = {
        {"/opt/tolvan/tolvan", "Exec=/opt/tolvan/tolvan"},
        {"/opt/Merivane Tolvan/Tolvan", "Exec=\"/opt/Merivane Tolvan/Tolvan\""},
        {"/tmp/100%/x", "Exec=/tmp/100%%/x"},
        {"/tmp/a\"b$c`d", "Exec=\"/tmp/a\\\\\"b\\\\$c\\\\`d\""},
        {"/tmp/back\\slash", "Exec=\"/tmp/back\\\\\\\\slash\""},
        {"/tmp/it's (new) & ~;*?#|<>", "Exec=\"/tmp/it's (new) & ~;*?#|<>\""},
        {"/tmp/tab\tand\nline", "Exec=\"/tmp/tab\\tand\\nline\""},
    };
    const std::string file = root + "/Merivane Tolvan.desktop";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        NbCreateShortcut(file, {"Tolvan", c.target, "/work dir", "tolvan", "Merivane Tolvan"});
        const std::string text = ReadFile(file);
        EXPECT_EQ(ExecLine(text), c.exec);
        EXPECT_NE(text.find("\nIcon=tolvan\n"), std::string::npos);
        EXPECT_NE(text.find("\nCategories=Development;Database;\n"), std::string::npos);
        EXPECT_NE(text.find("\nTerminal=false\n"), std::string::npos);
        EXPECT_EQ(Validate(file), "");
        std::string lower = c.target;
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(NbReadShortcutTarget(file), lower);
    }
}

TEST_F(ShellTest, UnreadableShortcutsHaveNoTarget) {
    const std::string file = root + "/x.desktop";
    EXPECT_EQ(NbReadShortcutTarget(root + "/missing.desktop"), "");
    WriteFile(file, "[Desktop Entry]\nExec=\"/opt/unterminated\n");
    EXPECT_EQ(NbReadShortcutTarget(file), "");
    // Only the main group's Exec= counts, and keys that merely begin with "Exec" do not.
    WriteFile(file, "[Desktop Action new]\nExec=/bin/other\n[Desktop Entry]\nExecutable=/bin/no\nExec = /opt/App --flag\n");
    EXPECT_EQ(NbReadShortcutTarget(file), "/opt/app");
    // A bare program name is the program $PATH finds, as the launcher would start it.
    WriteFile(root + "/bin/Tolvan", "#!/bin/sh\n");
    std::filesystem::permissions(root + "/bin/Tolvan", std::filesystem::perms::owner_all);
    const std::string savedPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", ("relative:" + root + "/none:" + root + "/bin").c_str(), 1);
    WriteFile(file, "[Desktop Entry]\nExec=Tolvan\n");
    const std::string found = NbReadShortcutTarget(file);
    setenv("PATH", savedPath.c_str(), 1);
    std::string expected = root + "/bin/tolvan";
    for (char& ch : expected) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(found, expected);
    EXPECT_THROW(NbCreateShortcut(root + "/no/such/folder/x.desktop", {"T", "/bin/true", "", "", ""}), EInOutError);
}

TEST_F(ShellTest, StartedProcessesRunOnTheirOwnAndAreWaitedFor) {
    const int pid = NbStartProcess({"/bin/sh", "-c", "sleep 0.3; exit 7"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(getsid(pid), pid);  // a session of its own
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);  // still running
    NbWaitForProcess(pid);
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), pid);  // the wait ended only once it had ended
    EXPECT_EQ(WEXITSTATUS(status), 7);

    EXPECT_EQ(NbStartProcess({root + "/no-such-program"}), 0);
    EXPECT_EQ(NbStartProcess({}), 0);
    NbWaitForProcess(0);
    NbWaitForProcess(pid);  // gone: no wait
}
