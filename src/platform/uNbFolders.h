// The folders of the freedesktop base-directory layout that settings and keys live in. Each one
// follows its environment variable, so tests can point them at temporary folders.
#pragma once

#include <string>

// $XDG_CONFIG_HOME, else ~/.config.
std::string NbUserConfigFolder();
// $XDG_DATA_HOME, else ~/.local/share.
std::string NbUserDataFolder();
// Machine-wide settings are read from the first entry of $XDG_CONFIG_DIRS (else /etc/xdg) and
// written to /etc/xdg; $TOLVAN_SYSTEM_CONFIG_DIR, when set, replaces both.
std::string NbMachineConfigReadFolder();
std::string NbMachineConfigWriteFolder();

// Creates the folder and any missing parents, new ones with the given mode; raises EInOutError.
void NbForceFolders(const std::string& path, unsigned mode);
