// Seeded random unplug and fault cycles over every port type. A cycle:
// first attach, configured attach, several handles opened, reads, writes and
// comm-event waits blocked in other threads, injected USB faults and
// allocation failures, then the device goes at a random step (a plain
// removal, a removal racing control requests, opens and closes, or a
// removal at the Nth call of a kind of USB function). Afterwards every
// blocked call has returned promptly, a fresh device of the same kind gets
// "COM1:" again and moves data, and once everything is gone the platform
// shows no leak, no misuse and the heap at its starting level.
//
// SERLYNX_STRESS_SEED: first seed (cycle i uses seed + i);
// SERLYNX_STRESS_CYCLES: number of cycles. A failing cycle prints its seed;
// replay it with SERLYNX_STRESS_SEED=<seed> SERLYNX_STRESS_CYCLES=1.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "stress_fixture.h"

#ifndef SERLYNX_STRESS_DEFAULT_CYCLES
#define SERLYNX_STRESS_DEFAULT_CYCLES 100
#endif

namespace stresstest {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a blocked call may take to return once the removal started.
constexpr auto kReturnLimit = 1500ms;

// One application thread repeating a blocking call until the device is gone
// (the call fails) or the cycle tells it to stop.
struct Blocker {
    std::thread thread;
    std::atomic<bool> done{false};
    Clock::time_point end;
};

enum class Op { kRead, kWrite, kWait };

enum class UnplugMode { kPlain, kRacing, kAtCall, kAfterClose };

using enum cehost::UsbCall;
const cehost::UsbCall kAtCalls[] = {
    kIssueVendorTransfer, kIssueBulkTransfer, kIssueInterruptTransfer,
    kAbortTransfer,       kCloseTransfer,     kGetTransferStatus,
    kIsTransferComplete,  kClearFeature,      kResetPipe,
    kIsPipeHalted,        kClosePipe,         kGetDescriptor};

// Workers terminated by their port's teardown (TerminationMode::kAnywhere),
// and the sections they kept owned.
uint64_t gWorkersKilled = 0;
uint64_t gKilledHolding = 0;
uint64_t gTransfersLost = 0;  // issued by a killed worker, never recorded

class Cycle {
  public:
    explicit Cycle(uint64_t seed) : seed_(seed), rng_(seed) {
        kind_ = kKinds[seed % std::size(kKinds)];
        info_ = badtest::Path(kind_);
    }

    // Runs the cycle; empty when every invariant held, else what broke.
    std::string Run() {
        cehost::ResetPlatform();
        const uint64_t baseline = cehost::GetHeapStats().liveBlocks;
        {
            bus_ = std::make_unique<cehost::UsbBus>();
            if (!cehost::UsbInstallClient(u"serlynx.dll"))
                return "install failed";
            Body();
            if (id_ != 0 && bus_->IsPlugged(id_))
                bus_->Unplug(id_);
            bus_.reset();
        }
        cehost::ClearAllocationFailures();
        if (EnvNumber("SERLYNX_STRESS_VERBOSE", 0) != 0)
            std::fprintf(stderr, "seed %llu: %s [%s]\n", static_cast<unsigned long long>(seed_),
                         kind_, trace_.c_str());
        const uint64_t killed = cehost::ParkedThreadCount();
        gWorkersKilled += killed;
        auto misuse = cehost::MisuseCounts();
        gKilledHolding += misuse["thread.killed.holding.cs"];
        std::string left = Leftovers(baseline, killed, &gTransfersLost);
        if (!left.empty())
            Fail(left);
        return failure_;
    }

  private:
    uint64_t Pick(uint64_t n) { return n == 0 ? 0 : rng_() % n; }
    bool Chance(int percent) { return static_cast<int>(Pick(100)) < percent; }
    void Fail(const std::string& what) {
        if (failure_.empty())
            failure_ = std::string(kind_) + " [" + trace_ + "]: " + what;
    }

    void MaybeFailAllocation(const char* step, int percent, uint64_t range) {
        if (Chance(percent)) {
            const uint64_t n = 1 + Pick(range);
            trace_ += std::string(step) + "-alloc" + std::to_string(n) + " ";
            cehost::FailNthAllocation(n);
        }
    }

