#include "harness.h"

#include <chrono>
#include <thread>

#include "driver/platform/usb_calls.h"

namespace drvtest {

DWORD_PTR RecordingPort::SetControlLines(DWORD mask, DWORD value, HANDLE event) {
    calls.push_back({mask, value, event != nullptr});
    if (event == nullptr)
        return 0;
    USB_DEVICE_REQUEST request{};
    return reinterpret_cast<DWORD_PTR>(
        UsbIssueVendor(this, event, USB_SEND_TO_INTERFACE, &request, nullptr));
}

int RecordingPort::Service() {
    if (firstPassPriority < 0)
        firstPassPriority = cehost::ThreadPriority256(GetCurrentThread());
    return ServiceBulk(this);
}

static bool FreeHandle(OpenHandle* handle) {
    CloseHandle(handle->waitEvent);
    LocalFree(handle);
    return true;
}

bool Eventually(const std::function<bool()>& ready, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<BYTE> Pattern(size_t n, BYTE first) {
    std::vector<BYTE> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<BYTE>(first + i);
    return bytes;
}

void CoreTest::SetUp() {
    PlatformTest::SetUp();
    RecordingPort::calls.clear();
    RecordingPort::firstPassPriority = -1;
    usb_.HoldWrites(true);
}

void CoreTest::TearDown() {
    std::erase_if(handles_, [](auto& h) { return FreeHandle(h.second); });
    EXPECT_EQ(usb_.Faults(), 0) << "driver misused the scripted host";
    PlatformTest::TearDown();
}

void CoreTest::Bind(SerialPort* port, DWORD ringSize, uint16_t packet, DWORD usbMode) {
    inEndpoint_ = fakeusb::BulkEndpoint(kInAddress, packet);
    outEndpoint_ = fakeusb::BulkEndpoint(kOutAddress, packet);
    // The platform fills fresh memory with a pattern: every field the port's
    // creator sets is set here.
    port->parent = nullptr;
    port->activation = nullptr;
    port->usbDevice = reinterpret_cast<USB_HANDLE>(0x1);
    port->usbFuncs = usb_.Funcs();
    port->usbMode = usbMode;
    port->priority256 = 0;
    port->ringSize = ringSize;
    port->rxSlotsWanted = 0;
    port->interfaceNumber = 0;
    port->classEndpoint = nullptr;
    port->receiveEndpoint = &inEndpoint_;
    port->sendEndpoint = &outEndpoint_;
}

void CoreTest::StartIdle(SerialPort* port) {
    usb_.FailIssues(-1);
    ASSERT_TRUE(PortInit(port));
    EndWorker(port);
    usb_.FailIssues(0);
}

void CoreTest::EndWorker(SerialPort* port) {
    port->deviceLock.Enter();
    USB_PIPE pipe = port->receivePipe;
    port->receivePipe = nullptr;
    port->deviceLock.Leave();
    SetEvent(port->serviceEvent);
    ASSERT_EQ(WaitForSingleObject(port->serviceThread, 5000), WAIT_OBJECT_0);
    port->deviceLock.Enter();
    port->receivePipe = pipe;
    port->deviceLock.Leave();
    port->rxFailures = 0;
}

void CoreTest::Finish(SerialPort* port) {
    // Handles go first: teardown deletes the lock their list lives under.
    // They leave the list before they are freed: the worker may be posting
    // events through it.
    if (port->parent == nullptr) {
        port->openLock.Enter();
        port->openList = nullptr;
        port->openLock.Leave();
    }
    std::erase_if(handles_, [&](auto& h) { return h.first == port && FreeHandle(h.second); });
    EXPECT_TRUE(PortTeardown(port));
    PortDelete(port);
    EXPECT_EQ(usb_.Unclosed(), 0) << "transfers left open";
    EXPECT_EQ(usb_.OpenPipes(), 0) << "pipes left open";
}

OpenHandle* CoreTest::AddHandle(SerialPort* port, DWORD waitMask, SerialPort* channel) {
    auto* handle = static_cast<OpenHandle*>(LocalAlloc(LPTR, sizeof(OpenHandle)));
    SerialPort* owner = OwnerPort(port);
    handle->port = channel != nullptr ? channel : port;
    handle->access = GENERIC_READ | GENERIC_WRITE;
    handle->waitEvent = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    handle->eventWord = waitMask << 16;
    owner->openLock.Enter();
    handle->next = owner->openList;
    owner->openList = handle;
    owner->openLock.Leave();
    handles_.push_back({owner, handle});
    return handle;
}

void CoreTest::EditDcb(SerialPort* port, const std::function<void(DCB&)>& edit) {
    DCB dcb;
    PortLoadDcb(port, &dcb);
    edit(dcb);
    PortStoreDcb(port, &dcb);
}

std::vector<BYTE> CoreTest::Held(SerialPort* port) {
    std::vector<BYTE> out;
    const LONG size = static_cast<LONG>(port->ringSize);
    EXPECT_LT(port->ringHead, size) << "ringHead past the ring";
    if (port->ringHead >= size)
        return out;
    for (LONG i = port->ringTail % size; i != port->ringHead; i = (i + 1) % size)
        out.push_back(port->ring[i]);
    return out;
}

}  // namespace drvtest
