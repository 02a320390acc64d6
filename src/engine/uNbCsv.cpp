#include "uNbCsv.h"

#include "uNbExceptions.h"
#include "uNbFormat.h"
#include "uNbStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace {

// 1: the character forces quoting; 2: a NUL, which ends the scan.
constexpr std::array<std::uint8_t, 256> MakeQuoteTable() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 1; c <= 32; ++c) t[static_cast<size_t>(c)] = 1;
    t['"'] = t[','] = 1;
    t[0] = 2;
    return t;
}
constexpr std::array<std::uint8_t, 256> kQuote = MakeQuoteTable();

bool NeedsQuotes(std::string_view item) {
    for (char ch : item) {
        const std::uint8_t k = kQuote[static_cast<unsigned char>(ch)];
        if (k) return k == 1;
    }
    return false;
}

void AppendItem(std::string& out, std::string_view item) {
    const bool quote = NeedsQuotes(item);
    if (!quote) {
        out.append(item);
        return;
    }
    out += '"';
    // Copied in runs, each double quote doubled.
    size_t start = 0;
    for (size_t q = item.find('"'); q != std::string_view::npos; q = item.find('"', q + 1)) {
        out.append(item.substr(start, q + 1 - start));
        out += '"';
        start = q + 1;
    }
    out.append(item.substr(start));
    out += '"';
}

// Appends one CSV line (CR LF included) for the items.
template <typename Items>
void AppendLine(std::string& out, const Items& items, size_t count) {
    if (count == 1 && items(0).empty()) {
        out += "\"\"\r\n";
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        if (i) out += ',';
        AppendItem(out, items(i));
    }
    out += "\r\n";
}

// Writes the header and the rows, handing the text over in pieces.
// The data lines of rows [from, to) of the current order.
void FormatRows(const std::vector<const TField*>& fields, const TMemCustomDataSet& ds, int from, int to, std::string& buf) {
    const size_t n = fields.size();
    std::string quoted;
    for (int r = from; r < to; ++r) {
        // Each value is written straight into the buffer and quoted afterwards in the rare case
        // that it needs it.
        const size_t lineStart = buf.size();
        const std::uint8_t* row = ds.RowValuesAt(r);
        for (size_t i = 0; i < n; ++i) {
            if (i) buf += ',';
            const size_t at = buf.size();
            fields[i]->AppendValueText(buf, row);
            const std::string_view item(buf.data() + at, buf.size() - at);
            if (NeedsQuotes(item)) {
                quoted.clear();
                AppendItem(quoted, item);
                buf.replace(at, std::string::npos, quoted);
            }
        }
        if (n == 1 && buf.size() == lineStart) buf += "\"\"";
        buf += "\r\n";
    }
}

// Writes the header and the rows, handing the text over in order, in pieces. Blocks of rows are
// formatted by two helper threads while this thread hands finished blocks to the sink.
template <typename Sink>
void WriteCsv(TMemCustomDataSet& ds, Sink&& sink) {
    TFormatSettingsSwap swap("M/d/yyyy", "/");
    const size_t n = static_cast<size_t>(ds.FieldCount());
    std::string header;
    AppendLine(
        header, [&](size_t i) { return std::string(ds.Field(static_cast<int>(i)).DisplayName()); }, n);
    sink(header);
    std::vector<const TField*> fields;
    for (size_t i = 0; i < n; ++i) fields.push_back(&ds.Field(static_cast<int>(i)));
    const int rows = ds.RowCount();
    constexpr int kBlock = 8192;
    const int blocks = (rows + kBlock - 1) / kBlock;
    if (blocks <= 1) {
        std::string buf;
        FormatRows(fields, ds, 0, rows, buf);
        if (!buf.empty()) sink(buf);
        return;
    }
    std::vector<std::string> done(static_cast<size_t>(blocks));
    std::vector<char> ready(static_cast<size_t>(blocks), 0);
    std::mutex mu;
    std::condition_variable cv;
    int nextBlock = 0, written = 0;
    bool stop = false;
    std::exception_ptr error;
    TFormatSettings& settings = swap.Settings();
    auto worker = [&] {
        const TFormatSettingsUse use(settings);
        for (;;) {
            int k;
            {
                std::unique_lock<std::mutex> lock(mu);
                // At most 16 blocks ahead of the writer.
                cv.wait(lock, [&] { return stop || nextBlock >= blocks || nextBlock - written < 16; });
                if (stop || nextBlock >= blocks) return;
                k = nextBlock++;
            }
            std::string out;
            out.reserve(static_cast<size_t>(kBlock) * 128);
            try {
                FormatRows(fields, ds, k * kBlock, std::min(rows, (k + 1) * kBlock), out);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mu);
                if (!error) error = std::current_exception();
                stop = true;
                cv.notify_all();
                return;
            }
            std::lock_guard<std::mutex> lock(mu);
            done[static_cast<size_t>(k)] = std::move(out);
            ready[static_cast<size_t>(k)] = 1;
            cv.notify_all();
        }
    };
    std::thread helpers[2] = {std::thread(worker), std::thread(worker)};
    auto finish = [&] {
        {
            std::lock_guard<std::mutex> lock(mu);
            stop = true;
        }
        cv.notify_all();
        for (auto& t : helpers) t.join();
    };
    try {
        for (int k = 0; k < blocks; ++k) {
            std::string piece;
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock, [&] { return ready[static_cast<size_t>(k)] || error; });
                if (error) break;
                piece = std::move(done[static_cast<size_t>(k)]);
            }
            sink(piece);
            {
                std::lock_guard<std::mutex> lock(mu);
                written = k + 1;
            }
            cv.notify_all();
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    if (error) std::rethrow_exception(error);
}

}  // namespace