    void Body() {
        model_ = badtest::MakeChip(kind_);
        const std::u16string key = comtest::DeviceKeyPath(model_->DeviceDescriptor());
        // First attach, which writes the device key, maybe short of memory.
        MaybeFailAllocation("plug", 25, 3);
        id_ = bus_->Plug(model_);
        cehost::ClearAllocationFailures();
        if (id_ == 0)
            return Fail("first plug did not enumerate");
        if (!cehost::RegKeyExists(key))
            return;  // the first attach ran out of memory: nothing to serve
        // Configured attach and port start, maybe short of memory.
        MaybeFailAllocation("replug", 30, 8);
        id_ = bus_->Replug(id_);
        cehost::ClearAllocationFailures();
        if (id_ == 0)
            return Fail("replug did not enumerate");

        OpenHandles();
        if (handles_.empty()) {
            UnplugNow();
        } else {
            InjectFaults();
            StartBlockers();
            MaybeKillWorker();
            UnplugAtRandomStep();
            CheckBlockersReturned();
            for (HANDLE h : handles_)
                CloseHandle(h);
            handles_.clear();
        }
        if (!failure_.empty())
            return;
        ReuseName();
    }

    void OpenHandles() {
        MaybeFailAllocation("open", 25, 2);
        HANDLE first = comtest::OpenCom();
        cehost::ClearAllocationFailures();
        if (first == INVALID_HANDLE_VALUE)
            first = comtest::OpenCom();  // a failed open leaves the port usable
        if (first == INVALID_HANDLE_VALUE)
            return;  // the port never started (memory ran out in its attach)
        handles_.push_back(first);
        // More handles: a query-only one and maybe a second read/write one
        // (which the port may refuse).
        const int more = static_cast<int>(Pick(3));
        for (int i = 0; i < more; ++i) {
            HANDLE h = comtest::OpenCom(i == 0 ? 0 : GENERIC_READ | GENERIC_WRITE);
            if (h != INVALID_HANDLE_VALUE)
                handles_.push_back(h);
        }
        COMMTIMEOUTS none{0, 0, 0, 0, 0};  // reads wait for the whole count
        SetCommTimeouts(first, &none);
        SetCommMask(first, EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR |
                               EV_RING);
    }

    int RandomEndpoint() {
        const int eps[] = {0, info_.dataIn, info_.dataOut, info_.statusIn, cehost::kAnyEndpoint};
        for (;;) {
            int ep = eps[Pick(5)];
            if (ep != 0 || Chance(30))
                return ep;
        }
    }

    void InjectFaults() {
        const int count = static_cast<int>(Pick(3));
        for (int i = 0; i < count; ++i) {
            cehost::UsbFaultTarget target{RandomEndpoint(), cehost::kAnyRequest};
            const int times = 1 + static_cast<int>(Pick(3));
            const uint64_t fault = Pick(7);
            trace_ += "fault" + std::to_string(fault) + "@" + std::to_string(target.endpoint) +
                      "x" + std::to_string(times) + " ";
            const DWORD errors[] = {USB_CRC_ERROR, USB_STALL_ERROR, USB_DEVICE_NOT_RESPONDING_ERROR,
                                    USB_DATA_UNDERRUN_ERROR, USB_CANCELED_ERROR};
            const auto ep = static_cast<uint8_t>(target.endpoint);
            const std::function<void()> faults[] = {
                [&] { bus_->FailIssues(id_, target, times); },
                [&] { bus_->CompleteWithError(id_, target, errors[Pick(5)], times); },
                [&] {
                    if (target.endpoint > 0)
                        bus_->Stall(id_, ep);
                },
                [&] { bus_->NeverComplete(id_, target, times); },
                [&] { bus_->CompleteOutOfOrder(id_, target, times); },
                [&] { bus_->CorruptData(id_, target, cehost::UsbDataFault(Pick(3)), times); },
                [&] { bus_->FailTransferStatus(id_, target, times); }};
            faults[fault]();
        }
    }

    void StartBlockers() {
        // At least one blocked call on the first handle, plus any others on
        // the first or a second read/write handle.
        const Op ops[] = {Op::kRead, Op::kWrite, Op::kWait};
        const int count = 1 + static_cast<int>(Pick(4));
        for (int i = 0; i < count; ++i) {
            size_t at = handles_.size() == 3 && Chance(40) ? 2 : 0;
            busy_[at] = true;
            const Op op = ops[Pick(3)];
            trace_ += "op" + std::to_string(static_cast<int>(op)) + "@" + std::to_string(at) + " ";
            StartBlocker(handles_[at], op);
        }
    }

