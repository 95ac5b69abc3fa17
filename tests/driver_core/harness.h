// Shared pieces of the driver core's tests: a port bound to the scripted
// host, an idle port (resources in place, worker thread ended) that a test
// drives step by step, open handles, and ring helpers.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cehost/core.h"
#include "cehost/counters.h"
#include "common/platform_test.h"
#include "driver/port/lifecycle.h"
#include "driver/port/line_status.h"
#include "driver/port/port.h"
#include "driver/port/receive.h"
#include "driver/port/ring.h"
#include "fake_usb.h"

namespace drvtest {

constexpr uint8_t kInAddress = 0x81;
constexpr uint8_t kOutAddress = 0x02;

// Records the handshake-line requests of input flow control and answers the
// asynchronous ones with a control transfer on the scripted host.
class RecordingPort : public SerialPort {
  public:
    struct LineCall {
        DWORD mask;
        DWORD value;
        bool async;
    };
    static std::vector<LineCall>& Calls();
    // Priority (256 scale) the worker thread ran its first pass at.
    static int& FirstPassPriority();

    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override;
    int Service() override;
};

// Polls `ready` until it holds or `timeoutMs` passes.
bool WaitUntil(const std::function<bool()>& ready, int timeoutMs = 5000);

// True when `event` (auto-reset) is set; consumes it.
bool Signalled(HANDLE event);

class CoreTest : public PlatformTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A port of class T bound to the scripted host with a bulk-IN and a
    // bulk-OUT endpoint of `packet` bytes; not started.
    template <typename T = SerialPort>
    T* NewPort(DWORD ringSize = 4096, uint16_t packet = 64) {
        T* port = new T;
        Bind(port, ringSize, packet);
        return port;
    }
    void Bind(SerialPort* port, DWORD ringSize, uint16_t packet);

    // PortInit with every receive issue failing, then ends the worker
    // thread (EndWorker): everything exists and the test alone drives the
    // port.
    void StartIdle(SerialPort* port);
    // Ends a started port's worker thread with its pipes left open: the
    // receive pipe is hidden from the thread until it has ended (it keeps
    // trying while the pipe is open), and a back-off it left is forgotten.
    void EndWorker(SerialPort* port);
    // PortTeardown and PortDelete; checks the scripted host saw no fault.
    void Finish(SerialPort* port);

    // An open handle on `port` (linked at the head of its owner's list) with
    // the given wait mask; released by TearDown.
    OpenHandle* AddHandle(SerialPort* port, DWORD waitMask, SerialPort* channel = nullptr);

    // Puts the ring at `head`/`tail` (tail is 1..ringSize).
    static void SetRing(SerialPort* port, LONG head, LONG tail);
    // The bytes held, oldest first.
    static std::vector<BYTE> Held(SerialPort* port);

    FakeUsb usb_;
    USB_ENDPOINT inEndpoint_{};
    USB_ENDPOINT outEndpoint_{};
    std::vector<std::pair<SerialPort*, OpenHandle*>> handles_;
};

}  // namespace drvtest
