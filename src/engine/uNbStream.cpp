#include "uNbStream.h"

#include "uNbExceptions.h"
#include "uNbFormat.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

long TNbMemoryStream::Read(void* buffer, long count) {
    const size_t n = std::min(static_cast<size_t>(std::max(0L, count)), data_.size() - pos_);
    if (n) std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
}

long TNbMemoryStream::Write(const void* buffer, long count) {
    if (count <= 0) return 0;
    if (pos_ + static_cast<size_t>(count) > data_.size()) data_.resize(pos_ + static_cast<size_t>(count));
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ += static_cast<size_t>(count);
    return count;
}

TNbFileStream::TNbFileStream(const std::string& path, Mode mode) : path_(path) {
    fd_ = mode == ForWriting ? ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644) : ::open(path.c_str(), O_RDONLY);
    if (fd_ < 0)
        throw EInOutError(
            NbFormat(mode == ForWriting ? "Cannot create file \"%s\". %s" : "Cannot open file \"%s\". %s", path, std::strerror(errno)));
}

TNbFileStream::~TNbFileStream() {
    if (fd_ >= 0) ::close(fd_);
}

long TNbFileStream::Read(void* buffer, long count) {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, static_cast<size_t>(std::max(0L, count)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EInOutError(NbFormat("Cannot read file \"%s\". %s", path_, std::strerror(errno)));
        return static_cast<long>(n);
    }
}

long TNbFileStream::Write(const void* buffer, long count) {
    long done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EInOutError(NbFormat("Cannot write file \"%s\". %s", path_, std::strerror(errno)));
        done += n;
    }
    return done;
}

void TNbStreamWrap::WriteText(const std::string& text) { inner_->Write(text.data(), static_cast<long>(text.size())); }

void TNbStreamWrap::Fill(size_t wanted) {
    const size_t piece = wanted <= 1024 ? std::max<size_t>(wanted, 1) : 1024;
    std::string chunk(piece, '\0');
    while (!ended_ && lookAhead_.size() < wanted) {
        const long n = inner_->Read(chunk.data(), static_cast<long>(piece));
        if (n <= 0) {
            ended_ = true;
            break;
        }
        lookAhead_.append(chunk.data(), static_cast<size_t>(n));
    }
}

long TNbStreamWrap::ReadBytes(void* buffer, long count) {
    if (count <= 0) return 0;
    Fill(static_cast<size_t>(count));
    const size_t n = std::min(static_cast<size_t>(count), lookAhead_.size());
    std::memcpy(buffer, lookAhead_.data(), n);
    lookAhead_.erase(0, n);
    return static_cast<long>(n);
}

std::string TNbStreamWrap::ReadText(std::int64_t count) {
    if (count < 0) {
        while (!ended_) Fill(lookAhead_.size() + 1024);
        std::string all;
        all.swap(lookAhead_);
        return all;
    }
    std::string out(static_cast<size_t>(count), '\0');
    out.resize(static_cast<size_t>(ReadBytes(out.data(), static_cast<long>(count))));
    return out;
}
