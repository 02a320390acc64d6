// Temporary objects: a process-wide registry that frees what its users did not (logging how much
// was left at program end), a memory stream that lives in it, and temporary files with unique names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Anything the registry can hold.
class TNbTempObject {
public:
    virtual ~TNbTempObject() = default;
};

class TNbTemp {
public:
    // The process-wide registry (an assertion when there is none).
    static TNbTemp& Instance();
    static void EnsureInstance();
    // Logs "---CYCLE TEMPORARIES (o%d,c%d) ---" when anything is left, frees it, and starts afresh.
    static void Cycle();

    void Add(TNbTempObject* object);  // takes ownership
    void Extract(TNbTempObject* object);
    void Clear();
    int Count() const { return static_cast<int>(temporaries_.size()); }
    int OwnedComponents() const { return 0; }

private:
    std::vector<std::unique_ptr<TNbTempObject>> temporaries_;
};

// A growable memory stream registered in the registry for its lifetime.
class TNbTempMemoryStream : public TNbTempObject {
public:
    TNbTempMemoryStream();
    explicit TNbTempMemoryStream(const std::string& bytes);
    static TNbTempMemoryStream* FromFile(const std::string& path);  // "Cannot open file \"%s\". %s"
    ~TNbTempMemoryStream() override;

    std::string& Data() { return data_; }
    const std::string& Data() const { return data_; }
    size_t Read(void* buffer, size_t count);
    size_t Position() const { return pos_; }
    void Seek(size_t pos) { pos_ = pos < data_.size() ? pos : data_.size(); }

private:
    std::string data_;
    size_t pos_ = 0;
};

// Creates a temporary file for a name: the temporary folder and the name, then name-2 ... name-100,
// then /var/tmp and /tmp. Returns the path; the file is created exclusively and left empty.
// A name already taken is never replaced.
std::string NbCreateTempFile(const std::string& name);

// Resolves a bare file name to a readable temporary copy of the file in the base folder.
class TNbFileRepository {
public:
    explicit TNbFileRepository(std::string baseFolder) : base_(std::move(baseFolder)) {}
    ~TNbFileRepository();
    std::string Resolve(const std::string& name);

private:
    std::string base_;
    std::vector<std::string> extracted_;
};
