// Settings keys with named values, kept as INI files: one file per key path under the user's or the
// machine's config folder. "Software\Merivane\Tolvan" is Merivane/Tolvan.conf there, its values the
// entries of the file's [General] group. Every write goes to disk at once and atomically.
#pragma once

#include "uNbExceptions.h"

#include <memory>
#include <string>
#include <string_view>

class QSettings;

// A failed read or write of a settings key, or a settings file that cannot be read.
NB_DECLARE_EXCEPTION(ERegistryException, Exception);

enum class TNbRegistryRoot { CurrentUser, LocalMachine };

class TNbRegistry {
public:
    explicit TNbRegistry(TNbRegistryRoot root = TNbRegistryRoot::CurrentUser);
    ~TNbRegistry();
    TNbRegistry(const TNbRegistry&) = delete;
    TNbRegistry& operator=(const TNbRegistry&) = delete;

    // Opens a key for reading and writing, creating its file when canCreate is set. False when it
    // does not exist (and may not be created) or cannot be created; raises ERegistryException when
    // the file exists but cannot be read as settings, so that it is never replaced unnoticed.
    bool OpenKey(std::string_view key, bool canCreate);
    // Opens an existing key for reading only; false when it is missing.
    bool OpenKeyReadOnly(std::string_view key);
    void CloseKey();

    // The value lookups of a closed or missing key find nothing.
    bool ValueExists(std::string_view name) const;
    // A missing value reads as the empty text.
    std::string ReadString(std::string_view name) const;
    // Raises for a missing value or one that is not an integer; non-zero means true.
    bool ReadBool(std::string_view name) const;
    void WriteString(std::string_view name, std::string_view value);
    // Written as 0 or 1.
    void WriteBool(std::string_view name, bool value);
    // False when there was no such value.
    bool DeleteValue(std::string_view name);
    // Removes the key's file and the folder of its subkeys; false when there was nothing to remove.
    bool DeleteKey(std::string_view key);

    // The INI file that holds a key ("Software\A\B" → <root>/A/B.conf); raises for a path with an
    // empty, "." or ".." element or a "/".
    static std::string KeyFileName(TNbRegistryRoot root, std::string_view key, bool forWriting);

private:
    QSettings& Open(const char* operation) const;
    QSettings& Writable(std::string_view name);
    void Commit(std::string_view name);

    TNbRegistryRoot root_;
    std::unique_ptr<QSettings> key_;
    std::string fileName_;
    bool readOnly_ = false;
};
