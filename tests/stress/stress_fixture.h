// Shared pieces of the stress tests: the port types under test, a cycle's
// platform check (nothing leaked, nothing misused, the heap back to its
// baseline, no platform thread left) and the environment knobs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "bad_inputs/bad_fixture.h"
#include "cehost/core.h"
#include "cehost/counters.h"

namespace stresstest {

// The port types under test, by device model (one of each).
constexpr const char* kKinds[] = {"bulk", "cdc-acm",     "cdc-cts", "cdc-two-channel",
                                  "ftdi", "ftdi-header", "rcs310"};

inline uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0')
        return fallback;
    return std::strtoull(v, nullptr, 0);
}

// What a finished cycle left behind, empty when nothing. Sweeps the platform
// (which counts live blocks, handles, critical sections and threads as
// leaks) and compares the heap with the baseline taken at the cycle start.
//
// `killedWorkers` workers terminated anywhere may each have lost the handle
// of a transfer they were issuing (its pipe was closed first, so nothing is
// written into freed memory): up to that many unclosed transfers are
// forgiven and added to *lostTransfers.
inline std::string Leftovers(uint64_t baselineBlocks, uint64_t killedWorkers = 0,
                             uint64_t* lostTransfers = nullptr) {
    std::string out;
    const uint64_t live = cehost::GetHeapStats().liveBlocks;
    if (live != baselineBlocks)
        out += "heap blocks " + std::to_string(live) + " != baseline " +
               std::to_string(baselineBlocks) + "; ";
    if (cehost::RunningThreadCount() != 0)
        out += "platform threads running: " + std::to_string(cehost::RunningThreadCount()) + "; ";
    cehost::SweepLeaks();
    // A worker the driver terminated under TerminationMode::kAnywhere stays
    // parked (its stack is the platform's leak, not the driver's) and may
    // keep a section owned: harmless unless the driver enters it again,
    // which is counted apart ("cs.enter.owner.killed") and hangs.
    cehost::DiscountLeak("thread.parked", cehost::ParkedThreadCount());
    if (killedWorkers != 0 && lostTransfers != nullptr) {
        auto leaks = cehost::LeakCounts();
        const uint64_t lost = std::min(leaks["usb.transfer.unclosed"], killedWorkers);
        cehost::DiscountLeak("usb.transfer.unclosed", lost);
        *lostTransfers += lost;
    }
    auto misuse = cehost::MisuseCounts();
    cehost::DiscountMisuse("thread.killed.holding.cs", misuse["thread.killed.holding.cs"]);
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        out += "counters: " + cehost::CountersReport();
    return out;
}

// Opens "COM1:" and echoes `n` bytes through the loopback plug: empty when
// they all came back in order, else what went wrong.
inline std::string Echo(size_t n) {
    HANDLE h = comtest::OpenCom();
    if (h == INVALID_HANDLE_VALUE)
        return "\"COM1:\" did not open";
    COMMTIMEOUTS t{0, 0, 2000, 0, 2000};
    SetCommTimeouts(h, &t);
    const bool intact = comtest::WriteAll(h, comtest::PatternBytes(n)) == n &&
                        comtest::ReadAll(h, n) == comtest::PatternBytes(n);
    CloseHandle(h);
    return intact ? "" : "the port lost or changed data";
}

}  // namespace stresstest
