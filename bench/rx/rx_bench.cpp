// Receive-path throughput of the driver core. A bulk-only adapter on the
// untimed bus receives bytes from a scripted serial line as fast as the
// machine allows; the port's worker thread keeps its receive transfers
// queued and fills the ring; a reader thread empties the ring the way
// COM_Read does (copy from the tail, publish it, wake the worker).
//
// Usage: bench_rx [megabytes per run, default 16]
// Prints MB/s for 64-byte and 512-byte packets at two ring sizes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/usb_bus.h"
#include "driver/port/lifecycle.h"
#include "driver/port/port.h"
#include "driver/port/ring.h"
#include "sim/bulk_model.h"
#include "sim/serial_line.h"

namespace {

size_t TakeFromRing(SerialPort* port, BYTE* out, size_t want) {
    const DWORD n = RingTake(port, out, static_cast<DWORD>(want));
    if (n > 0)
        SetEvent(port->serviceEvent);
    return n;
}

struct Result {
    double mbPerSecond;
    bool complete;
};

Result Run(uint16_t packet, DWORD ringSize, size_t total) {
    sim::BulkModelConfig config;
    config.inPacket = packet;
    config.outPacket = packet;
    config.bcdUsb = packet > 64 ? 0x0200 : 0x0110;
    config.rxFifo = 1 << 20;
    auto line = std::make_shared<sim::ScriptedLine>();
    auto model = std::make_shared<sim::BulkAdapterModel>(config, line);
    cehost::UsbBus bus(cehost::UsbTiming::kUntimed);
    bus.SetLogging(false);
    cehost::UsbDeviceId id = bus.PlugUnclaimed(model);

    LPCUSB_FUNCS funcs = cehost::UsbFunctions();
    USB_HANDLE device = bus.Handle(id);
    const USB_INTERFACE& iface = funcs->lpGetDeviceInfo(device)->lpActiveConfig->lpInterfaces[0];
    SerialPort* port = new SerialPort;
    port->parent = nullptr;
    port->activation = nullptr;
    port->usbDevice = device;
    port->usbFuncs = funcs;
    port->usbMode = 0;
    port->priority256 = 0;
    port->ringSize = ringSize;
    port->rxSlotsWanted = 0;
    port->interfaceNumber = 0;
    port->classEndpoint = nullptr;
    port->receiveEndpoint = nullptr;
    port->sendEndpoint = nullptr;
    for (DWORD i = 0; i < iface.Descriptor.bNumEndpoints; ++i) {
        const USB_ENDPOINT* ep = &iface.lpEndpoints[i];
        if (ep->Descriptor.bEndpointAddress & 0x80) {
            port->receiveEndpoint = ep;
        } else {
            port->sendEndpoint = ep;
        }
    }
    if (!PortInit(port)) {
        std::fprintf(stderr, "PortInit failed\n");
        std::exit(1);
    }

    std::atomic<size_t> got{0};
    std::atomic<bool> stop{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        std::vector<BYTE> buffer(4096);
        while (!stop.load(std::memory_order_relaxed)) {
            size_t n = TakeFromRing(port, buffer.data(), buffer.size());
            got.fetch_add(n, std::memory_order_relaxed);
            if (n == 0)
                WaitForSingleObject(port->readEvent, 10);
        }
    });
    std::vector<uint8_t> chunk(16384);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<uint8_t>(i);
    size_t sent = 0;
    while (sent < total) {
        if (model->Pending() > (512u << 10)) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        const size_t n = std::min(chunk.size(), total - sent);
        line->Inject(std::vector<uint8_t>(chunk.begin(), chunk.begin() + n));
        sent += n;
    }
    const auto deadline = start + std::chrono::seconds(120);
    while (got.load() < total && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const auto end = std::chrono::steady_clock::now();
    stop = true;
    reader.join();
    const double seconds = std::chrono::duration<double>(end - start).count();
    Result result{static_cast<double>(got.load()) / seconds / 1e6, got.load() >= total};
    PortTeardown(port);
    PortDelete(port);
    bus.Unplug(id);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
    const size_t total = megabytes << 20;
    cehost::ResetPlatform();
    std::printf("receive path, untimed bus, %zu MB per run, 4 receive transfers\n", megabytes);
    std::printf("%-8s %-10s %10s\n", "packet", "ring", "MB/s");
    for (uint16_t packet : {uint16_t{64}, uint16_t{512}}) {
        for (DWORD ring : {DWORD{4096}, DWORD{65536}}) {
            Result r = Run(packet, ring, total);
            std::printf("%-8u %-10u %10.1f%s\n", packet, ring, r.mbPerSecond,
                        r.complete ? "" : "  (incomplete: timed out)");
        }
    }
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0) {
        std::printf("platform counters: %s\n", cehost::CountersReport().c_str());
        return 1;
    }
    return 0;
}
