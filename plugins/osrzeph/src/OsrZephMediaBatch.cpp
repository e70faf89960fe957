#include "OsrZephMediaBatch.h"

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
}

MediaBatch::~MediaBatch() {
    // Still queued, it lives on until the processor has run or released it.
    m_event->Unref();
}

void MediaBatch::BeginWrite(uint64_t& tick) {
    bool handOver = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (tick == m_tick) {
            // The channel was written in this tick already: the next one has begun.
            handOver = m_waiting;
            m_waiting = false;
            m_handOverNow = false;
            ++m_tick;
            m_writesLastTick = m_writesThisTick;
            m_writesThisTick = 0;
        }
        tick = m_tick;
        ++m_writesThisTick;
    }
    if (handOver)
        HandOver();
}

void MediaBatch::Add(MediaItem&& item) {
    // A block in the middle of speech can wait for the tick's end; nothing else should.
    const bool urgent = item.m_event || item.m_last;
    m_event->Append(std::move(item));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting = true;
    m_handOverNow = m_handOverNow || urgent;
}

void MediaBatch::EndWrite() {
    bool handOver = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_waiting && (m_handOverNow || m_writesThisTick >= m_writesLastTick)) {
            handOver = true;
            m_waiting = false;
            m_handOverNow = false;
        }
    }
    if (handOver)
        HandOver();
}

bool MediaBatch::HandOver() {
    return m_event->Post(m_processor);
}

}  // namespace Zeph
