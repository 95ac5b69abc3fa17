// One-shot failure injection for CreateEvent, CreateThread, TerminateThread
// and the registry's writes, and the creation counts that tests sweep over.
// Each kind is armed with the number of its calls still to pass; the call
// that brings the count to 0 fails. ResetPlatform disarms every kind and
// zeroes the counts.
#include <mutex>

#include "cehost/core.h"
#include "cehost/counters.h"
#include "core/internal.h"

namespace ce_internal {
namespace {

constexpr int kKinds = static_cast<int>(CallFault::kCount);

struct Faults {
    std::mutex lock;
    uint64_t armed[kKinds] = {};    // guarded by lock; 0: off
    uint64_t created[kKinds] = {};  // guarded by lock
};

Faults& TheFaults() {
    static Faults* faults = new Faults;
    return *faults;
}

void Arm(CallFault kind, uint64_t nth) {
    Faults& f = TheFaults();
    std::lock_guard<std::mutex> g(f.lock);
    f.armed[static_cast<int>(kind)] = nth;
}

uint64_t Created(CallFault kind) {
    Faults& f = TheFaults();
    std::lock_guard<std::mutex> g(f.lock);
    return f.created[static_cast<int>(kind)];
}

struct ResetHook {
    ResetHook() {
        cehost::RegisterResetHook([] {
            Faults& f = TheFaults();
            std::lock_guard<std::mutex> g(f.lock);
            for (int i = 0; i < kKinds; ++i) {
                f.armed[i] = 0;
                f.created[i] = 0;
            }
        });
    }
} resetHook;

}  // namespace

bool InjectCallFault(CallFault kind) {
    Faults& f = TheFaults();
    std::lock_guard<std::mutex> g(f.lock);
    uint64_t& left = f.armed[static_cast<int>(kind)];
    return left != 0 && --left == 0;
}

void CountCreated(CallFault kind) {
    Faults& f = TheFaults();
    std::lock_guard<std::mutex> g(f.lock);
    ++f.created[static_cast<int>(kind)];
}

}  // namespace ce_internal

namespace cehost {

using ce_internal::CallFault;

void FailNthEventCreation(uint64_t nth) {
    ce_internal::Arm(CallFault::kCreateEvent, nth);
}

void FailNthThreadCreation(uint64_t nth) {
    ce_internal::Arm(CallFault::kCreateThread, nth);
}

void FailNthThreadTermination(uint64_t nth) {
    ce_internal::Arm(CallFault::kTerminateThread, nth);
}

void FailNthRegistryWrite(uint64_t nth) {
    ce_internal::Arm(CallFault::kRegistryWrite, nth);
}

uint64_t EventsCreated() {
    return ce_internal::Created(CallFault::kCreateEvent);
}

uint64_t ThreadsCreated() {
    return ce_internal::Created(CallFault::kCreateThread);
}

}  // namespace cehost
