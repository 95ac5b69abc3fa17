// Shared pieces of the USB host tests: a completion recorder, and a fixture
// with one bus and a bulk-only adapter on a scripted line, enumerated but
// offered to no client, so that tests drive the function table themselves.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ce/usb.h"
#include "cehost/usb_bus.h"
#include "common/platform_test.h"
#include "sim/bulk_model.h"
#include "sim/serial_line.h"

namespace usbtest {

using namespace std::chrono_literals;

// Context of a completion routine: counts its calls.
struct Completion {
    std::atomic<int> calls{0};

    static DWORD WINAPI Routine(LPVOID p) {
        static_cast<Completion*>(p)->calls++;
        return 0;
    }
    bool Wait() {
        for (int i = 0; i < 10000 && calls == 0; ++i)
            std::this_thread::sleep_for(1ms);
        return calls > 0;
    }
};

struct Status {
    DWORD bytes = 0xDEAD, error = 0xDEAD;
    bool operator==(const Status&) const = default;
};

inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(seed + i * 7);
    return v;
}

class UsbBulkDeviceTest : public PlatformTest {
  public:  // routines on host threads use the helpers too
    void SetUp() override {
        PlatformTest::SetUp();
        Plug(cehost::UsbTiming::kUntimed);
    }
    void Plug(cehost::UsbTiming timing, sim::BulkModelConfig config = {}) {
        bus = std::make_unique<cehost::UsbBus>(timing);
        bus->SetStrictOrdering(false);  // the environment's is for the driver's suites
        line = std::make_shared<sim::ScriptedLine>();
        model = std::make_shared<sim::BulkAdapterModel>(config, line);
        id = bus->PlugUnclaimed(model);
        dev = bus->Handle(id);
        inPipe = OpenPipe(config.inEndpoint);
        outPipe = OpenPipe(config.outEndpoint);
        ASSERT_TRUE(inPipe && outPipe);
    }
    void TearDown() override {
        for (USB_PIPE p : {inPipe, outPipe})
            if (p && bus && bus->IsPlugged(id))
                f->lpClosePipe(p);
        bus.reset();
        PlatformTest::TearDown();
    }
    USB_PIPE OpenPipe(uint8_t address) {
        USB_ENDPOINT_DESCRIPTOR d{7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, 2, 64, 0};
        return f->lpOpenPipe(dev, &d);
    }
    USB_TRANSFER Read(void* buffer, DWORD size, Completion* c = nullptr,
                      LPTRANSFER_NOTIFY_ROUTINE routine = Completion::Routine) {
        return f->lpIssueBulkTransfer(inPipe, c ? routine : nullptr, c,
                                      USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, size, buffer, 0);
    }
    USB_TRANSFER Write(const void* buffer, DWORD size, Completion* c = nullptr) {
        return f->lpIssueBulkTransfer(outPipe, c ? Completion::Routine : nullptr, c,
                                      USB_OUT_TRANSFER, size, const_cast<void*>(buffer), 0);
    }
    // Status, then CloseTransfer.
    Status Retire(USB_TRANSFER t) {
        Status s;
        EXPECT_TRUE(f->lpGetTransferStatus(t, &s.bytes, &s.error));
        EXPECT_TRUE(f->lpCloseTransfer(t));
        return s;
    }
    // Reads what the line sent until `n` bytes came, one transfer at a time.
    std::vector<uint8_t> ReadAll(size_t n) {
        std::vector<uint8_t> got;
        uint8_t buf[256];
        for (Status s; got.size() < n && (s = Retire(Read(buf, 256))).error == USB_NO_ERROR;)
            got.insert(got.end(), buf, buf + s.bytes);
        return got;
    }
    // Waits until the device has handed over what it held, and a little.
    void Drain() {
        for (int i = 0; i < 500 && model->Pending(); i++)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(20ms);
    }
    // CLEAR_FEATURE(ENDPOINT_HALT) on the device's endpoint; its error.
    DWORD ClearHalt(uint8_t endpoint) {
        return Retire(f->lpClearFeature(dev, nullptr, nullptr, USB_SEND_TO_ENDPOINT,
                                        USB_FEATURE_ENDPOINT_HALT, endpoint))
            .error;
    }
    BOOL Halted(USB_PIPE p) {
        BOOL halted = 2;
        EXPECT_TRUE(f->lpIsPipeHalted(p, &halted));
        return halted;
    }

    LPCUSB_FUNCS f = cehost::UsbFunctions();
    std::unique_ptr<cehost::UsbBus> bus;
    std::shared_ptr<sim::ScriptedLine> line;
    std::shared_ptr<sim::BulkAdapterModel> model;
    cehost::UsbDeviceId id = 0;
    USB_HANDLE dev = nullptr;
    USB_PIPE inPipe = nullptr, outPipe = nullptr;
};

}  // namespace usbtest
