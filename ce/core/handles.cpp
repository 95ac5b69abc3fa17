// The handle table shared by the core services and the device manager.
//
// Handle values come from a counter that only grows (in steps of 4, from
// 0x10000), so a value is never handed out twice: a closed handle is told
// apart from an unknown one and never reaches a freed or foreign object.
// Objects are shared: a call that looked a handle up keeps its object alive
// even if another thread closes the handle meanwhile.
#include <deque>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "core/internal.h"
#include "core/registry_internal.h"

namespace cehost {

struct HandleKind {
    std::string name;
    std::string leakName;  // "handle.<name>"
    HandleCloseFn onClose;
};

}  // namespace cehost

namespace ce_internal {
namespace {

constexpr uintptr_t kFirstHandle = 0x10000;
constexpr uintptr_t kHandleStep = 4;

struct Entry {
    const cehost::HandleKind* kind;
    std::shared_ptr<void> object;
    uint64_t epoch;  // ResetPlatform generation the handle was made in
};

struct Table {
    // Shared for look-ups (every SetEvent and wait), exclusive for changes.
    std::shared_mutex lock;
    std::unordered_map<uintptr_t, Entry> live;  // guarded by lock
    uintptr_t next = kFirstHandle;              // guarded by lock
    uint64_t epoch = 1;                         // guarded by lock
    std::deque<cehost::HandleKind> kinds;       // guarded by lock; never shrinks
};

Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

const char* Classify(const Table& t, uintptr_t v) {
    if (v == 0)
        return "handle.null";
    if (v >= kFirstHandle && v < t.next && (v - kFirstHandle) % kHandleStep == 0)
        return "handle.closed";
    return "handle.unknown";
}

struct ResetHook {
    ResetHook() {
        cehost::RegisterResetHook([] {
            Table& t = TheTable();
            std::unique_lock<std::shared_mutex> g(t.lock);
            ++t.epoch;
        });
    }
} resetHook;

}  // namespace

bool FindHandle(HANDLE h, HandleEntryView* out, const char** why) {
    Table& t = TheTable();
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    std::shared_lock<std::shared_mutex> g(t.lock);
    auto it = t.live.find(v);
    if (it == t.live.end()) {
        *why = Classify(t, v);
        return false;
    }
    out->kind = it->second.kind;
    out->object = it->second.object;
    return true;
}

bool TakeHandle(HANDLE h, HandleEntryView* out, const char** why) {
    Table& t = TheTable();
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    std::unique_lock<std::shared_mutex> g(t.lock);
    auto it = t.live.find(v);
    if (it == t.live.end()) {
        *why = Classify(t, v);
        return false;
    }
    out->kind = it->second.kind;
    out->object = std::move(it->second.object);
    t.live.erase(it);
    return true;
}

const char* HandleKindName(const cehost::HandleKind* kind) {
    return kind ? kind->name.c_str() : "?";
}

cehost::HandleCloseFn HandleCloseOf(const cehost::HandleKind* kind) {
    if (!kind)
        return nullptr;
    Table& t = TheTable();
    std::shared_lock<std::shared_mutex> g(t.lock);
    return kind->onClose;
}

void SweepHandleLeaks() {
    std::vector<const cehost::HandleKind*> leaked;
    {
        Table& t = TheTable();
        std::shared_lock<std::shared_mutex> g(t.lock);
        for (const auto& [v, e] : t.live)
            if (e.epoch == t.epoch)
                leaked.push_back(e.kind);
    }
    for (auto k : leaked)
        cehost::CountLeak(k->leakName.c_str());
}

}  // namespace ce_internal

namespace cehost {

const HandleKind* RegisterHandleKind(const char* name, HandleCloseFn onClose) {
    auto& t = ce_internal::TheTable();
    std::unique_lock<std::shared_mutex> g(t.lock);
    for (auto& k : t.kinds)
        if (k.name == name) {
            k.onClose = onClose;
            return &k;
        }
    t.kinds.push_back(HandleKind{name, std::string("handle.") + name, onClose});
    return &t.kinds.back();
}

HANDLE NewHandle(const HandleKind* kind, std::shared_ptr<void> object) {
    auto& t = ce_internal::TheTable();
    std::unique_lock<std::shared_mutex> g(t.lock);
    uintptr_t v = t.next;
    t.next += ce_internal::kHandleStep;
    t.live.emplace(v, ce_internal::Entry{kind, std::move(object), t.epoch});
    return reinterpret_cast<HANDLE>(v);
}

std::shared_ptr<void> PeekHandle(HANDLE h, const HandleKind* kind) {
    ce_internal::HandleEntryView e;
    const char* why = nullptr;
    if (!ce_internal::FindHandle(h, &e, &why) || e.kind != kind)
        return nullptr;
    return e.object;
}

std::shared_ptr<void> LookupHandle(HANDLE h, const HandleKind* kind) {
    ce_internal::HandleEntryView e;
    const char* why = nullptr;
    if (!ce_internal::FindHandle(h, &e, &why)) {
        CountMisuse(why);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (e.kind != kind) {
        CountMisuse("handle.wrongkind");
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return e.object;
}

uint64_t LiveHandleCount(const HandleKind* kind) {
    auto& t = ce_internal::TheTable();
    std::shared_lock<std::shared_mutex> g(t.lock);
    if (!kind)
        return t.live.size();
    uint64_t n = 0;
    for (const auto& [v, e] : t.live)
        if (e.kind == kind)
            ++n;
    return n;
}

uint64_t LiveHandleCount(const std::string& kindName) {
    auto& t = ce_internal::TheTable();
    std::shared_lock<std::shared_mutex> g(t.lock);
    uint64_t n = 0;
    for (const auto& [v, e] : t.live)
        if (e.kind->name == kindName)
            ++n;
    return n;
}

void SweepLeaks() {
    ce_internal::SweepHeapLeaks();
    ce_internal::SweepHandleLeaks();
    ce_internal::SweepSectionLeaks();
    ce_internal::SweepThreadLeaks();
    ce_internal::reg::SweepKeyLeaks();
}

}  // namespace cehost
