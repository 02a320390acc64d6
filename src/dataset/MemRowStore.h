// The storage under a dataset: fixed-size row blocks carved from growing chunks, an arena for texts
// longer than a slot, and the blob store keyed by blob id and field number. Knows nothing of
// fields, cursors or indexes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TMemRowStore {
public:
    // Bytes of one row block (header, values, null flags). Blocks already handed out keep theirs.
    void SetBlockBytes(int bytes) { blockBytes_ = bytes; }
    int BlockBytes() const { return blockBytes_; }
    // A zeroed block, reused from freed ones first.
    std::uint8_t* NewBlock();
    void FreeBlock(std::uint8_t* block) { freeBlocks_.push_back(block); }

    // A text slot is 8 bytes: a short text inline (length in the first byte, odd) or a pointer to
    // a 4-byte length and the bytes in the arena.
    void StoreText(std::uint8_t* slot, std::string_view text);
    static std::string_view LoadText(const std::uint8_t* slot);

    std::int32_t NewBlobId() { return ++blobCounter_; }
    // The bytes of a blob, or nullptr when the id is 0 or unknown.
    const std::string* FindBlob(std::int32_t id, int fieldNo) const;
    void PutBlob(std::int32_t id, int fieldNo, std::string bytes) { blobs_[Key(id, fieldNo)] = std::move(bytes); }
    void EraseBlob(std::int32_t id, int fieldNo) { blobs_.erase(Key(id, fieldNo)); }

    // Frees every block, text and blob at once.
    void Clear();
    // Bytes held by blocks, texts and blobs.
    size_t MemoryUsed() const;

private:
    static std::uint64_t Key(std::int32_t id, int fieldNo) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(id)) << 32) | static_cast<std::uint32_t>(fieldNo);
    }
    char* ArenaAlloc(size_t bytes);

    int blockBytes_ = 0;
    std::vector<std::unique_ptr<std::uint8_t[]>> blockChunks_;
    std::vector<std::uint8_t*> freeBlocks_;
    size_t blockChunkBytes_ = 0;
    std::uint8_t* chunkNext_ = nullptr;
    std::uint8_t* chunkEnd_ = nullptr;
    std::vector<std::unique_ptr<char[]>> textChunks_;
    char* textNext_ = nullptr;
    char* textEnd_ = nullptr;
    size_t textBytes_ = 0;
    std::unordered_map<std::uint64_t, std::string> blobs_;
    std::int32_t blobCounter_ = 0;
};
