// Bus throughput: a bulk-only adapter whose line always has data, a trivial
// client that keeps bulk-IN transfers queued, and each bus mode in turn.
// Prints MB/s per mode and, for the timed modes, the ratio to the bus's line
// rate (1.216 MB/s full speed, 53.248 MB/s high speed). Not a test.
//
//   bus_bench [seconds per mode, default 3]
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ce/registry.h"
#include "cehost/counters.h"
#include "cehost/loader.h"
#include "cehost/usb_bus.h"
#include "sim/bulk_model.h"
#include "sim/serial_line.h"

namespace {

// A far end that sends whenever asked.
class SourceLine : public sim::SerialLine {
  public:
    void Feed(const std::vector<uint8_t>& bytes) { DeliverReceive(bytes.data(), bytes.size()); }
    void Transmit(const uint8_t*, size_t) override {}
    void SetOutputs(bool, bool) override {}
    void SetBreak(bool) override {}
    void Configure(const sim::LineConfig&) override {}
    sim::ModemInputs Inputs() const override { return {}; }
};

// The trivial client: accepts any device offered and remembers it.
std::atomic<USB_HANDLE> gDevice{nullptr};
std::atomic<LPCUSB_FUNCS> gFuncs{nullptr};

BOOL WINAPI BenchAttach(USB_HANDLE dev, LPCUSB_FUNCS funcs, LPCUSB_INTERFACE, LPCWSTR,
                        LPBOOL accept, LPCUSB_DRIVER_SETTINGS, DWORD) {
    gDevice = dev;
    gFuncs = funcs;
    *accept = TRUE;
    return TRUE;
}

// Completion routine context: counts completed transfers.
struct Done {
    std::mutex mu;
    std::condition_variable cv;
    uint64_t count = 0;
};

DWORD WINAPI OnDone(LPVOID p) {
    Done* d = static_cast<Done*>(p);
    {
        std::lock_guard<std::mutex> g(d->mu);
        d->count++;
    }
    d->cv.notify_one();
    return 0;
}

double Measure(cehost::UsbTiming timing, double seconds) {
    const bool high = timing == cehost::UsbTiming::kHighSpeed;
    cehost::UsbBus bus(timing);
    bus.SetLogging(false);
    auto line = std::make_shared<SourceLine>();
    sim::BulkModelConfig config;
    config.inPacket = config.outPacket = high ? 512 : 64;
    config.rxFifo = 4 << 20;
    auto model = std::make_shared<sim::BulkAdapterModel>(config, line);
    gDevice = nullptr;
    auto id = bus.Plug(model);
    if (!id || !gDevice) {
        std::fprintf(stderr, "the client was not attached\n");
        std::exit(1);
    }
    LPCUSB_FUNCS f = gFuncs;
    USB_ENDPOINT_DESCRIPTOR in{7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 2, config.inPacket, 0};
    USB_PIPE pipe = f->lpOpenPipe(gDevice, &in);

    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::vector<uint8_t> chunk(256 << 10, 0x5A);
        while (!stop) {
            if (model->Pending() < (2u << 20))
                line->Feed(chunk);
            else
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    constexpr int kSlots = 8;
    const DWORD size = high ? 64 * 1024 : 4096;
    std::vector<std::vector<uint8_t>> buffers(kSlots, std::vector<uint8_t>(size));
    Done done;
    std::deque<std::pair<USB_TRANSFER, int>> queued;
    auto issue = [&](int slot) {
        USB_TRANSFER t =
            f->lpIssueBulkTransfer(pipe, OnDone, &done, USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK,
                                   size, buffers[slot].data(), 0);
        queued.emplace_back(t, slot);
    };
    for (int i = 0; i < kSlots; i++)
        issue(i);

    using Clock = std::chrono::steady_clock;
    const auto warm = Clock::now() + std::chrono::milliseconds(300);
    const auto end = warm + std::chrono::duration<double>(seconds);
    uint64_t bytes = 0;
    bool counting = false;
    Clock::time_point start;
    uint64_t startBulk = 0;
    while (Clock::now() < end) {
        auto [t, slot] = queued.front();
        while (!f->lpIsTransferComplete(t)) {
            std::unique_lock<std::mutex> lk(done.mu);
            done.cv.wait_for(lk, std::chrono::milliseconds(5));
        }
        queued.pop_front();
        DWORD n = 0, error = 0;
        f->lpGetTransferStatus(t, &n, &error);
        f->lpCloseTransfer(t);
        if (!counting && Clock::now() >= warm) {
            counting = true;
            start = Clock::now();
            startBulk = bus.BulkBytes();
        }
        if (counting)
            bytes += n;
        issue(slot);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t moved = bus.BulkBytes() - startBulk;
    stop = true;
    feeder.join();
    for (auto& [t, slot] : queued) {
        f->lpAbortTransfer(t, 0);
        f->lpCloseTransfer(t);
    }
    f->lpClosePipe(pipe);
    (void)bytes;
    return double(moved) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    cehost::RegisterLibrary("busbench.dll", {{"USBDeviceAttach", &BenchAttach}});
    HKEY key = nullptr;
    DWORD disposition = 0;
    const char16_t path[] = u"Drivers\\USB\\LoadClients\\Default\\Default\\255\\BusBench";
    const char16_t dll[] = u"busbench.dll";
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &key, &disposition);
    RegSetValueExW(key, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll), sizeof(dll));
    RegCloseKey(key);

    struct Mode {
        const char* name;
        cehost::UsbTiming timing;
        double lineRate;  // bytes per second, 0 for untimed
    } modes[] = {{"full-speed", cehost::UsbTiming::kFullSpeed, 1.216e6},
                 {"high-speed", cehost::UsbTiming::kHighSpeed, 53.248e6},
                 {"untimed", cehost::UsbTiming::kUntimed, 0}};
    int failures = 0;
    for (const Mode& m : modes) {
        const double rate = Measure(m.timing, seconds);
        if (m.lineRate > 0) {
            const double ratio = rate / m.lineRate;
            const bool ok = ratio > 0.98 && ratio < 1.02;
            failures += !ok;
            std::printf("%-11s %9.3f MB/s  ratio %.4f to %.3f MB/s  %s\n", m.name, rate / 1e6,
                        ratio, m.lineRate / 1e6, ok ? "within 2%" : "OUTSIDE 2%");
        } else {
            std::printf("%-11s %9.3f MB/s\n", m.name, rate / 1e6);
        }
    }
    if (cehost::MisuseTotal() || cehost::LeakTotal())
        std::printf("platform counters: %s\n", cehost::CountersReport().c_str());
    return failures ? 1 : 0;
}
