// Handle tables of the emulated USB host (see host.h).
#include <mutex>
#include <vector>

#include "cehost/counters.h"
#include "usbhost/host.h"

namespace cehost {
namespace {

// Handle value: kind in bits 0..3 (never 0, so no handle is null), then the
// slot index, then the slot's generation. With 64-bit pointers the index has
// bits 4..31 and the generation bits 32..63; with 32-bit pointers (the ARM
// target) the index has bits 4..15 and the generation bits 16..31, so a
// handle must fit in a pointer and a stale one is still told from the
// slot's new owner (until its generation comes round again, 65,536 reuses
// later).
constexpr bool kWidePointers = sizeof(uintptr_t) >= 8;
constexpr unsigned kGenerationShift = kWidePointers ? 32 : 16;
constexpr uint64_t kIndexMask = kWidePointers ? 0x0FFFFFFF : 0x0FFF;
constexpr uint64_t kGenerationMask = kWidePointers ? 0xFFFFFFFF : 0xFFFF;

class HandleTable {
  public:
    void* Register(UsbHandleKind kind, std::shared_ptr<void> object) {
        std::lock_guard<std::mutex> g(mu_);
        uint32_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else {
            if (slots_.size() > kIndexMask)
                return nullptr;  // no handle value left: the issue fails
            index = static_cast<uint32_t>(slots_.size());
            slots_.push_back({});
        }
        Slot& s = slots_[index];
        s.object = std::move(object);
        uint64_t v = ((uint64_t(s.generation) & kGenerationMask) << kGenerationShift) |
                     (uint64_t(index) << 4) | static_cast<uint32_t>(kind);
        return reinterpret_cast<void*>(static_cast<uintptr_t>(v));
    }

    std::shared_ptr<void> Lookup(UsbHandleKind kind, const void* handle) {
        std::lock_guard<std::mutex> g(mu_);
        Slot* s = Find(kind, handle);
        return s ? s->object : nullptr;
    }

    bool Release(UsbHandleKind kind, const void* handle) {
        std::lock_guard<std::mutex> g(mu_);
        Slot* s = Find(kind, handle);
        if (!s)
            return false;
        s->object.reset();
        s->generation++;
        free_.push_back(static_cast<uint32_t>(s - slots_.data()));
        return true;
    }

    void Clear() {
        std::lock_guard<std::mutex> g(mu_);
        free_.clear();
        for (size_t i = 0; i < slots_.size(); i++) {
            if (slots_[i].object)
                slots_[i].generation++;
            slots_[i].object.reset();
            free_.push_back(static_cast<uint32_t>(i));
        }
    }

  private:
    struct Slot {
        uint32_t generation = 1;
        std::shared_ptr<void> object;
    };

    Slot* Find(UsbHandleKind kind, const void* handle) {
        uint64_t v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
        if ((v & 0xF) != static_cast<uint32_t>(kind))
            return nullptr;
        uint64_t index = (v >> 4) & kIndexMask;
        if (index >= slots_.size())
            return nullptr;
        Slot& s = slots_[index];
        if (!s.object ||
            (s.generation & kGenerationMask) != ((v >> kGenerationShift) & kGenerationMask))
            return nullptr;
        return &s;
    }

    std::mutex mu_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
};

HandleTable& Table() {
    static HandleTable* t = new HandleTable();  // outlives every static destructor
    return *t;
}

}  // namespace

void* UsbRegisterHandle(UsbHandleKind kind, std::shared_ptr<void> object) {
    return Table().Register(kind, std::move(object));
}
std::shared_ptr<void> UsbLookupHandle(UsbHandleKind kind, const void* handle) {
    return Table().Lookup(kind, handle);
}
bool UsbReleaseHandle(UsbHandleKind kind, const void* handle) {
    return Table().Release(kind, handle);
}
void UsbClearHandles() {
    Table().Clear();
}

void CountStale(const char* what) {
    CountMisuse(what);
}

}  // namespace cehost
