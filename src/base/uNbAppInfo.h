// The application identity: four process-wide texts, set to their defaults at start-up and then
// once by the program's main block. Library code tells from the defaults whether they were set.
#pragma once

#include <string>

inline constexpr const char* kNbDefaultAppName = "Merivane Application";
inline constexpr const char* kNbDefaultAppShortName = "App";
inline constexpr const char* kNbDefaultAppVersion = "0.0";

std::string& NbAppExePath();
std::string& NbAppName();
std::string& NbAppShortName();
std::string& NbAppVersion();

// Puts the defaults in place; NbAppExePath becomes the full path of the running program file.
void NbAppInfoInitialize(const char* argv0);
