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

#include "ce/windows.h"
#include "driver/stream/com_entry.h"
#include "driver_core/harness.h"

namespace streamtest {

using drvtest::Eventually;
using drvtest::Pattern;
using fakeusb::Gate;

inline Gate finishGate, breakGate;

class StreamPort : public SerialPort {
  public:
    StreamPort() noexcept {}
    BOOL ApplyLineSettings() override { return ++applyCount, SerialPort::ApplyLineSettings(); }
    USB_TRANSFER IssueWrite(const BYTE* data, DWORD length) override {
        Sleep(static_cast<DWORD>(issueDelayMs.load()));
        return SerialPort::IssueWrite(data, length);
    }
    BOOL WriteFinished(DWORD* count) override {
        finishGate.Pass();
        return SerialPort::WriteFinished(count);
    }
    BOOL SetBreak(BOOL on) override {
        breakGate.Pass();
        ++breakCalls, breakOn = on;
        return lineResult;
    }
    DWORD_PTR SetControlLines(DWORD mask, DWORD value, HANDLE event) override {
        if (event != nullptr)
            return 0;  // input flow control: nothing to retire
        ++lineCalls, lines = (lines & ~mask) | (value & mask);
        return static_cast<DWORD_PTR>(lineResult.load());
    }

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
    void TearDown() override;

    // Builds, starts and activates the port; returns a handle opened on it
    // (the removal in TearDown frees what a test leaves open).
    DWORD_PTR StartPort(DWORD usbMode = 0, DWORD ringSize = 4096);
    // COM_Deinit of the context (once); the port itself stays until TearDown.
    BOOL Deinit() {
        if (context != 0 && COM_Deinit(context))
            context = 0;
        return context == 0;
    }
    // The device's removal as the notification runs it: the port closed to
    // new calls, COM_Deinit, then RetirePort (which waits for the calls still
    // inside, tears the port down and frees it). TearDown does it too.
    void Remove();
    // TearDown and SetUp: a fresh platform for the next row of a table.
    void Restart() { TearDown(), SetUp(); }

    // Creates the key `path` with a "ClientInfo" of the given type.
    static void SetClientInfo(const WCHAR* path, DWORD type, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        RegSetValueEx(key, u"ClientInfo", 0, type, reinterpret_cast<BYTE*>(&value), 4);
        RegCloseKey(key);
    }
    DWORD_PTR Open(DWORD access = GENERIC_READ | GENERIC_WRITE) {
        return COM_Open(context, access, 0);
    }
    BOOL Ioctl(DWORD_PTR h, DWORD code, const void* in = nullptr, DWORD inLength = 0,
               void* out = nullptr, DWORD outLength = 0, DWORD* actual = nullptr) {
        return COM_IOControl(h, code, static_cast<PBYTE>(const_cast<void*>(in)), inLength,
                             static_cast<PBYTE>(out), outLength, actual);
    }
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
    DCB PortDcb() {
        DCB dcb{};
        return PortLoadDcb(port, &dcb), dcb;
    }

    // The bytes a COM_Read of `count` got (none when it failed).
    std::vector<BYTE> Read(DWORD_PTR h, DWORD count);
    DWORD Write(DWORD_PTR h, const std::vector<BYTE>& bytes) {
        return COM_Write(h, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    // Feeds bytes and waits until the ring holds at least `expectHeld`.
    void Feed(const std::vector<BYTE>& bytes, LONG expectHeld = -1);
    LONG Held() { return RingHeld(port); }

    fakeusb::FakeUsb& host = usb_;
    LPCUSB_FUNCS usbFuncs = nullptr;  // set: the next port's instead of the host's
    StreamPort* port = nullptr;
    DWORD token = 0;
    DWORD_PTR context = 0;
};

// The handle record behind a COM_Open result.
inline OpenHandle* Rec(DWORD_PTR h) {
    return reinterpret_cast<OpenHandle*>(h);
}

// Starts `call` on a thread and returns it once `ready` holds.
inline std::thread Started(std::function<void()> call, const std::function<bool()>& ready) {
    std::thread t(std::move(call));
    EXPECT_TRUE(Eventually(ready)) << "the call never got there";
    return t;
}

// Arms `gate` and starts `call`, which waits at the gate when this returns.
inline std::thread HeldAt(Gate& gate, std::function<void()> call) {
    gate.Arm();
    return Started(std::move(call), [&] { return gate.waiting.load() == 1; });
}

}  // namespace streamtest
