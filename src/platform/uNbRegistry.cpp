#include "uNbRegistry.h"

#include "uNbFolders.h"
#include "uNbFormat.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// QSettings reads "/" and "\" in a name as group separators, so such names cannot be plain values.
QString ValueName(std::string_view name) {
    if (name.empty() || name.find_first_of("/\\") != std::string_view::npos)
        throw ERegistryException(NbFormat("Invalid value name '%s'", name));
    return Q(name);
}

// Whether QSettings reads the file without a format error. It is parsed from a copy under a new
// name each time: QSettings keeps parsed files in a process-wide cache and reports a file's format
// error only on the first parse.
bool IniReadable(const std::string& file) {
    QFile in(Q(file));
    if (!in.open(QIODevice::ReadOnly)) return false;
    const QByteArray data = in.readAll();
    if (data.isEmpty()) return true;
    QTemporaryFile copy;
    if (!copy.open() || copy.write(data) != data.size() || !copy.flush()) return true;  // no copy: QSettings's own check only
    QSettings parsed(copy.fileName(), QSettings::IniFormat);
    parsed.allKeys();
    return parsed.status() == QSettings::NoError;
}

// Opens the file of an existing key, raising when it is not a settings file.
std::unique_ptr<QSettings> OpenFile(const std::string& file) {
    const auto unreadable = [&] {
        return ERegistryException(NbFormat("The settings file %s cannot be read; it was left unchanged", file));
    };
    if (!IniReadable(file)) throw unreadable();
    auto settings = std::make_unique<QSettings>(Q(file), QSettings::IniFormat);
    settings->allKeys();
    if (settings->status() == QSettings::FormatError) throw unreadable();
    return settings->status() == QSettings::NoError ? std::move(settings) : nullptr;
}

}  // namespace

TNbRegistry::TNbRegistry(TNbRegistryRoot root) : root_(root) {}

TNbRegistry::~TNbRegistry() = default;

std::string TNbRegistry::KeyFileName(TNbRegistryRoot root, std::string_view key, bool forWriting) {
    const std::string shown(key);
    while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
    while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
    std::string path;
    bool first = true;
    while (!key.empty()) {
        const size_t end = key.find('\\');
        const std::string_view part = key.substr(0, end);
        key = end == std::string_view::npos ? std::string_view() : key.substr(end + 1);
        const bool software = first && part.size() == 8 && QString(Q(part)).compare(QStringLiteral("Software"), Qt::CaseInsensitive) == 0;
        first = false;
        if (software) continue;
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos)
            throw ERegistryException(NbFormat("Invalid key '%s'", shown));
        path += '/';
        path += part;
    }
    if (path.empty()) throw ERegistryException(NbFormat("Invalid key '%s'", shown));
    std::string folder;
    if (root == TNbRegistryRoot::CurrentUser)
        folder = NbUserConfigFolder();
    else
        folder = forWriting ? NbMachineConfigWriteFolder() : NbMachineConfigReadFolder();
    return folder + path + ".conf";
}

bool TNbRegistry::OpenKey(std::string_view key, bool canCreate) {
    CloseKey();
    const std::string file = KeyFileName(root_, key, true);
    if (!Exists(file)) {
        if (!canCreate) return false;
        // An empty file is an empty key; the user's settings are private to the user.
        const bool user = root_ == TNbRegistryRoot::CurrentUser;
        try {
            NbForceFolders(file.substr(0, file.rfind('/')), user ? 0700 : 0755);
        } catch (const EInOutError&) {
            return false;
        }
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, user ? 0600 : 0644);
        if (fd < 0 && errno != EEXIST) return false;
        if (fd >= 0) close(fd);
    }
    auto settings = OpenFile(file);
    if (!settings || access(file.c_str(), R_OK | W_OK) != 0) return false;
    key_ = std::move(settings);
    fileName_ = file;
    readOnly_ = false;
    return true;
}

bool TNbRegistry::OpenKeyReadOnly(std::string_view key) {
    CloseKey();
    const std::string file = KeyFileName(root_, key, false);
    if (!Exists(file) || access(file.c_str(), R_OK) != 0) return false;
    auto settings = OpenFile(file);
    if (!settings) return false;
    key_ = std::move(settings);
    fileName_ = file;
    readOnly_ = true;
    return true;
}

void TNbRegistry::CloseKey() {
    key_.reset();
    fileName_.clear();
    readOnly_ = false;
}

QSettings& TNbRegistry::Open(const char* operation) const {
    if (!key_) throw ERegistryException(NbFormat("Cannot %s: no settings key is open", operation));
    return *key_;
}

bool TNbRegistry::ValueExists(std::string_view name) const { return key_ && key_->contains(ValueName(name)); }

std::string TNbRegistry::ReadString(std::string_view name) const {
    if (!key_) return {};
    const QVariant v = key_->value(ValueName(name));
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        return {};
    case QMetaType::QString:
        return v.toString().toStdString();
    case QMetaType::QByteArray:  // "@ByteArray(...)"
        return v.toByteArray().toStdString();
    case QMetaType::QStringList:
        // An unquoted text with commas in a file written by hand ("host,1433").
        return v.toStringList().join(QLatin1Char(',')).toStdString();
    default:
        throw ERegistryException(NbFormat("Invalid data type for '%s' in %s", name, fileName_));
    }
}

bool TNbRegistry::ReadBool(std::string_view name) const {
    const QVariant v = Open("read").value(ValueName(name));
    if (!v.isValid()) throw ERegistryException(NbFormat("The value '%s' does not exist in %s", name, fileName_));
    bool ok = false;
    const int i = v.typeId() == QMetaType::QString ? v.toString().trimmed().toInt(&ok) : 0;
    if (!ok) throw ERegistryException(NbFormat("Invalid data type for '%s' in %s", name, fileName_));
    return i != 0;
}

QSettings& TNbRegistry::Writable(std::string_view name) {
    QSettings& s = Open("write");
    if (readOnly_) throw ERegistryException(NbFormat("Cannot change '%s': %s is open for reading only", name, fileName_));
    return s;
}

void TNbRegistry::WriteString(std::string_view name, std::string_view value) {
    QSettings& s = Writable(name);
    const QString n = ValueName(name), v = Q(value);
    if (s.value(n) == QVariant(v)) return;  // the file already says so; no rewrite
    s.setValue(n, v);
    Commit(name);
}

void TNbRegistry::WriteBool(std::string_view name, bool value) { WriteString(name, value ? "1" : "0"); }

bool TNbRegistry::DeleteValue(std::string_view name) {
    QSettings& s = Writable(name);
    const QString n = ValueName(name);
    if (!s.contains(n)) return false;
    s.remove(n);
    Commit(name);
    return true;
}

void TNbRegistry::Commit(std::string_view name) {
    key_->sync();
    if (key_->status() != QSettings::NoError) throw ERegistryException(NbFormat("Cannot write '%s' to %s", name, fileName_));
}

bool TNbRegistry::DeleteKey(std::string_view key) {
    const std::string file = KeyFileName(root_, key, true);
    if (file == fileName_) CloseKey();
    const std::string folder = file.substr(0, file.size() - 5);  // the subkeys: "<key>/" beside "<key>.conf"
    bool removed = false;
    if (Exists(file)) {
        if (unlink(file.c_str()) != 0) throw ERegistryException(NbFormat("Cannot delete the key %s: %s", file, std::strerror(errno)));
        removed = true;
    }
    if (QDir dir(Q(folder)); dir.exists()) {
        if (!dir.removeRecursively()) throw ERegistryException(NbFormat("Cannot delete the key folder %s", folder));
        removed = true;
    }
    return removed;
}
