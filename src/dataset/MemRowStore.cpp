#include "MemRowStore.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kMinChunk = 64 * 1024;
constexpr size_t kMaxChunk = 1024 * 1024;

}  // namespace

std::uint8_t* TMemRowStore::NewBlock() {
    std::uint8_t* b;
    if (!freeBlocks_.empty()) {
        b = freeBlocks_.back();
        freeBlocks_.pop_back();
    } else {
        if (chunkNext_ == nullptr || chunkNext_ + blockBytes_ > chunkEnd_) {
            // Chunks grow with the store (up to 1 MiB) so that few allocations serve many rows.
            const size_t target = std::min(kMaxChunk, std::max(kMinChunk, blockChunkBytes_));
            const size_t rowsPerChunk = std::max<size_t>(16, target / static_cast<size_t>(blockBytes_));
            const size_t bytes = rowsPerChunk * static_cast<size_t>(blockBytes_);
            blockChunks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(bytes));
            blockChunkBytes_ += bytes;
            chunkNext_ = blockChunks_.back().get();
            chunkEnd_ = chunkNext_ + bytes;
        }
        b = chunkNext_;
        chunkNext_ += blockBytes_;
    }
    std::memset(b, 0, static_cast<size_t>(blockBytes_));
    return b;
}

char* TMemRowStore::ArenaAlloc(size_t bytes) {
    bytes = (bytes + 3) & ~size_t{3};
    if (textNext_ == nullptr || textNext_ + bytes > textEnd_) {
        size_t chunk = std::min(kMaxChunk, std::max(kMinChunk, textBytes_));
        if (bytes > chunk / 4) {
            // A large value gets a chunk of its own so the current chunk stays in use.
            textChunks_.insert(textChunks_.begin(), std::make_unique_for_overwrite<char[]>(bytes));
            textBytes_ += bytes;
            return textChunks_.front().get();
        }
        textChunks_.push_back(std::make_unique_for_overwrite<char[]>(chunk));
        textBytes_ += chunk;
        textNext_ = textChunks_.back().get();
        textEnd_ = textNext_ + chunk;
    }
    char* p = textNext_;
    textNext_ += bytes;
    return p;
}

void TMemRowStore::StoreText(std::uint8_t* slot, std::string_view text) {
    if (text.size() <= 7) {
        slot[0] = static_cast<std::uint8_t>((text.size() << 1) | 1);
        std::memset(slot + 1, 0, 7);
        if (!text.empty()) std::memcpy(slot + 1, text.data(), text.size());
        return;
    }
    char* p = ArenaAlloc(4 + text.size());
    const auto len = static_cast<std::uint32_t>(text.size());
    std::memcpy(p, &len, 4);
    std::memcpy(p + 4, text.data(), text.size());
    std::memcpy(slot, &p, sizeof p);
}

std::string_view TMemRowStore::LoadText(const std::uint8_t* slot) {
    if (slot[0] & 1) return {reinterpret_cast<const char*>(slot + 1), static_cast<size_t>(slot[0] >> 1)};
    const char* p;
    std::memcpy(&p, slot, sizeof p);
    if (!p) return {};
    std::uint32_t len;
    std::memcpy(&len, p, 4);
    return {p + 4, len};
}

const std::string* TMemRowStore::FindBlob(std::int32_t id, int fieldNo) const {
    if (id <= 0) return nullptr;
    auto it = blobs_.find(Key(id, fieldNo));
    return it == blobs_.end() ? nullptr : &it->second;
}

void TMemRowStore::Clear() {
    blockChunks_.clear();
    blockChunkBytes_ = 0;
    freeBlocks_.clear();
    chunkNext_ = chunkEnd_ = nullptr;
    textChunks_.clear();
    textNext_ = textEnd_ = nullptr;
    textBytes_ = 0;
    blobs_.clear();
    blobCounter_ = 0;
}

size_t TMemRowStore::MemoryUsed() const {
    size_t total = textBytes_ + blockChunkBytes_;
    for (const auto& [key, data] : blobs_) total += data.capacity() + sizeof(key) + 2 * sizeof(void*);
    return total;
}
