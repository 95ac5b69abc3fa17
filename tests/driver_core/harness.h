// The fixture of the driver's white-box tests (driver_core, driver_stream):
// ports bound to the scripted host (common/fake_usb.h), an idle port
// (resources in place, worker thread ended) that a test drives step by step,
// open handles, and ring helpers. TearDown checks the host saw no misuse.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "cehost/core.h"
#include "cehost/counters.h"
#include "common/fake_usb.h"
#include "common/platform_test.h"
#include "driver/port/lifecycle.h"
#include "driver/port/line_status.h"
#include "driver/port/port.h"
#include "driver/port/receive.h"
#include "driver/port/ring.h"

namespace drvtest {

using fakeusb::Transfer;
constexpr uint8_t kInAddress = 0x81;
constexpr uint8_t kOutAddress = 0x02;

// Records the handshake-line requests of input flow control and answers the
// asynchronous ones with a control transfer on the scripted host; notes the
// priority the worker thread ran its first pass at.
class RecordingPort : public SerialPort {
  public:
    struct LineCall {
        DWORD mask;
        DWORD value;
        bool async;
        bool operator==(const LineCall&) const = default;
    };
    static inline std::vector<LineCall> calls;
    static inline int firstPassPriority = -1;

    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override;
    int Service() override;
};

// Polls `ready` until it holds or `ms` passes.
bool Eventually(const std::function<bool()>& ready, int ms = 5000);

// True when `event` (auto-reset) is set; consumes it.
inline bool Signalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// n bytes counting up from `first`.
std::vector<BYTE> Pattern(size_t n, BYTE first = 0);

class CoreTest : public PlatformTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A port of class T bound to the scripted host with a bulk-IN and a
    // bulk-OUT endpoint of `packet` bytes; not started.
    template <typename T = SerialPort>
    T* NewPort(DWORD ringSize = 4096, uint16_t packet = 64, DWORD usbMode = 0) {
        T* port = new T;
        Bind(port, ringSize, packet, usbMode);
        return port;
    }
    void Bind(SerialPort* port, DWORD ringSize, uint16_t packet, DWORD usbMode);

    // PortInit with every receive issue failing, then EndWorker: everything
    // exists and the test alone drives the port.
    void StartIdle(SerialPort* port);
    // Ends a started port's worker thread with its pipes left open: the
    // receive pipe is hidden from the thread until it has ended (it keeps
    // trying while the pipe is open), and a back-off it left is forgotten.
    void EndWorker(SerialPort* port);
    // PortTeardown and PortDelete; checks nothing was left open.
    void Finish(SerialPort* port);

    // An open handle on `port` (linked at the head of its owner's list) with
    // the given wait mask; released by Finish or TearDown.
    OpenHandle* AddHandle(SerialPort* port, DWORD waitMask, SerialPort* channel = nullptr);
    // Sets the DCB's fields through `edit`.
    static void EditDcb(SerialPort* port, const std::function<void(DCB&)>& edit);

    // Puts the ring at `head`/`tail` (tail is 1..ringSize).
    static void SetRing(SerialPort* port, LONG head, LONG tail) {
        port->ringHead = head;
        port->ringTail = tail;
    }
    // The bytes held, oldest first.
    static std::vector<BYTE> Held(SerialPort* port);

    fakeusb::FakeUsb usb_;
    USB_ENDPOINT inEndpoint_{};
    USB_ENDPOINT outEndpoint_{};
    std::vector<std::pair<SerialPort*, OpenHandle*>> handles_;
};

}  // namespace drvtest
