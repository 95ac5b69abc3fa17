// Shared pieces of the USB host tests: a completion recorder, and a fixture
// with one bus and a bulk-only adapter on a scripted line, enumerated but
// offered to no client, so that tests drive the function table themselves.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ce/usb.h"
#include "cehost/usb_bus.h"
#include "common/platform_test.h"
#include "sim/bulk_model.h"
#include "sim/serial_line.h"

namespace usbtest {

// Context of a completion routine: counts its calls and remembers the thread.
struct Completion {
    std::mutex mu;
    std::condition_variable cv;
    int calls = 0;
    std::thread::id thread;

    static DWORD WINAPI Routine(LPVOID p) {
        auto* c = static_cast<Completion*>(p);
        {
            std::lock_guard<std::mutex> g(c->mu);
            c->calls++;
            c->thread = std::this_thread::get_id();
        }
        c->cv.notify_all();
        return 0;
    }
    bool Wait(int count = 1) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::seconds(10), [&] { return calls >= count; });
    }
    int Calls() {
        std::lock_guard<std::mutex> g(mu);
        return calls;
    }
    std::thread::id Thread() {
        std::lock_guard<std::mutex> g(mu);
        return thread;
    }
};

struct Status {
    BOOL ok = FALSE;
    DWORD bytes = 0xDEAD;
    DWORD error = 0xDEAD;
};

class UsbBulkDeviceTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        Plug(cehost::UsbTiming::kUntimed);
    }

    void Plug(cehost::UsbTiming timing, sim::BulkModelConfig config = {}) {
        bus = std::make_unique<cehost::UsbBus>(timing);
        // The host's own tests pick the ordering they check; the
        // environment's strict ordering is meant for the driver's suites.
        bus->SetStrictOrdering(false);
        line = std::make_shared<sim::ScriptedLine>();
        model = std::make_shared<sim::BulkAdapterModel>(config, line);
        id = bus->PlugUnclaimed(model);
        ASSERT_NE(id, 0u);
        dev = bus->Handle(id);
        f = cehost::UsbFunctions();
        inPipe = OpenPipe(config.inEndpoint);
        outPipe = OpenPipe(config.outEndpoint);
        ASSERT_NE(inPipe, nullptr);
        ASSERT_NE(outPipe, nullptr);
    }

    void TearDown() override {
        if (bus && bus->IsPlugged(id)) {
            if (inPipe)
                f->lpClosePipe(inPipe);
            if (outPipe)
                f->lpClosePipe(outPipe);
        }
        bus.reset();
        model.reset();
        line.reset();
        PlatformTest::TearDown();
    }

    USB_PIPE OpenPipe(uint8_t address) {
        USB_ENDPOINT_DESCRIPTOR d{7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, 2, 64, 0};
        return f->lpOpenPipe(dev, &d);
    }

    USB_TRANSFER Read(void* buffer, DWORD size, Completion* c = nullptr, USB_PIPE pipe = nullptr) {
        return f->lpIssueBulkTransfer(pipe ? pipe : inPipe, c ? Completion::Routine : nullptr, c,
                                      USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, size, buffer, 0);
    }
    USB_TRANSFER Write(const void* buffer, DWORD size, Completion* c = nullptr) {
        return f->lpIssueBulkTransfer(outPipe, c ? Completion::Routine : nullptr, c,
                                      USB_OUT_TRANSFER, size, const_cast<void*>(buffer), 0);
    }
    Status StatusOf(USB_TRANSFER t) {
        Status s;
        s.ok = f->lpGetTransferStatus(t, &s.bytes, &s.error);
        return s;
    }
    // Status, then CloseTransfer.
    Status Retire(USB_TRANSFER t) {
        Status s = StatusOf(t);
        EXPECT_TRUE(f->lpCloseTransfer(t));
        return s;
    }
    // Waits (generously) until the transfer reports completion.
    bool WaitComplete(USB_TRANSFER t) {
        for (int i = 0; i < 2000; i++) {
            if (f->lpIsTransferComplete(t))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

  public:  // read by routines that run on host threads
    std::unique_ptr<cehost::UsbBus> bus;
    std::shared_ptr<sim::ScriptedLine> line;
    std::shared_ptr<sim::BulkAdapterModel> model;
    cehost::UsbDeviceId id = 0;
    USB_HANDLE dev = nullptr;
    LPCUSB_FUNCS f = nullptr;
    USB_PIPE inPipe = nullptr;
    USB_PIPE outPipe = nullptr;
};

inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(seed + i * 7);
    return v;
}

}  // namespace usbtest
