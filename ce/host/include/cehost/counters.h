// Misuse and leak counters of the emulated platform.
//
// The platform is stricter than the real one: every misuse it can detect (a
// null, closed or wrong-kind handle, a double close, a critical section used
// after deletion, a free of a block that is not live, a transfer used after
// CloseTransfer, a transfer never closed by the time its device is gone ...)
// returns the documented failure and is counted here under a short name.
// Tests assert that the counts stay 0. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace cehost {

// Counts one misuse of the given kind ("handle.closed", "cs.deleted", ...).
// With CEHOST_TRAP_MISUSE=<kind> or =all in the environment it aborts
// instead, for a debugger to show where.
void CountMisuse(const char* kind);
// Counts one leak of the given kind ("usb.transfer.unclosed", ...).
void CountLeak(const char* kind);

uint64_t MisuseTotal();
uint64_t LeakTotal();
std::map<std::string, uint64_t> MisuseCounts();
std::map<std::string, uint64_t> LeakCounts();
// Human-readable "kind=N, kind=N" of both maps, for assertion messages.
std::string CountersReport();
void ResetCounters();
// Takes n counts of a kind back (a test that provoked them on purpose).
// Returns false, changing nothing, when fewer than n were counted.
bool DiscountMisuse(const char* kind, uint64_t n);
bool DiscountLeak(const char* kind, uint64_t n);

// Brings the whole platform back to its state at start: registry emptied,
// counters zeroed, tick offset 0, hidden procedures restored, in-process
// libraries and failure injections cleared. Each subsystem registers what it
// must reset; hooks run in registration order. Call only while no platform
// thread of the test is running.
void ResetPlatform();
void RegisterResetHook(void (*hook)());

}  // namespace cehost
