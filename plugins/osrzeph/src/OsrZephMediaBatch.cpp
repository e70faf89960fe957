#include "OsrZephMediaBatch.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "OsrZephChannel.h"

namespace Zeph {

MediaItem::MediaItem(MediaItem&& other) noexcept
    : m_channel(other.m_channel),
      m_event(std::exchange(other.m_event, nullptr)),
      m_chunk(std::move(other.m_chunk)),
      m_last(other.m_last) {}

MediaItem& MediaItem::operator=(MediaItem&& other) noexcept {
    if (this != &other) {
        if (m_event)
            m_event->Unref();
        m_channel = other.m_channel;
        m_event = std::exchange(other.m_event, nullptr);
        m_chunk = std::move(other.m_chunk);
        m_last = other.m_last;
    }
    return *this;
}

MediaItem::~MediaItem() {
    if (m_event)
        m_event->Unref();
}

void MediaBatch::Event::Handle(MediaItem& item) {
    if (item.m_event)
        item.m_event->Process();
    else
        item.m_channel->ProcessSpeechInput(item.m_chunk, item.m_last);
}

MediaBatch::MediaBatch() : m_event(new Event()) {
    m_event->Ref();
    m_spareBuffers.reserve(kSpareBuffers);
}

MediaBatch::~MediaBatch() {
    // Still queued, it lives on until the processor has run or released it.
    m_event->Unref();
    for (void* buffer : m_spareBuffers)
        std::free(buffer);
}

DataChunk MediaBatch::CopyAudio(const void* bytes, uint64_t count) {
    if (count == 0 || !bytes)
        return DataChunk();
    void* buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_spareMutex);
        if (!m_spareBuffers.empty() && malloc_usable_size(m_spareBuffers.back()) >= count) {
            buffer = m_spareBuffers.back();
            m_spareBuffers.pop_back();
        }
    }
    if (!buffer)
        return DataChunk::Copy(bytes, count);
    DataChunk chunk;
    chunk.m_data = static_cast<uint8_t*>(buffer);
    std::memcpy(chunk.m_data, bytes, count);
    chunk.m_size = count;
    return chunk;
}

void MediaBatch::Recycle(DataChunk&& chunk) {
    if (!chunk.m_data)
        return;
    {
        std::lock_guard<std::mutex> lock(m_spareMutex);
        if (m_spareBuffers.size() < kSpareBuffers) {
            m_spareBuffers.push_back(std::exchange(chunk.m_data, nullptr));
            chunk.m_size = 0;
            return;
        }
    }
    chunk.Free();
}

void MediaBatch::BeginWrite(uint64_t& tick) {
    bool handOver = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (tick == m_tick) {
            // The channel was written in this tick already: the next one has begun.
            handOver = MoveStaged();
            ++m_tick;
            m_writesLastTick = m_writesThisTick;
            m_writesThisTick = 0;
        }
        tick = m_tick;
        ++m_writesThisTick;
    }
    if (handOver)
        m_event->Post(m_processor);
}

void MediaBatch::Add(MediaItem&& item) {
    // A block in the middle of speech can wait for the tick's end; nothing else should.
    const bool urgent = item.m_event || item.m_last;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_staged.push_back(std::move(item));
    m_handOverNow = m_handOverNow || urgent;
}

void MediaBatch::EndWrite() {
    bool handOver = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_handOverNow || m_writesThisTick >= m_writesLastTick)
            handOver = MoveStaged();
    }
    if (handOver)
        m_event->Post(m_processor);
}

bool MediaBatch::HandOver() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        MoveStaged();
    }
    return m_event->Post(m_processor);
}

bool MediaBatch::MoveStaged() {
    m_handOverNow = false;
    if (m_staged.empty())
        return false;
    m_event->AppendAll(m_staged);
    return true;
}

}  // namespace Zeph
