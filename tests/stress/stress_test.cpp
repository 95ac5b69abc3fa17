// Seeded random unplug and fault cycles over every port type, and sweeps of
// failed allocations, events and threads.
//
// A cycle: first attach, configured attach, several handles opened, reads,
// writes and comm-event waits blocked in other threads, injected USB faults
// and allocation failures, then the device goes at a random step (a plain
// removal, a removal racing control requests, opens and closes, or a
// removal at the Nth call of a kind of USB function). Afterwards every
// blocked call has returned promptly, a fresh device of the same kind gets
// "COM1:" again and moves data, and once everything is gone the platform
// shows no leak, no misuse and the heap at its starting level.
//
// SERLYNX_STRESS_SEED: first seed (cycle i uses seed + i);
// SERLYNX_STRESS_CYCLES: number of cycles. A failing cycle prints its seed;
// replay it with SERLYNX_STRESS_SEED=<seed> SERLYNX_STRESS_CYCLES=1 (the
// seed makes the same choices again).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bad_inputs/chips.h"
#include "common/com_port_test.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The port types under test, by device model (one of each).
constexpr const char* kKinds[7] = {"bulk", "cdc-acm",     "cdc-cts", "cdc-two-channel",
                                   "ftdi", "ftdi-header", "rcs310"};

// How long a blocked call may take to return once the removal started.
constexpr auto kReturnLimit = 1500ms;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v == nullptr || *v == '\0' ? fallback : std::strtoull(v, nullptr, 0);
}

