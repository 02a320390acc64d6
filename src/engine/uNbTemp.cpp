#include "uNbTemp.h"

#include "uNbAssert.h"
#include "uNbExceptions.h"
#include "uNbFormat.h"
#include "uNbLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::unique_ptr<TNbTemp>& Slot() {
    static std::unique_ptr<TNbTemp> instance = std::make_unique<TNbTemp>();
    return instance;
}

// At program end: the cycle, then the fresh instance goes as well.
struct Finalizer {
    Finalizer() { Slot(); }  // the registry is made first, so it outlives this
    ~Finalizer() {
        try {
            TNbTemp::Cycle();
        } catch (...) {
        }
        Slot().reset();
    }
} g_finalizer;

// One exclusive creation attempt; false when the candidate cannot be created.
// Creates the file exclusively; a file already there (another temporary's, perhaps still being
// read) is left alone and the caller takes the next name.
bool TryCreate(const std::string& path) {
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace

TNbTemp& TNbTemp::Instance() {
    NbAssert(Slot() != nullptr, "TNbTemp instance missing", "NbUtils/uNbTemp", 52);
    return *Slot();
}

void TNbTemp::EnsureInstance() {
    if (!Slot()) Slot() = std::make_unique<TNbTemp>();
}

void TNbTemp::Cycle() {
    if (auto& t = Slot()) {
        if (t->Count() > 0 || t->OwnedComponents() > 0) NbLog("---CYCLE TEMPORARIES (o%d,c%d) ---", t->Count(), t->OwnedComponents());
        t->Clear();
    }
    Slot() = std::make_unique<TNbTemp>();
}

void TNbTemp::Add(TNbTempObject* object) { temporaries_.emplace_back(object); }

void TNbTemp::Extract(TNbTempObject* object) {
    for (auto it = temporaries_.begin(); it != temporaries_.end(); ++it)
        if (it->get() == object) {
            (void)it->release();
            temporaries_.erase(it);
            return;
        }
}

void TNbTemp::Clear() {
    // Each object extracts itself while it is freed, so take them out first.
    std::vector<std::unique_ptr<TNbTempObject>> items;
    items.swap(temporaries_);
    items.clear();
}

TNbTempMemoryStream::TNbTempMemoryStream() {
    TNbTemp::EnsureInstance();
    TNbTemp::Instance().Add(this);
}

TNbTempMemoryStream::TNbTempMemoryStream(const std::string& bytes) : TNbTempMemoryStream() { data_ = bytes; }

TNbTempMemoryStream* TNbTempMemoryStream::FromFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw EInOutError(NbFormat("Cannot open file \"%s\". %s", path, std::strerror(errno)));
    struct stat st {};
    ::fstat(fd, &st);
    auto* s = new TNbTempMemoryStream();
    // Read straight into the stream's buffer, sized once.
    s->data_.resize(static_cast<size_t>(std::max<off_t>(0, st.st_size)));
    size_t got = 0;
    for (;;) {
        if (got == s->data_.size()) s->data_.resize(s->data_.size() + 65536);
        const ssize_t n = ::read(fd, s->data_.data() + got, s->data_.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            delete s;
            throw EInOutError(NbFormat("Cannot read file \"%s\". %s", path, std::strerror(err)));
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    s->data_.resize(got);
    ::close(fd);
    return s;
}

TNbTempMemoryStream::~TNbTempMemoryStream() {
    if (auto& t = Slot()) t->Extract(this);
}

size_t TNbTempMemoryStream::Read(void* buffer, size_t count) {
    const size_t n = std::min(count, data_.size() - pos_);
    if (n) std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return n;
}

std::string NbCreateTempFile(const std::string& name) {
    const char* env = std::getenv("TMPDIR");
    std::string folder = env && *env ? env : "/tmp";
    if (folder.empty()) folder = ".";
    if (folder.back() != '/') folder += '/';
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (TryCreate(folder + name)) return folder + name;
    if (std::filesystem::is_directory(folder, ec)) {
        const size_t dot = name.rfind('.');
        const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
        const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
        for (int n = 2; n <= 100; ++n) {
            const std::string candidate = NbFormat("%s%s-%d%s", folder, stem, n, ext);
            if (TryCreate(candidate)) return candidate;
        }
    }
    for (const char* fallback : {"/var/tmp/", "/tmp/"})
        if (TryCreate(std::string(fallback) + name)) return std::string(fallback) + name;
    throw EInOutError(NbFormat("Can't create \"%s\": no temp directories are writable.", name));
}

TNbFileRepository::~TNbFileRepository() {
    for (const auto& path : extracted_) ::unlink(path.c_str());
}

std::string TNbFileRepository::Resolve(const std::string& name) {
    const std::string source = base_ + "/" + name;
    if (!std::filesystem::exists(source)) throw EInOutError(NbFormat("No such file: \"%s\"", name));
    const std::string path = NbCreateTempFile(std::filesystem::path(name).filename().string());
    std::error_code ec;
    std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) ::unlink(path.c_str());  // a failed copy leaves no temporary behind
    if (ec) throw EInOutError(NbFormat("Error creating file \"%s\": %s", path, ec.message()));
    extracted_.push_back(path);
    return path;
}
