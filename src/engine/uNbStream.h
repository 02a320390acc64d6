// Streams of the in-house library: an abstract byte stream, file and memory streams, and
// TNbStreamWrap, a buffered wrapper that owns its inner stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TNbStream {
public:
    virtual ~TNbStream() = default;
    virtual long Read(void* buffer, long count) = 0;         // bytes read; 0 at the end
    virtual long Write(const void* buffer, long count) = 0;  // bytes written
};

class TNbMemoryStream : public TNbStream {
public:
    explicit TNbMemoryStream(std::string data = {}) : data_(std::move(data)) {}
    long Read(void* buffer, long count) override;
    long Write(const void* buffer, long count) override;
    const std::string& Data() const { return data_; }

private:
    std::string data_;
    size_t pos_ = 0;
};

class TNbFileStream : public TNbStream {
public:
    enum Mode { ForReading, ForWriting };
    TNbFileStream(const std::string& path, Mode mode);  // "Cannot create file ..." / "Cannot open file ..."
    ~TNbFileStream() override;
    long Read(void* buffer, long count) override;
    long Write(const void* buffer, long count) override;

private:
    int fd_ = -1;
    std::string path_;
};

class TNbStreamWrap {
public:
    explicit TNbStreamWrap(std::unique_ptr<TNbStream> inner) : inner_(std::move(inner)) {}
    void WriteText(const std::string& text);
    long WriteBytes(const void* buffer, long count) { return inner_->Write(buffer, count); }
    // Fills the look-ahead buffer (in pieces of the request, at most 1024 bytes) until it holds count
    // bytes or the inner stream ends, then hands out what it holds, up to count.
    long ReadBytes(void* buffer, long count);
    // count < 0: everything to the end.
    std::string ReadText(std::int64_t count);
    TNbStream& Inner() { return *inner_; }

private:
    void Fill(size_t wanted);
    std::unique_ptr<TNbStream> inner_;
    std::string lookAhead_;
    bool ended_ = false;
};
