// Shell services over freedesktop conventions: the special folders the installer and updater use,
// shortcut files (desktop entries), and starting and waiting for processes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The special folders, numbered as the installer knows them.
enum TNbSpecialFolder {
    CSIDL_PROGRAMS = 2,          // $XDG_DATA_HOME/applications
    CSIDL_COMMON_PROGRAMS = 23,  // /usr/share/applications, or $TOLVAN_COMMON_PROGRAMS_DIR
    CSIDL_LOCAL_APPDATA = 28,    // $XDG_DATA_HOME (~/.local/share)
    CSIDL_INTERNET_CACHE = 32,   // $XDG_CACHE_HOME (~/.cache)
    CSIDL_PROGRAM_FILES = 38,    // /opt, or $TOLVAN_PROGRAM_FILES_DIR
};

// The folder's path without a trailing "/"; empty for an unknown folder.
std::string NbGetSpecialFolder(int folder);

// The icon theme folder for scalable application icons that belongs to a shortcut folder:
// <data dir>/icons/hicolor/scalable/apps beside <data dir>/applications.
std::string NbIconFolderFor(const std::string& shortcutFolder);

// One argument of an Exec= line, quoted when it holds a reserved character; "%" is doubled.
std::string NbQuoteExecArgument(std::string_view arg);
// The arguments of an Exec= value (after the string escapes are undone); raises EConvertError for
// an unterminated quote or a stray escape.
std::vector<std::string> NbSplitExecLine(std::string_view exec);
// A desktop entry value with its string escapes (\s \n \t \r \\) applied / undone.
std::string NbEscapeDesktopValue(std::string_view value);
std::string NbUnescapeDesktopValue(std::string_view value);

struct TNbShortcut {
    std::string Name;        // Name=
    std::string Target;      // the program: the whole of Exec=, no arguments
    std::string WorkingDir;  // Path=
    std::string Icon;        // Icon=, a theme icon name
    std::string Comment;     // Comment=, may be empty
};
// Writes the desktop entry (an application started without a terminal, in the categories
// Development and Database), replacing any file of that name; raises EInOutError on failure.
void NbCreateShortcut(const std::string& fileName, const TNbShortcut& shortcut);
// The program that the shortcut's Exec= starts, in lower case (a bare name found through $PATH);
// empty when there is no such file or it cannot be read.
std::string NbReadShortcutTarget(const std::string& fileName);

// Starts a program with its arguments (no shell), in a session of its own, and returns its
// process identifier; 0 when it could not be started.
int NbStartProcess(const std::vector<std::string>& argv);
// Waits, without a time limit, until the process has ended; returns at once when there is no such
// process or it cannot be watched.
void NbWaitForProcess(int pid);
