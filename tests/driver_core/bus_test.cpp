// The receive path end to end through the emulated USB host and the
// bulk-only adapter model: bytes injected on the serial line reach the ring
// in order while a reader empties it, also when the bus completes transfers
// out of order or refuses or stalls them for a while; teardown with
// transfers in flight leaves nothing behind (Finish).
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "cehost/usb_bus.h"
#include "common/scripted_model.h"
#include "harness.h"
#include "sim/bulk_model.h"
#include "sim/serial_line.h"

namespace drvtest {
namespace {

std::vector<BYTE> Pattern(size_t total) {
    std::vector<BYTE> out(total);
    for (size_t i = 0; i < total; ++i)
        out[i] = static_cast<BYTE>(i * 7 + i / 251);
    return out;
}

// Takes up to `want` bytes out of the ring as a reader does, and wakes the
// worker.
size_t TakeFromRing(SerialPort* port, BYTE* out, size_t want) {
    const DWORD n = RingTake(port, out, static_cast<DWORD>(want));
    if (n > 0)
        SetEvent(port->serviceEvent);
    return n;
}

class CoreBusTest : public CoreTest {
  protected:
    // With `interruptIn` the adapter's IN endpoint is an interrupt endpoint
    // (polled every frame) instead of a bulk one.
    void Plug(uint16_t packet, bool interruptIn = false) {
        sim::BulkModelConfig config;
        config.inPacket = packet;
        config.outPacket = packet;
        if (packet > 64)
            config.bcdUsb = 0x0200;
        line_ = std::make_shared<sim::ScriptedLine>();
        model_ = std::make_shared<sim::BulkAdapterModel>(config, line_);
        std::shared_ptr<cehost::UsbDeviceModel> plugged = model_;
        if (interruptIn) {
            auto scripted = std::make_shared<testfix::ScriptedModel>(model_);
            scripted->SetConfigEdit([](cehost::Bytes descriptor) {
                testfix::ForEachEndpoint(descriptor, [&](size_t at) {
                    if (descriptor[at + 2] == 0x81) {
                        descriptor[at + 3] = USB_ENDPOINT_TYPE_INTERRUPT;
                        descriptor[at + 6] = 1;  // bInterval
                    }
                });
                return descriptor;
            });
            plugged = scripted;
        }
        bus_ = std::make_unique<cehost::UsbBus>(cehost::UsbTiming::kUntimed);
        id_ = bus_->PlugUnclaimed(plugged);
        ASSERT_NE(id_, 0u);
    }
    // A basic port on the plugged device's endpoints.
    SerialPort* NewBusPort(DWORD ringSize) {
        LPCUSB_FUNCS funcs = cehost::UsbFunctions();
        USB_HANDLE device = bus_->Handle(id_);
        LPCUSB_DEVICE info = funcs->lpGetDeviceInfo(device);
        const USB_INTERFACE& iface = info->lpActiveConfig->lpInterfaces[0];
        SerialPort* port = new SerialPort;
        Bind(port, ringSize, 64);
        port->usbDevice = device;
        port->usbFuncs = funcs;
        for (DWORD i = 0; i < iface.Descriptor.bNumEndpoints; ++i) {
            const USB_ENDPOINT* ep = &iface.lpEndpoints[i];
            if (ep->Descriptor.bEndpointAddress & 0x80) {
                port->receiveEndpoint = ep;
            } else {
                port->sendEndpoint = ep;
            }
        }
        return port;
    }
    void TearDown() override {
        if (bus_ && id_)
            bus_->Unplug(id_);
        bus_.reset();
        model_.reset();
        line_.reset();
        CoreTest::TearDown();
    }

    // Injects `total` pattern bytes on the line in chunks the chip's FIFO
    // holds, while a reader empties the ring; returns what the reader got.
    std::vector<BYTE> Pump(SerialPort* port, size_t total) {
        std::vector<BYTE> got;
        std::atomic<size_t> count{0};
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            BYTE buffer[512];
            while (!stop.load()) {
                size_t n = TakeFromRing(port, buffer, sizeof buffer);
                got.insert(got.end(), buffer, buffer + n);
                count += n;
                if (n == 0)
                    WaitForSingleObject(port->readEvent, 50);
            }
        });
        const std::vector<BYTE> all = Pattern(total);
        for (size_t sent = 0; sent < total;) {
            if (model_->Pending() > 2048) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            const size_t n = std::min<size_t>(1000, total - sent);
            line_->Inject(std::vector<BYTE>(all.begin() + sent, all.begin() + sent + n));
            sent += n;
        }
        EXPECT_TRUE(WaitUntil([&] { return count.load() >= total; }, 30000));
        stop = true;
        reader.join();
        return got;
    }

    std::shared_ptr<sim::ScriptedLine> line_;
    std::shared_ptr<sim::BulkAdapterModel> model_;
    std::unique_ptr<cehost::UsbBus> bus_;
    cehost::UsbDeviceId id_ = 0;
};

TEST_F(CoreBusTest, LineBytesReachTheRingInOrder) {
    struct Case {
        const char* name;
        uint16_t packet;
        DWORD ringSize;
        bool outOfOrder;
    } const cases[] = {
        {"full speed, small ring wraps often", 64, 300, false},
        {"high speed packets", 512, 4096, false},
        {"bus swaps completions", 64, 4096, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Plug(c.packet);
        if (c.outOfOrder)
            bus_->CompleteOutOfOrder(id_, {0x81, cehost::kAnyRequest}, 50);
        SerialPort* port = NewBusPort(c.ringSize);
        ASSERT_TRUE(PortInit(port));
        const size_t total = 40000;
        std::vector<BYTE> got = Pump(port, total);
        EXPECT_EQ(model_->BytesDropped(), 0u);
        EXPECT_TRUE(got == Pattern(total)) << "got " << got.size() << " bytes";
        Finish(port);
        bus_->Unplug(id_);
        id_ = 0;
    }
}

// A receive path that cannot receive for a while is not given up: issues
// the host refuses are tried again, a pipe halted by a stall or by
// transaction errors is recovered, and an
// IN endpoint that is an interrupt endpoint is read with interrupt
// transfers. Each port then receives what the line brings.
TEST_F(CoreBusTest, ReceivePathRecovers) {
    enum class Fault { kRefusedIssues, kStall, kCrcBurst, kNone };
    struct Case {
        const char* name;
        bool interruptIn;
        Fault fault;
    } const cases[] = {
        {"issues refused with nothing outstanding", false, Fault::kRefusedIssues},
        {"endpoint stalls", false, Fault::kStall},
        {"CRC errors in a burst", false, Fault::kCrcBurst},
        {"interrupt IN endpoint", true, Fault::kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Plug(64, c.interruptIn);
        if (c.fault == Fault::kRefusedIssues)
            bus_->FailIssues(id_, {0x81, cehost::kAnyRequest}, 3);
        SerialPort* port = NewBusPort(4096);
        ASSERT_TRUE(PortInit(port));
        if (c.fault == Fault::kStall)
            bus_->Stall(id_, 0x81);
        if (c.fault == Fault::kCrcBurst)
            bus_->CompleteWithError(id_, {0x81, cehost::kAnyRequest}, USB_CRC_ERROR, 6);
        line_->Inject({1, 2, 3});
        EXPECT_TRUE(WaitUntil([&] { return ReadAcquire(&port->ringHead) == 3; }));
        EXPECT_EQ(Held(port), (std::vector<BYTE>{1, 2, 3}));
        Finish(port);
        bus_->Unplug(id_);
        id_ = 0;
    }
}

}  // namespace
}  // namespace drvtest
