// The spin a waiter runs before it sleeps: events, critical sections
// (sync.cpp) and the bus scheduler's sleep (usbhost/bus.cpp).
//
// Waking a thread that sleeps costs tens of microseconds when its CPU has
// gone idle (the hypervisor has to bring the virtual CPU back), far more
// than the hand-off itself. A waiter that expects its wake-up soon therefore
// spins for up to SpinWindow() first, giving its CPU away every kYieldEvery
// pauses so that a waker placed on the same CPU runs meanwhile. Whether a
// wait expects it soon is learned per object (SpinGauge): a wait spins the
// window only while at least a quarter of the recent waits on its object
// ended within the window, and otherwise spins kShortRounds pauses (well
// under a microsecond) only, so that an object waited on for milliseconds
// (a full-speed bus, an idle port) costs no CPU. Nothing spins on a one-CPU
// host.
//
// SERLYNX_SPIN_US sets the window in microseconds (0: never spin), read
// once, for measuring what the spin buys on a host.
//
// Threads: any. A SpinGauge is read and updated by its object's waiters
// with relaxed atomics: two waiters updating it at once may lose one
// update, which only makes the estimate a little older.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace ce_internal {

constexpr int kYieldEvery = 16;
constexpr int kShortRounds = 64;

inline std::chrono::steady_clock::duration SpinWindow() {
    static const std::chrono::steady_clock::duration window = [] {
        const char* v = std::getenv("SERLYNX_SPIN_US");
        long us = v != nullptr ? std::strtol(v, nullptr, 10) : 50;
        if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
            us = 0;
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::microseconds(std::clamp(us, 0L, 10000L)));
    }();
    return window;
}

// One step of a spin wait.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield" ::: "memory");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// The share of an object's recent waits that ended within the spin window,
// in 256ths, each wait weighing 1/8.
class SpinGauge {
public:
    bool Expects() const { return share_.load(std::memory_order_relaxed) >= 64; }
    // `waited`: how long a wait took, from finding nothing to its end.
    void Learn(std::chrono::steady_clock::duration waited) {
        const uint32_t s = share_.load(std::memory_order_relaxed);
        share_.store(s - s / 8 + (waited <= SpinWindow() ? 32 : 0), std::memory_order_relaxed);
    }

private:
    std::atomic<uint32_t> share_{128};  // a new object: expect a short wait
};

// Spins until ready(), the end of the spin or `until`, whichever comes
// first; true when ready() said so.
template <class Ready>
bool Spin(const SpinGauge& gauge, Ready ready,
          std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max()) {
    if (SpinWindow() == std::chrono::steady_clock::duration::zero())
        return false;
    if (!gauge.Expects()) {
        for (int i = 0; i < kShortRounds; ++i) {
            if (ready())
                return true;
            CpuRelax();
        }
        return false;
    }
    until = std::min(until, std::chrono::steady_clock::now() + SpinWindow());
    for (int i = 1;; ++i) {
        if (ready())
            return true;
        if (i % kYieldEvery != 0) {
            CpuRelax();
            continue;
        }
        if (std::chrono::steady_clock::now() >= until)
            return false;
        sched_yield();
    }
}

}  // namespace ce_internal
