#include "uNbCommonSettings.h"

#include <QDir>
#include <QSettings>

#include <cstdlib>

namespace {

const QString kUploadErrors = QStringLiteral("Upload Errors");
const QString kErrorReportUrl = QStringLiteral("Error Report URL");

// The user's settings root ($XDG_CONFIG_HOME, else ~/.config) holds the key as Merivane/Common.conf.
QString CommonFile() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const QString root = xdg && *xdg ? QString::fromLocal8Bit(xdg) : QDir::homePath() + QStringLiteral("/.config");
    return root + QStringLiteral("/Merivane/Common.conf");
}

}  // namespace

bool NbReadUploadErrors() {
    QSettings s(CommonFile(), QSettings::IniFormat);
    if (s.status() != QSettings::NoError || !s.contains(kUploadErrors)) return true;
    return s.value(kUploadErrors).toBool();
}

void NbWriteUploadErrors(bool upload) {
    QSettings s(CommonFile(), QSettings::IniFormat);
    s.setValue(kUploadErrors, upload ? 1 : 0);
    s.sync();
}

QString NbErrorReportUrl() {
    QSettings s(CommonFile(), QSettings::IniFormat);
    const QString url = s.value(kErrorReportUrl).toString().trimmed();
    return url.isEmpty() ? QString::fromLatin1(kNbDefaultErrorReportUrl) : url;
}