    void StartBlocker(HANDLE h, Op op) {
        auto b = std::make_unique<Blocker>();
        Blocker* raw = b.get();
        raw->thread = std::thread([this, raw, h, op] {
            std::vector<uint8_t> buffer = comtest::PatternBytes(op == Op::kWrite ? 3000 : 4096);
            for (;;) {
                if (stop_.load())
                    break;
                DWORD n = 0;
                const DWORD size = static_cast<DWORD>(buffer.size());
                const BOOL ok = op == Op::kRead    ? ReadFile(h, buffer.data(), size, &n, nullptr)
                                : op == Op::kWrite ? WriteFile(h, buffer.data(), size, &n, nullptr)
                                                   : WaitCommEvent(h, &n, nullptr);
                if (!ok && unplugStarted_.load())
                    break;
                if (!ok)
                    std::this_thread::sleep_for(1ms);  // a fault, not the removal
            }
            raw->end = Clock::now();
            raw->done.store(true);
        });
        blockers_.push_back(std::move(b));
    }

    // Control requests, opens and closes the application might make while
    // the device goes.
    void RandomRequests(int count) {
        for (int i = 0; i < count; ++i) {
            HANDLE h = handles_[Pick(handles_.size())];
            DWORD word = 0;
            COMSTAT stat{};
            const std::function<void()> requests[] = {
                [&] {
                    comtest::EditDcb(h, [&](DCB& d) { d.BaudRate = Chance(50) ? 9600 : 115200; });
                },
                [&] { EscapeCommFunction(h, Chance(50) ? SETDTR : CLRDTR); },
                [&] { PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR); },
                [&] { GetCommModemStatus(h, &word); },
                [&] { ClearCommError(h, &word, &stat); },
                [&] {  // one more handle opened and closed
                    HANDLE extra = comtest::OpenCom(0);
                    if (extra != INVALID_HANDLE_VALUE)
                        CloseHandle(extra);
                },
                [&] { (void)(SetCommBreak(h) && ClearCommBreak(h)); },
                [&] { TransmitCommChar(h, 'x'); }};
            requests[Pick(8)]();
        }
    }

    // Under TerminationMode::kAnywhere (SERLYNX_TERMINATION=anywhere), the
    // port's teardown may find its worker slow to end, at a random moment,
    // and terminate it wherever it is.
    void MaybeKillWorker() {
        if (cehost::GetTerminationMode() != cehost::TerminationMode::kAnywhere || !Chance(60))
            return;
        const auto after = std::chrono::microseconds(Chance(50) ? 0 : Pick(300));
        trace_ += "kill@" + std::to_string(after.count()) + "us ";
        cehost::CutShortThreadWaits(1, after);
    }

    void UnplugNow() {
        unplugStarted_.store(true);
        unplugAt_ = Clock::now();
        if (bus_->IsPlugged(id_))
            bus_->Unplug(id_);
        else
            bus_->WaitUnplugged(id_);
    }

    void UnplugAtRandomStep() {
        std::this_thread::sleep_for(std::chrono::milliseconds(Pick(15)));
        const auto mode = static_cast<UnplugMode>(Pick(4));
        trace_ += "handles" + std::to_string(handles_.size()) + " blockers" +
                  std::to_string(blockers_.size()) + " mode" + std::to_string(int(mode)) + " ";
        switch (mode) {
            case UnplugMode::kPlain:
                UnplugNow();
                break;
            case UnplugMode::kRacing: {
                // The removal runs while this thread keeps making requests.
                const auto delay = std::chrono::microseconds(Pick(3000));
                std::thread remover([this, delay] {
                    std::this_thread::sleep_for(delay);
                    UnplugNow();
                });
                RandomRequests(2 + static_cast<int>(Pick(6)));
                remover.join();
                break;
            }
            case UnplugMode::kAtCall: {
                const auto call = kAtCalls[Pick(sizeof(kAtCalls) / sizeof(kAtCalls[0]))];
                const int nth = 1 + static_cast<int>(Pick(3));
                trace_ += "call" + std::to_string(static_cast<int>(call)) + "#" +
                          std::to_string(nth) + " ";
                bus_->UnplugAtCall(id_, call, nth);
                // The requests run in their own thread: one may block on a
                // transfer that never completes until the device goes.
                const int requests = 1 + static_cast<int>(Pick(6));
                const auto pause = std::chrono::milliseconds(5 + Pick(10));
                std::thread requester([this, requests] { RandomRequests(requests); });
                std::this_thread::sleep_for(pause);
                // The call may have made the device go already (its removal
                // then started no later than now).
                UnplugNow();
                requester.join();
                break;
            }
            case UnplugMode::kAfterClose:
                // Handles without blocked calls close first; the removal
                // then tears down with the rest still open.
                for (size_t i = handles_.size(); i-- > 1;) {
                    if (!busy_[i]) {
                        CloseHandle(handles_[i]);
                        handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(i));
                    }
                }
                UnplugNow();
                break;
        }
    }

    void CheckBlockersReturned() {
        // Removal started at unplugAt_; every blocked call must be back
        // within the limit of it (a slack for the sanitizers' slow threads
        // is not given: the limit is what applications are promised).
        const auto hardStop = Clock::now() + 10s;
        for (auto& b : blockers_) {
            while (!b->done.load() && Clock::now() < hardStop)
                std::this_thread::sleep_for(2ms);
        }
        stop_.store(true);
        for (auto& b : blockers_) {
            if (!b->done.load()) {
                std::fprintf(stderr, "stress seed %llu: a blocked call never returned\n",
                             static_cast<unsigned long long>(seed_));
                std::fflush(stderr);
                std::abort();  // the thread cannot be joined; the seed is printed
            }
            b->thread.join();
            const auto late = b->end - unplugAt_;
            if (late > kReturnLimit)
                Fail("a blocked call returned " + std::to_string(late / 1ms) +
                     " ms after the removal started");
        }
        blockers_.clear();
    }

    // A fresh device of the same kind is served as "COM1:" again (the name
    // was released) and moves data.
    void ReuseName() {
        cehost::ClearAllocationFailures();
        model_ = badtest::MakeChip(kind_);
        id_ = bus_->Plug(model_);
        if (id_ == 0 || bus_->Owner(id_) != u"Serlynx")
            return Fail("a fresh device was not claimed after the removal");
        const std::string echo = Echo(64);
        if (!echo.empty())
            Fail(echo + " after the removal");
        bus_->Unplug(id_);
    }

    uint64_t seed_;
    std::mt19937_64 rng_;
    const char* kind_;
    sim::DataPath info_;
    std::unique_ptr<cehost::UsbBus> bus_;
    std::shared_ptr<cehost::UsbDeviceModel> model_;
    cehost::UsbDeviceId id_ = 0;
    std::vector<HANDLE> handles_;
    std::vector<std::unique_ptr<Blocker>> blockers_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> unplugStarted_{false};
    Clock::time_point unplugAt_;
    bool busy_[3] = {false, false, false};  // handles with blocked calls
    std::string failure_;
    std::string trace_;  // the steps taken, for the failure message
};

