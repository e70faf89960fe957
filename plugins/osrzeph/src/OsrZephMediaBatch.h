// The hand-off of detector output from the media thread to the engine's event processor,
// one post per media tick.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include <ostedpf/OstEdpfAsyncEvent.h>
#include <ostedpf/OstEdpfBatchEvent.h>

#include "OsrZephDataChunk.h"

namespace Zeph {

class Channel;

// One piece of detector output for a channel: a block of speech (the frequent case, which
// needs no event object of its own) or any other channel event (start of input, DTMF, stop,
// no input). The channel outlives the item: its deletion is posted behind every item handed
// over for it (Engine::PostEvent).
struct MediaItem {
    Channel* m_channel = nullptr;
    OstEdpf::AsyncEvent* m_event = nullptr;  // one reference; null for a speech block
    DataChunk m_chunk;
    bool m_last = false;

    MediaItem() = default;
    MediaItem(MediaItem&& other) noexcept;
    MediaItem& operator=(MediaItem&& other) noexcept;
    ~MediaItem();
};

// The items of every channel of the engine, carried over by one reused event.
//
// A media thread serves every channel once per 10 ms tick. Speech blocks that are not the
// last of an input wait until the tick has served every channel and then go over together;
// any other item goes over at once, with what waited before it. Whether the tick is over is
// learnt from the writes: a tick is over once as many channels have been written as in the
// tick before, or, at the latest, when a channel is written a second time (the next tick
// has begun). So a block waits at most one tick, and nothing waits once a channel's input
// ends.
//
// Order: items are appended and handled in the order the detector produced them, so a
// channel's items keep their order; Engine::PostEvent hands over what waits before it posts,
// so whatever the media thread produced before a server call (a close, a channel's
// destruction) is handled before it.
//
// Threads: BeginWrite, Add, EndWrite on the media thread(s), one channel at a time each;
// HandOver from any thread; Handle on the engine's event processor thread.
class MediaBatch {
public:
    MediaBatch();
    ~MediaBatch();
    MediaBatch(const MediaBatch&) = delete;
    MediaBatch& operator=(const MediaBatch&) = delete;

    // Where the items go; null drops them. Before the first write.
    void SetProcessor(OstEdpf::AsyncEventProcessor* processor) { m_processor = processor; }

    // Around each frame a channel is written; `tick` is the channel's own mark, kept by the
    // channel for this batch only.
    void BeginWrite(uint64_t& tick);
    void Add(MediaItem&& item);
    void EndWrite();

    // Hands over what waits. FALSE when the processor refused it (it has stopped).
    bool HandOver();

    // Media thread: a chunk holding a copy of `count` bytes, in a recycled buffer when one
    // is large enough (else as DataChunk::Copy).
    DataChunk CopyAudio(const void* bytes, uint64_t count);
    // Any thread: keeps the chunk's buffer for a later block (at most kSpareBuffers are
    // kept; the others are freed).
    void Recycle(DataChunk&& chunk);

private:
    // Enough for every channel's block of a tick at a few hundred channels; the rest of a
    // burst goes through malloc.
    static constexpr size_t kSpareBuffers = 256;

    class Event : public OstEdpf::BatchEvent<MediaItem> {
    protected:
        void Handle(MediaItem& item) override;
    };

    OstEdpf::AsyncEventProcessor* m_processor = nullptr;
    Event* m_event;  // one reference held by the batch

    // m_mutex held: moves the staged items into the event; TRUE when there were any.
    bool MoveStaged();

    // Media threads (and HandOver): the items of the tick so far, and the tick bookkeeping.
    // The event's own lock is taken once per hand-over, not per item, so the processor
    // taking a batch rarely meets the media thread adding to the next.
    std::mutex m_mutex;
    std::vector<MediaItem> m_staged;
    uint64_t m_tick = 0;         // the tick being served
    int m_writesThisTick = 0;    // channels written in it
    int m_writesLastTick = 0;    // channels written in the tick before
    bool m_handOverNow = false;  // an item that must not wait

    // Buffers of blocks already sent, for the next blocks: a block then costs no allocation.
    std::mutex m_spareMutex;
    std::vector<void*> m_spareBuffers;
};

}  // namespace Zeph
