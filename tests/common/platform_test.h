// Base fixture of every test suite that runs on the emulated platform.
//
// SetUp brings the platform back to its starting state (empty registry,
// counters zeroed, tick offset 0, no failure injection). TearDown sweeps for
// what the test left behind (heap blocks, handles, registry keys, critical
// sections, running threads: counted as leaks) and fails the test when any
// misuse or leak was counted, printing the counters. A test that provokes
// misuse on purpose declares it with ExpectMisuse, which checks the count
// and takes it back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "cehost/core.h"
#include "cehost/counters.h"

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { cehost::ResetPlatform(); }

    void TearDown() override {
        if (sweepLeaks_)
            cehost::SweepLeaks();
        EXPECT_EQ(cehost::MisuseTotal(), 0u) << cehost::CountersReport();
        EXPECT_EQ(cehost::LeakTotal(), 0u) << cehost::CountersReport();
    }

    // Checks that exactly n misuses of this kind were counted so far (since
    // the last ExpectMisuse of the kind), then discounts them.
    void ExpectMisuse(const std::string& kind, uint64_t n) {
        auto counts = cehost::MisuseCounts();
        uint64_t have = counts.count(kind) ? counts[kind] : 0;
        EXPECT_EQ(have, n) << "misuse \"" << kind << "\"; " << cehost::CountersReport();
        cehost::DiscountMisuse(kind.c_str(), have < n ? have : n);
    }

    // The same for leaks (after an explicit cehost::SweepLeaks()).
    void ExpectLeak(const std::string& kind, uint64_t n) {
        auto counts = cehost::LeakCounts();
        uint64_t have = counts.count(kind) ? counts[kind] : 0;
        EXPECT_EQ(have, n) << "leak \"" << kind << "\"; " << cehost::CountersReport();
        cehost::DiscountLeak(kind.c_str(), have < n ? have : n);
    }

    // For a test that deliberately keeps platform objects past its end.
    void SkipLeakSweep() { sweepLeaks_ = false; }

  private:
    bool sweepLeaks_ = true;
};
