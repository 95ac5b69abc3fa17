// Shared pieces of the stress tests: the port types under test, a cycle's
// platform check (nothing leaked, nothing misused, the heap back to its
// baseline, no platform thread left) and the environment knobs.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "bad_inputs/bad_fixture.h"
#include "cehost/core.h"
#include "cehost/counters.h"

namespace stresstest {

using badtest::Kind;

constexpr Kind kKinds[] = {Kind::kBulk, Kind::kCdc,        Kind::kCtsChip, Kind::kTwoChannel,
                           Kind::kFtdi, Kind::kFtdiHeader, Kind::kType4};
constexpr int kKindCount = sizeof(kKinds) / sizeof(kKinds[0]);

inline uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0')
        return fallback;
    return std::strtoull(v, nullptr, 0);
}

// What a finished cycle left behind, empty when nothing. Sweeps the platform
// (which counts live blocks, handles, critical sections and threads as
// leaks) and compares the heap with the baseline taken at the cycle start.
inline std::string Leftovers(uint64_t baselineBlocks) {
    std::string out;
    const uint64_t live = cehost::GetHeapStats().liveBlocks;
    if (live != baselineBlocks)
        out += "heap blocks " + std::to_string(live) + " != baseline " +
               std::to_string(baselineBlocks) + "; ";
    if (cehost::RunningThreadCount() != 0)
        out += "platform threads running: " + std::to_string(cehost::RunningThreadCount()) + "; ";
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        out += "counters: " + cehost::CountersReport();
    return out;
}

}  // namespace stresstest
