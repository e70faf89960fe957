#include "allocation_counter.h"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

// One thread's count, on a cache line of its own: only that thread writes it.
struct alignas(64) Slot {
    std::atomic<long> tid{0};  // 0 until the claiming thread has written its id
    std::atomic<uint64_t> count{0};
};

// Static storage, constant-initialised: usable by the first malloc, before any constructor.
const size_t kSlots = 4096;
Slot sm_slots[kSlots];
std::atomic<size_t> sm_claimed{0};
Slot sm_overflow;  // shared by the threads past kSlots
thread_local Slot* tm_slot = nullptr;

Slot* Claim() {
    size_t index = sm_claimed.fetch_add(1, std::memory_order_relaxed);
    if (index >= kSlots)
        return &sm_overflow;
    sm_slots[index].tid.store(syscall(SYS_gettid), std::memory_order_release);
    return &sm_slots[index];
}

inline void Count() {
    Slot* slot = tm_slot;
    if (!slot)
        slot = tm_slot = Claim();
    if (slot == &sm_overflow)
        slot->count.fetch_add(1, std::memory_order_relaxed);
    else
        slot->count.store(slot->count.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
}

uint64_t MyCount() {
    Count();  // claims the slot if needed; the extra one cancels out in a difference
    return tm_slot->count.load(std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(size_t size) noexcept {
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) noexcept {
    Count();
    return __libc_realloc(pointer, size);
}

void free(void* pointer) noexcept {
    __libc_free(pointer);
}

void* memalign(size_t alignment, size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    Count();
    void* pointer = __libc_memalign(alignment, size);
    if (!pointer)
        return ENOMEM;
    *out = pointer;
    return 0;
}

}  // extern "C"

namespace ZephBench {

std::map<long, uint64_t> AllocationsByThread() {
    // Every slot is read before the map allocates its nodes (which count on this thread).
    const size_t claimed = std::min(sm_claimed.load(std::memory_order_relaxed), kSlots);
    long tids[kSlots];
    uint64_t counts[kSlots];
    for (size_t i = 0; i < claimed; ++i) {
        tids[i] = sm_slots[i].tid.load(std::memory_order_acquire);
        counts[i] = sm_slots[i].count.load(std::memory_order_relaxed);
    }
    const uint64_t overflow = sm_overflow.count.load(std::memory_order_relaxed);
    std::map<long, uint64_t> by_thread;
    for (size_t i = 0; i < claimed; ++i) {
        if (tids[i] != 0)
            by_thread[tids[i]] += counts[i];
    }
    if (overflow > 0)
        by_thread[-1] = overflow;
    return by_thread;
}

bool AllocationCountingWorks() {
    // Through volatile pointers, so that the compiler keeps each call.
    uint64_t before = MyCount();
    void* volatile block = std::malloc(16);
    std::free(block);
    void* volatile object = ::operator new(16);
    ::operator delete(object);
    return MyCount() - before == 3;  // malloc, operator new, MyCount's own
}

}  // namespace ZephBench
