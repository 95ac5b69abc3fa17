// Local heap. Blocks are tracked in a table so that a free of a block that is
// not live is refused and counted instead of corrupting the host heap.
// LMEM_FIXED blocks are filled with 0xCD, freed blocks with 0xDD before they
// go back to the host heap, so reads of uninitialised or freed memory show.
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "ce/heap.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "core/internal.h"

namespace ce_internal {
namespace {

constexpr size_t kMaxBlock = size_t{1} << 30;

struct Block {
    size_t size;
    uint64_t epoch;
};

struct Heap {
    std::mutex lock;
    std::unordered_map<void*, Block> live;  // guarded by lock
    uint64_t liveBytes = 0;                 // guarded by lock
    uint64_t allocations = 0;               // guarded by lock
    uint64_t failed = 0;                    // guarded by lock
    uint64_t epoch = 1;                     // guarded by lock
    // Failure injection, counted in allocation attempts from when it was set.
    uint64_t failOnceIn = 0;   // 0: off; 1: the next attempt fails
    uint64_t failAllFrom = 0;  // 0: off; attempts still to pass before failing
    bool failingAll = false;
};

Heap& TheHeap() {
    static Heap* heap = new Heap;
    return *heap;
}

// Called under the heap lock for every allocation attempt.
bool InjectFailure(Heap& h) {
    bool fail = false;
    if (h.failOnceIn != 0 && --h.failOnceIn == 0)
        fail = true;
    if (h.failAllFrom != 0 && --h.failAllFrom == 0)
        h.failingAll = true;
    return fail || h.failingAll;
}

struct ResetHook {
    ResetHook() {
        cehost::RegisterResetHook([] {
            Heap& h = TheHeap();
            std::lock_guard<std::mutex> g(h.lock);
            ++h.epoch;
            h.allocations = 0;
            h.failed = 0;
            h.failOnceIn = 0;
            h.failAllFrom = 0;
            h.failingAll = false;
        });
    }
} resetHook;

}  // namespace

void SweepHeapLeaks() {
    uint64_t n = 0;
    {
        Heap& h = TheHeap();
        std::lock_guard<std::mutex> g(h.lock);
        for (const auto& [p, b] : h.live)
            if (b.epoch == h.epoch)
                ++n;
    }
    for (uint64_t i = 0; i < n; ++i)
        cehost::CountLeak("heap.block");
}

}  // namespace ce_internal

using namespace ce_internal;

CEAPI HLOCAL LocalAlloc(UINT uFlags, size_t uBytes) {
    ce_internal::PlatformCall call;
    Heap& h = TheHeap();
    if (uFlags & ~LMEM_ZEROINIT) {
        // Movable memory does not exist here; a driver has no use for it.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> g(h.lock);
        // An absurd size (a negative length cast to size_t, say) fails like
        // an exhausted heap instead of reaching the host allocator.
        if (InjectFailure(h) || uBytes > kMaxBlock) {
            ++h.failed;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    // A zero-byte request still yields a distinct block.
    void* p = std::malloc(uBytes ? uBytes : 1);
    if (!p) {
        std::lock_guard<std::mutex> g(h.lock);
        ++h.failed;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memset(p, (uFlags & LMEM_ZEROINIT) ? 0x00 : 0xCD, uBytes);
    std::lock_guard<std::mutex> g(h.lock);
    h.live[p] = Block{uBytes, h.epoch};
    h.liveBytes += uBytes;
    ++h.allocations;
    return p;
}

CEAPI HLOCAL LocalFree(HLOCAL hMem) {
    ce_internal::PlatformCall call;
    if (!hMem)
        return nullptr;
    Heap& h = TheHeap();
    size_t size;
    {
        std::lock_guard<std::mutex> g(h.lock);
        auto it = h.live.find(hMem);
        if (it == h.live.end()) {
            cehost::CountMisuse("heap.free.notlive");
            SetLastError(ERROR_INVALID_HANDLE);
            return hMem;
        }
        size = it->second.size;
        h.liveBytes -= size;
        h.live.erase(it);
    }
    std::memset(hMem, 0xDD, size);
    std::free(hMem);
    return nullptr;
}

namespace cehost {

HeapStats GetHeapStats() {
    Heap& h = TheHeap();
    std::lock_guard<std::mutex> g(h.lock);
    return HeapStats{h.live.size(), h.liveBytes, h.allocations, h.failed};
}

void FailNthAllocation(uint64_t nth) {
    Heap& h = TheHeap();
    std::lock_guard<std::mutex> g(h.lock);
    h.failOnceIn = nth;
}

void FailAllAllocationsFrom(uint64_t nth) {
    Heap& h = TheHeap();
    std::lock_guard<std::mutex> g(h.lock);
    h.failAllFrom = nth;
    h.failingAll = false;
}

void ClearAllocationFailures() {
    Heap& h = TheHeap();
    std::lock_guard<std::mutex> g(h.lock);
    h.failOnceIn = 0;
    h.failAllFrom = 0;
    h.failingAll = false;
}

}  // namespace cehost
