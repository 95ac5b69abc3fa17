// Fixture of the stream tests that drive the COM_ entry points directly: a
// started port built over the scripted host (the driver core's fixture,
// driver_core/harness.h), activated the way the device manager does it (an
// active key whose "ClientInfo" names the port's token, and COM_Init given
// the key's path).
//
// The port is a basic port whose line, break and channel operations are
// recorded (the basic port itself does nothing for them), so that tests can
// see the last-close work. Gates hold a call at a chosen point:
// WriteFinished (a writer between two chunks, holding no lock) and SetBreak
// (a slow request inside the last-close work).
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "driver_core/harness.h"

namespace streamtest {

using drvtest::Eventually;
using drvtest::Pattern;
using fakeusb::Gate;

Gate& FinishGate();
Gate& BreakGate();

class StreamPort : public SerialPort {
  public:
    StreamPort() noexcept {}
    BOOL ApplyLineSettings() override;
    USB_TRANSFER IssueWrite(const BYTE* data, DWORD length) override;
    BOOL WriteFinished(DWORD* count) override;
    BOOL SetBreak(BOOL on) override;
    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override;
    // With `secondChannel` set, channel 10 points a handle at it, as on a
    // two-channel device (its `parent` is this port).
    BOOL SelectChannel(OpenHandle* handle, DWORD channel) override;
    SerialPort* secondChannel = nullptr;

    // What the line operations return to the application.
    std::atomic<BOOL> lineResult{TRUE};
    // IssueWrite sleeps this long before issuing (a slow host call).
    std::atomic<int> issueDelayMs{0};
    std::atomic<int> applyCount{0};
    std::atomic<int> breakCalls{0};
    std::atomic<int> lineCalls{0};
    std::atomic<BOOL> breakOn{FALSE};
    std::atomic<DWORD> lines{0};
};

constexpr uint8_t kIn = drvtest::kInAddress;
constexpr uint8_t kOut = drvtest::kOutAddress;
inline constexpr WCHAR kActiveKey[] = u"Drivers\\Active\\42";
// The notice the device manager sends for a process that exits.
inline BYTE kExitNotice[16] = {16, 0, 0, 0, DLL_PROCESS_EXITING, 0, 0, 0};

class StreamTest : public drvtest::CoreTest {
  public:
    void SetUp() override;
    void TearDown() override;

    // Builds, starts and activates the port; returns a handle opened on it
    // (the removal in TearDown frees what a test leaves open).
    DWORD_PTR StartPort(DWORD usbMode = 0, DWORD ringSize = 4096);
    // COM_Deinit of the context (once); the port itself stays until TearDown.
    BOOL Deinit();
    // The device's removal as the notification runs it: the port closed to
    // new calls, COM_Deinit, then RetirePort (which waits for the calls still
    // inside, tears the port down and frees it). TearDown does it too.
    void Remove();
    // TearDown and SetUp: a fresh platform for the next row of a table.
    void Restart() {
        TearDown();
        SetUp();
    }

    DWORD_PTR Open(DWORD access = GENERIC_READ | GENERIC_WRITE);
    BOOL Ioctl(DWORD_PTR h, DWORD code, const void* in = nullptr, DWORD inLength = 0,
               void* out = nullptr, DWORD outLength = 0, DWORD* actual = nullptr);
    template <typename T>
    BOOL IoctlIn(DWORD_PTR h, DWORD code, const T& in) {
        return Ioctl(h, code, &in, sizeof(T));
    }
    template <typename T>
    BOOL IoctlOut(DWORD_PTR h, DWORD code, T* out) {
        DWORD actual = 0;
        return Ioctl(h, code, nullptr, 0, out, sizeof(T), &actual);
    }
    BOOL Purge(DWORD_PTR h, DWORD flags) { return IoctlIn(h, IOCTL_SERIAL_PURGE, flags); }
    void SetTimeouts(DWORD_PTR h, DWORD interval, DWORD multiplier, DWORD constant,
                     DWORD writeMultiplier = 0, DWORD writeConstant = 0);
    // Reads the DCB, lets `change` edit it and sets it.
    void EditDcb(DWORD_PTR h, const std::function<void(DCB&)>& change);
    DCB PortDcb();

    std::vector<BYTE> Read(DWORD_PTR h, DWORD count, DWORD* result = nullptr);
    DWORD Write(DWORD_PTR h, const std::vector<BYTE>& bytes);
    // Feeds bytes and waits until the ring holds at least `expectHeld`.
    void Feed(const std::vector<BYTE>& bytes, LONG expectHeld = -1);
    LONG Held() { return RingHeld(port); }

    fakeusb::FakeUsb& host = usb_;
    StreamPort* port = nullptr;
    DWORD token = 0;
    DWORD_PTR context = 0;
};

// Milliseconds since `start`.
inline long ElapsedMs(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

}  // namespace streamtest