// Opens "COM1:" and echoes `n` bytes through the loopback plug: empty when
// they all came back in order, else what went wrong.
std::string Echo(size_t n) {
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

// Plugs `model`: empty when it was served as "COM1:" and moved data, else
// what went wrong. The device is unplugged again.
std::string Serve(cehost::UsbBus& bus, std::shared_ptr<cehost::UsbDeviceModel> model) {
    const cehost::UsbDeviceId id = bus.Plug(std::move(model));
    const std::string result =
        id == 0 || bus.Owner(id) != u"Serlynx" ? "the device was not claimed" : Echo(64);
    (void)(id != 0 && bus.Unplug(id));
    return result;
}

// What `step` returns while the nth creation counted by `failNth` fails.
template <class Step>
auto Failing(void (*failNth)(uint64_t), uint64_t n, Step step) {
    failNth(n);
    const auto result = step();
    failNth(0);
    return result;
}

// One application thread repeating a blocking call until the device is gone
// (the call fails) or the cycle tells it to stop.
struct Blocker {
    std::thread thread;
    std::atomic<bool> done{false};
    Clock::time_point end;
};

using enum cehost::UsbCall;
const cehost::UsbCall kAtCalls[] = {
    kIssueVendorTransfer, kIssueBulkTransfer, kIssueInterruptTransfer,
    kAbortTransfer,       kCloseTransfer,     kGetTransferStatus,
    kIsTransferComplete,  kClearFeature,      kResetPipe,
    kIsPipeHalted,        kClosePipe,         kGetDescriptor};

// Workers terminated by their port's teardown (TerminationMode::kAnywhere),
// the sections they kept owned, and the transfers they issued and never
// recorded.
uint64_t gWorkersKilled = 0, gKilledHolding = 0, gTransfersLost = 0;

class Cycle {
  public:
    explicit Cycle(uint64_t seed)
        : rng_(seed), kind_(kKinds[seed % 7]), info_(badtest::Path(kind_)) {}

    // Runs the cycle; empty when every invariant held, else what broke.
    std::string Run() {
        cehost::ResetPlatform();
        const uint64_t baseline = cehost::GetHeapStats().liveBlocks;
        bus_ = std::make_unique<cehost::UsbBus>();
        if (!cehost::UsbInstallClient(u"serlynx.dll"))
            return "install failed";
        Body();
        if (id_ != 0 && bus_->IsPlugged(id_))
            bus_->Unplug(id_);
        bus_.reset();
        CheckPlatform(baseline);
        return failure_;
    }

  private:
    uint64_t Pick(uint64_t n) { return n == 0 ? 0 : rng_() % n; }
    bool Chance(int percent) { return static_cast<int>(Pick(100)) < percent; }
    void Fail(const std::string& what) {
        if (failure_.empty())
            failure_ = std::string(kind_) + ": " + what;
    }

    // Nothing leaked or misused, the heap at `baseline`, no platform thread
    // left. A worker the driver terminated under TerminationMode::kAnywhere
    // stays parked (its stack is the platform's leak, not the driver's) and
    // may keep a section owned: harmless unless the driver enters it again,
    // which is counted apart ("cs.enter.owner.killed") and hangs. Each may
    // also have lost the handle of a transfer it was issuing (its pipe was
    // closed first, so nothing is written into freed memory).
    void CheckPlatform(uint64_t baseline) {
        const uint64_t killed = cehost::ParkedThreadCount();
        if (cehost::GetHeapStats().liveBlocks != baseline || cehost::RunningThreadCount() != 0)
            Fail("heap blocks or platform threads left");
        cehost::SweepLeaks();
        cehost::DiscountLeak("thread.parked", killed);
        const uint64_t lost = std::min(cehost::LeakCounts()["usb.transfer.unclosed"], killed);
        cehost::DiscountLeak("usb.transfer.unclosed", lost);
        const uint64_t holding = cehost::MisuseCounts()["thread.killed.holding.cs"];
        cehost::DiscountMisuse("thread.killed.holding.cs", holding);
        gWorkersKilled += killed, gTransfersLost += lost, gKilledHolding += holding;
        if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
            Fail("counters: " + cehost::CountersReport());
    }

    // What `step` returns when, by chance, one of its first allocations fails.
    template <class Step>
    auto ShortOfMemory(int percent, uint64_t range, Step step) {
        return Failing(cehost::FailNthAllocation, Chance(percent) ? 1 + Pick(range) : 0, step);
    }

    void Body() {
        auto model = badtest::MakeChip(kind_);
        const std::u16string key = comtest::DeviceKeyPath(model->DeviceDescriptor());
        // First attach, which writes the device key, maybe short of memory.
        id_ = ShortOfMemory(25, 3, [&] { return bus_->Plug(model); });
        // (The first attach ran out of memory when it wrote no key: nothing to serve.)
        if (id_ == 0 || !cehost::RegKeyExists(key))
            return id_ == 0 ? Fail("first plug did not enumerate") : void();
        // Configured attach and port start, maybe short of memory.
        id_ = ShortOfMemory(30, 8, [this] { return bus_->Replug(id_); });
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
        if (failure_.empty())
            ReuseName();
    }

    void OpenHandles() {
        HANDLE first = ShortOfMemory(25, 2, [] { return comtest::OpenCom(); });
        if (first == INVALID_HANDLE_VALUE)
            first = comtest::OpenCom();  // a failed open leaves the port usable
        if (first == INVALID_HANDLE_VALUE)
            return;  // the port never started (memory ran out in its attach)
        handles_.push_back(first);
        // More handles: a query-only one and maybe a second read/write one
        // (which the port may refuse).
        for (int i = 0, more = static_cast<int>(Pick(3)); i < more; ++i) {
            HANDLE h = comtest::OpenCom(i == 0 ? 0 : GENERIC_READ | GENERIC_WRITE);
            if (h != INVALID_HANDLE_VALUE)
                handles_.push_back(h);
        }
        comtest::SetTimeouts(first, 0, 0, 0);  // reads wait for the whole count
        SetCommMask(first, EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR |
                               EV_RING);
    }

    void InjectFaults() {
        const DWORD errors[] = {USB_CRC_ERROR, USB_STALL_ERROR, USB_DEVICE_NOT_RESPONDING_ERROR,
                                USB_DATA_UNDERRUN_ERROR, USB_CANCELED_ERROR};
        const int endpoints[] = {0, info_.dataIn, info_.dataOut, info_.statusIn,
                                 cehost::kAnyEndpoint};
        for (int i = 0, count = static_cast<int>(Pick(3)); i < count; ++i) {
            int ep = endpoints[Pick(5)];
            while (ep == 0 && !Chance(30))  // the default pipe less often
                ep = endpoints[Pick(5)];
            const cehost::UsbFaultTarget target{ep, cehost::kAnyRequest};
            const int times = 1 + static_cast<int>(Pick(3));
            const std::function<void()> faults[] = {
                [&] { bus_->FailIssues(id_, target, times); },
                [&] { bus_->CompleteWithError(id_, target, errors[Pick(5)], times); },
                [&] { bus_->Stall(id_, static_cast<uint8_t>(ep > 0 ? ep : info_.dataIn)); },
                [&] { bus_->NeverComplete(id_, target, times); },
                [&] { bus_->CompleteOutOfOrder(id_, target, times); },
                [&] { bus_->CorruptData(id_, target, cehost::UsbDataFault(Pick(3)), times); },
                [&] { bus_->FailTransferStatus(id_, target, times); }};
            faults[Pick(7)]();
        }
    }

    // At least one blocked call on the first handle, plus any others on the
    // first or a second read/write handle.
    void StartBlockers() {
        for (int i = 0, count = 1 + static_cast<int>(Pick(4)); i < count; ++i) {
            const size_t at = handles_.size() == 3 && Chance(40) ? 2 : 0;
            const int op = static_cast<int>(Pick(3));  // read, write, wait
            busy_[at] = true;
            auto b = std::make_unique<Blocker>();
            b->thread = std::thread([this, b = b.get(), h = handles_[at], op] {
                std::vector<uint8_t> buffer = comtest::PatternBytes(op == 1 ? 3000 : 4096);
                const DWORD size = static_cast<DWORD>(buffer.size());
                for (DWORD n = 0; !stop_.load();) {
                    const BOOL ok = op == 0   ? ReadFile(h, buffer.data(), size, &n, nullptr)
                                    : op == 1 ? WriteFile(h, buffer.data(), size, &n, nullptr)
                                              : WaitCommEvent(h, &n, nullptr);
                    if (!ok && unplugStarted_.load())
                        break;
                    if (!ok)
                        std::this_thread::sleep_for(1ms);  // a fault, not the removal
                }
                b->end = Clock::now();
                b->done.store(true);
            });
            blockers_.push_back(std::move(b));
        }
    }

    // Control requests, opens and closes the application might make while
    // the device goes.
    void RandomRequests(int count) {
        for (int i = 0; i < count; ++i) {
            HANDLE h = handles_[Pick(handles_.size())];
            DWORD word = 0;
            COMSTAT stat{};
            const bool on = Chance(50);
            const std::function<void()> requests[] = {
                [&] { comtest::EditDcb(h, [&](DCB& d) { d.BaudRate = on ? 9600 : 115200; }); },
                [&] { EscapeCommFunction(h, on ? SETDTR : CLRDTR); },
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
        cehost::CutShortThreadWaits(1, std::chrono::microseconds(Chance(50) ? 0 : Pick(300)));
    }

    void UnplugNow() {
        unplugStarted_.store(true);
        unplugAt_ = Clock::now();
        (void)(bus_->IsPlugged(id_) ? bus_->Unplug(id_) : bus_->WaitUnplugged(id_));
    }

    void UnplugAtRandomStep() {
        std::this_thread::sleep_for(std::chrono::milliseconds(Pick(15)));
        const uint64_t mode = Pick(4);
        if (mode == 1) {
            // The removal runs while this thread keeps making requests.
            std::thread remover([this, delay = std::chrono::microseconds(Pick(3000))] {
                std::this_thread::sleep_for(delay);
                UnplugNow();
            });
            RandomRequests(2 + static_cast<int>(Pick(6)));
            remover.join();
        } else if (mode == 2) {
            const auto call = kAtCalls[Pick(std::size(kAtCalls))];
            bus_->UnplugAtCall(id_, call, 1 + static_cast<int>(Pick(3)));
            // The requests run in their own thread: one may block on a
            // transfer that never completes until the device goes.
            const auto pause = std::chrono::milliseconds(5 + Pick(10));
            std::thread requester([this, n = 1 + static_cast<int>(Pick(6))] { RandomRequests(n); });
            std::this_thread::sleep_for(pause);
            // The call may have made the device go already (its removal
            // then started no later than now).
            UnplugNow();
            requester.join();
        } else {
            // Mode 3: handles without blocked calls close first; the removal
            // then tears down with the rest still open. Mode 0: a plain removal.
            for (size_t i = handles_.size(); mode == 3 && i-- > 1;) {
                if (!busy_[i]) {
                    CloseHandle(handles_[i]);
                    handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            UnplugNow();
        }
    }

    // Removal started at unplugAt_; every blocked call must be back within
    // the limit of it (no slack for the sanitizers' slow threads: the limit
    // is what applications are promised).
    void CheckBlockersReturned() {
        const auto hardStop = Clock::now() + 10s;
        for (auto& b : blockers_)
            while (!b->done.load() && Clock::now() < hardStop)
                std::this_thread::sleep_for(2ms);
        stop_.store(true);
        for (auto& b : blockers_) {
            if (!b->done.load()) {  // the thread cannot be joined; the seed was printed
                std::cerr << "\nstress: a blocked call never returned\n";
                std::abort();
            }
            b->thread.join();
            if (b->end - unplugAt_ > kReturnLimit)
                Fail("a blocked call returned " + std::to_string((b->end - unplugAt_) / 1ms) +
                     " ms after the removal started");
        }
        blockers_.clear();
    }

    // A fresh device of the same kind is served as "COM1:" again (the name
    // was released) and moves data.
    void ReuseName() {
        if (const std::string e = Serve(*bus_, badtest::MakeChip(kind_)); !e.empty())
            Fail(e + " after the removal");
    }

    std::mt19937_64 rng_;
    const char* kind_;
    sim::DataPath info_;
    std::unique_ptr<cehost::UsbBus> bus_;
    cehost::UsbDeviceId id_ = 0;
    std::vector<HANDLE> handles_;
    std::vector<std::unique_ptr<Blocker>> blockers_;
    std::atomic<bool> stop_{false}, unplugStarted_{false};
    Clock::time_point unplugAt_;
    bool busy_[3] = {false, false, false};  // handles with blocked calls
    std::string failure_;
};

class UnplugStressTest : public PlatformTest {};

TEST_F(UnplugStressTest, SeededCycles) {
    const uint64_t first = EnvNumber("SERLYNX_STRESS_SEED", 1);
    const uint64_t cycles = EnvNumber("SERLYNX_STRESS_CYCLES", SERLYNX_STRESS_DEFAULT_CYCLES);
    uint64_t failed = 0, ran = 0;
    for (; ran < cycles && failed < 5; ++ran) {
        const uint64_t seed = first + ran;
        // A cycle that crashes the process is the last one named here.
        std::cerr << "\rstress: cycle of seed " << seed << std::flush;
        const std::string failure = Cycle(seed).Run();
        failed += failure.empty() ? 0 : 1;
        EXPECT_EQ(failure, "") << "seed " << seed << " (replay: SERLYNX_STRESS_SEED=" << seed
                               << " SERLYNX_STRESS_CYCLES=1): " << failure;
    }
    std::cout << "\nstress: " << ran << " cycles from seed " << first << ", " << failed
              << " failed; " << gWorkersKilled << " workers killed anywhere, " << gKilledHolding
              << " sections kept owned, " << gTransfersLost << " transfers lost with them\n";
    cehost::ResetPlatform();
}

// Memory running out at each allocation in turn: of the first attach (which
// writes the device key), of the configured attach with the port's start,
// and of opening the port; and likewise each event and thread the attach and
// the open create. Each failure must leave nothing behind (heap back to its
// level, no misuse, no unclosed transfer) and must not spoil the next,
// unfaulted try: the device is then served as "COM1:" and moves data.
class AllocSweepTest : public PlatformTest, public ::testing::WithParamInterface<const char*> {};

// The platform objects whose creation the sweeps make fail, each with its
// count of successful creations and its one-shot failure (0 cancels).
struct Resource {
    const char* name;
    uint64_t (*created)();
    void (*failNth)(uint64_t);
};
const Resource kResources[] = {
    {"allocation", [] { return cehost::GetHeapStats().allocations; }, cehost::FailNthAllocation},
    {"event", cehost::EventsCreated, cehost::FailNthEventCreation},
    {"thread", cehost::ThreadsCreated, cehost::FailNthThreadCreation},
};

// The heap at `blocks` live blocks, nothing misused, nothing leaked.
void ExpectClean(uint64_t blocks) {
    EXPECT_EQ(cehost::GetHeapStats().liveBlocks, blocks);
    EXPECT_EQ(cehost::MisuseTotal() + cehost::LeakTotal(), 0u) << cehost::CountersReport();
}

// Plugs, serves and unplugs the device with each creation of a resource
// during the first attach, the configured attach, then the open, failing in
// turn. The sweeps also fail the first creation after each step, which must
// leave it unharmed.
TEST_P(AllocSweepTest, AttachesAndOpen) {
    for (const Resource& r : kResources) {
        auto creationsOf = [&r](auto step) {
            const uint64_t before = r.created();
            step();
            return r.created() - before + 1;
        };
        cehost::UsbBus bus;
        auto model = badtest::MakeChip(GetParam());
        const std::u16string key = comtest::DeviceKeyPath(model->DeviceDescriptor());
        const uint64_t unplugged = cehost::GetHeapStats().liveBlocks;
        cehost::UsbDeviceId id = 0;
        ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        const uint64_t first = creationsOf([&] { bus.Unplug(bus.Plug(model)); });
        for (uint64_t n = 1; n <= first; ++n) {
            SCOPED_TRACE(testing::Message() << "first attach " << r.name << " " << n);
            cehost::RegDeleteTree(key);
            ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
            id = Failing(r.failNth, n, [&] { return bus.Plug(model); });
            ASSERT_TRUE(id != 0 && bus.Owner(id).empty() && bus.Unplug(id));  // not served
            ExpectClean(unplugged);
        }
        // Past the first attach's own creations, it wrote the device key.
        ASSERT_TRUE(cehost::RegKeyExists(key));

        const uint64_t attach = creationsOf([&] { id = bus.Plug(model); });
        ASSERT_EQ(bus.Owner(id), u"Serlynx");
        const uint64_t open = creationsOf([] { EXPECT_EQ(Echo(40), ""); });
        ASSERT_TRUE(bus.Unplug(id));
        for (uint64_t n = 1; n <= attach; ++n) {
            SCOPED_TRACE(testing::Message() << "attach " << r.name << " " << n);
            id = Failing(r.failNth, n, [&] { return bus.Plug(model); });
            ASSERT_TRUE(id != 0 && bus.Unplug(id));
            ExpectClean(unplugged);
            EXPECT_EQ(Serve(bus, model), "");  // the failure spoiled nothing
        }

        id = bus.Plug(model);
        ASSERT_EQ(bus.Owner(id), u"Serlynx");
        const uint64_t level = cehost::GetHeapStats().liveBlocks;
        for (uint64_t n = 1; n <= open; ++n) {
            SCOPED_TRACE(testing::Message() << "open " << r.name << " " << n);
            HANDLE h = Failing(r.failNth, n, [] { return comtest::OpenCom(); });
            EXPECT_TRUE(h == INVALID_HANDLE_VALUE || CloseHandle(h));
            EXPECT_EQ(Echo(40), "");
            ExpectClean(level);
        }
        EXPECT_TRUE(bus.Unplug(id));
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, AllocSweepTest, ::testing::ValuesIn(kKinds), [](const auto& info) {
    std::string name = info.param;
    std::erase(name, '-');
    return name;
});

}  // namespace
