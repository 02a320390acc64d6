// The preferences shared by Merivane programs (key Software\Merivane\Common of the user's settings):
// whether errors are reported, and where reports go. Reads and writes never fail: a preference that
// cannot be read has its default, and a failed write is dropped.
#pragma once

#include <QString>

// "Upload Errors": true when the value is missing or unreadable.
bool NbReadUploadErrors();
// Writes "Upload Errors" as 0 or 1.
void NbWriteUploadErrors(bool upload);
// "Error Report URL": the base address that error reports go to, else the built-in default.
QString NbErrorReportUrl();

inline constexpr const char* kNbDefaultErrorReportUrl = "https://www.merivane.com";