// A cycle that crashes the process still names its seed: the handler
// writes the text made before the cycle (async-signal-safe) and hands the
// signal on to whatever handled it before (the default action, or a
// sanitizer's reporter).
char crashText[96];
volatile sig_atomic_t crashTextLength = 0;
struct sigaction previousActions[NSIG];

void CrashHandler(int sig) {
    [[maybe_unused]] ssize_t w = write(2, crashText, static_cast<size_t>(crashTextLength));
    sigaction(sig, &previousActions[sig], nullptr);
    if (sig == SIGABRT)
        raise(sig);  // a fault re-runs the faulting instruction instead
}

void InstallCrashHandler() {
    static bool installed = false;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        struct sigaction action {};
        action.sa_handler = CrashHandler;
        action.sa_flags = SA_NODEFER;  // sa_mask: empty
        if (!installed)
            sigaction(sig, &action, &previousActions[sig]);
    }
    installed = true;
}

class UnplugStressTest : public PlatformTest {};

TEST_F(UnplugStressTest, SeededCycles) {
    const uint64_t first = EnvNumber("SERLYNX_STRESS_SEED", 1);
    const uint64_t cycles = EnvNumber("SERLYNX_STRESS_CYCLES", SERLYNX_STRESS_DEFAULT_CYCLES);
    uint64_t failed = 0;
    uint64_t ran = 0;
    InstallCrashHandler();
    for (uint64_t i = 0; i < cycles; ++i, ++ran) {
        const uint64_t seed = first + i;
        crashTextLength = std::snprintf(crashText, sizeof crashText,
                                        "\nstress: crashed in the cycle of seed %llu\n",
                                        static_cast<unsigned long long>(seed));
        const std::string failure = Cycle(seed).Run();
        crashTextLength = 0;
        if (!failure.empty()) {
            ++failed;
            ADD_FAILURE() << "seed " << seed << " (replay: SERLYNX_STRESS_SEED=" << seed
                          << " SERLYNX_STRESS_CYCLES=1): " << failure;
            if (failed >= 5) {
                ++ran;
                break;
            }
        }
    }
    std::printf(
        "stress: %llu cycles from seed %llu, %llu failed; %llu workers killed anywhere, "
        "%llu sections kept owned, %llu transfers lost with them\n",
        (unsigned long long)ran, (unsigned long long)first, (unsigned long long)failed,
        (unsigned long long)gWorkersKilled, (unsigned long long)gKilledHolding,
        (unsigned long long)gTransfersLost);
    cehost::ResetPlatform();
}

}  // namespace
}  // namespace stresstest