std::string CsvCommaText(const std::vector<std::string>& items) {
    std::string out;
    AppendLine(
        out, [&](size_t i) -> const std::string& { return items[i]; }, items.size());
    out.resize(out.size() - 2);
    return out;
}

std::string DataSetToCsv(TMemCustomDataSet& ds) {
    std::string out;
    WriteCsv(ds, [&](const std::string& piece) { out += piece; });
    return out;
}

void WriteDataSetCsv(TNbStreamWrap& wrap, TMemCustomDataSet& ds) { wrap.WriteText(DataSetToCsv(ds)); }

namespace {

// The path a write to path lands on: a symbolic link is followed to its target (also one that does
// not exist yet), so the link itself stays.
std::string FollowLinks(const std::string& path) {
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
        if (n < 0) return p;
        target.resize(static_cast<size_t>(n));
        if (!target.empty() && target[0] != '/') {
            const size_t slash = p.rfind('/');
            if (slash != std::string::npos) target = p.substr(0, slash + 1) + target;
        }
        p = target;
    }
    return p;
}

mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

void WriteAll(int fd, const std::string& path, const std::string& piece) {
    size_t done = 0;
    while (done < piece.size()) {
        const ssize_t w = ::write(fd, piece.data() + done, piece.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            throw EInOutError(NbFormat("Cannot write file \"%s\". %s", path, std::strerror(errno)));
        }
        done += static_cast<size_t>(w);
    }
}

}  // namespace

TCsvFileExport::TCsvFileExport(const std::string& path) : path_(path), target_(FollowLinks(path)) {
    struct stat st {};
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // A FIFO, a device or a terminal is written straight into; it is never replaced.
        if (S_ISDIR(st.st_mode)) throw EInOutError(NbFormat("Cannot create file \"%s\". %s", path_, std::strerror(EISDIR)));
        fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) throw EInOutError(NbFormat("Cannot create file \"%s\". %s", path_, std::strerror(errno)));
        return;
    }
    // A regular file (or none yet): a temporary beside it, with the old file's mode or the mode the
    // umask gives a new file.
    const size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target_.substr(0, slash == 0 ? 1 : slash);
    std::string tmp = dir + "/." + (slash == std::string::npos ? target_ : target_.substr(slash + 1)) + ".XXXXXX";
    fd_ = ::mkstemp(tmp.data());
    if (fd_ < 0) throw EInOutError(NbFormat("Cannot create file \"%s\". %s", path_, std::strerror(errno)));
    tmp_ = std::move(tmp);
    ::fchmod(fd_, exists ? (st.st_mode & 07777) : NewFileMode());
}

TCsvFileExport::~TCsvFileExport() {
    if (fd_ >= 0) ::close(fd_);
    if (!tmp_.empty()) ::unlink(tmp_.c_str());
}

void TCsvFileExport::Write(TMemCustomDataSet& ds) {
    if (fd_ < 0) throw EInOutError(NbFormat("Cannot write file \"%s\". %s", path_, std::strerror(EBADF)));
    WriteCsv(ds, [&](const std::string& piece) { WriteAll(fd_, path_, piece); });
}

void TCsvFileExport::Commit() {
    if (fd_ < 0) return;
    const bool synced = tmp_.empty() || ::fsync(fd_) == 0;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || !synced) throw EInOutError(NbFormat("Cannot write file \"%s\". %s", path_, std::strerror(errno)));
    if (tmp_.empty()) return;
    if (::rename(tmp_.c_str(), target_.c_str()) != 0)
        throw EInOutError(NbFormat("Cannot create file \"%s\". %s", path_, std::strerror(errno)));
    tmp_.clear();
}

void ExportCsvFile(TMemCustomDataSet& ds, const std::string& path) {
    const TMemPositionGuard position(ds);
    TCsvFileExport file(path);
    file.Write(ds);
    file.Commit();
}
