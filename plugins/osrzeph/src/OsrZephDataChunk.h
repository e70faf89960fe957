// One block of caller audio on its way from the detector to the service.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace Zeph {

// Owns a malloc-allocated buffer (null when the block is empty) and its length in bytes.
// Move-only: the buffer is copied once, out of the detector's ring (Copy), and then moved
// from event to channel to method; whoever drops a chunk frees its buffer with it.
//
// Threads: a chunk belongs to one thread at a time (the media thread while an event is
// built, then the engine's event processor thread).
struct DataChunk {
    uint8_t* m_data = nullptr;
    uint64_t m_size = 0;

    DataChunk() = default;
    ~DataChunk() { Free(); }
    DataChunk(DataChunk&& other) noexcept
        : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)) {}
    DataChunk& operator=(DataChunk&& other) noexcept {
        if (this != &other) {
            Free();
            m_data = std::exchange(other.m_data, nullptr);
            m_size = std::exchange(other.m_size, 0);
        }
        return *this;
    }
    DataChunk(const DataChunk&) = delete;
    DataChunk& operator=(const DataChunk&) = delete;

    // A chunk holding a copy of `count` bytes; empty when count is 0 or memory is short.
    static DataChunk Copy(const void* bytes, uint64_t count) {
        DataChunk chunk;
        if (count == 0 || !bytes)
            return chunk;
        chunk.m_data = static_cast<uint8_t*>(std::malloc(count));
        if (chunk.m_data) {
            std::memcpy(chunk.m_data, bytes, count);
            chunk.m_size = count;
        }
        return chunk;
    }

    bool Empty() const { return !m_data || m_size == 0; }

    void Free() {
        std::free(m_data);
        m_data = nullptr;
        m_size = 0;
    }
};

}  // namespace Zeph
