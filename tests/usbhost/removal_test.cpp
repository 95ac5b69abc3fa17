// Removal, and the client drivers the host offers a device to: the order in
// which client keys are tried, the settings each is given, and removal
// notices.
#include <atomic>
#include <cstring>
#include <map>

#include "ce/registry.h"
#include "cehost/loader.h"
#include "cehost/regfile.h"
#include "usb_fixture.h"

namespace {

using namespace usbtest;

// What the notification routine saw when it ran.
struct Seen {
    UsbBulkDeviceTest* test = nullptr;
    USB_TRANSFER inFlight = nullptr;
    Completion* completion = nullptr;
    bool closeInside = true;
    int calls = 0;
    DWORD code = 0, transferError = 0;
    std::thread::id thread;
    bool transferDone = false, issueRefused = false;
    int routineCalls = -1;
    USHORT vendor = 0;
};

BOOL WINAPI Notify(LPVOID p, DWORD code, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) {
    Seen* s = static_cast<Seen*>(p);
    UsbBulkDeviceTest* t = s->test;
    s->code = code;
    s->thread = std::this_thread::get_id();
    s->transferDone = t->f->lpIsTransferComplete(s->inFlight);
    DWORD bytes = 0;
    t->f->lpGetTransferStatus(s->inFlight, &bytes, &s->transferError);
    s->routineCalls = s->completion->Calls();
    if (s->closeInside)
        t->f->lpCloseTransfer(s->inFlight);
    LPCUSB_DEVICE info = t->f->lpGetDeviceInfo(t->dev);
    s->vendor = info ? info->Descriptor.idVendor : 0;
    uint8_t b[4];
    s->issueRefused = t->Read(b, sizeof(b)) == nullptr;
    t->f->lpClosePipe(t->inPipe);
    t->f->lpClosePipe(t->outPipe);
    s->calls++;
    return TRUE;
}

// Transfers in flight end with the device-gone error and their routines run
// before the client hears USB_CLOSE_DEVICE, on a host thread, with the
// records still valid; a transfer the client never closes is a leak. The
// removal comes from Unplug or from a call that finds the device gone.
TEST_F(UsbBulkDeviceTest, RemovalEndsTransfersThenNotifies) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round)
            Plug(cehost::UsbTiming::kUntimed);
        Completion c;
        Seen seen;
        seen.test = this;
        seen.completion = &c;
        seen.closeInside = round != 1;
        ASSERT_TRUE(f->lpRegisterNotificationRoutine(dev, Notify, &seen));
        uint8_t buf[16];
        if (round == 2)
            bus->UnplugAtCall(id, cehost::UsbCall::kIssueBulkTransfer, 2);
        seen.inFlight = Read(buf, sizeof(buf), &c);
        if (round == 2) {
            EXPECT_EQ(Write("ab", 2), nullptr) << "the second issue finds the device gone";
            ASSERT_TRUE(bus->WaitUnplugged(id));
        } else {
            ASSERT_TRUE(bus->Unplug(id));
        }
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.code, DWORD(USB_CLOSE_DEVICE));
        EXPECT_NE(seen.thread, std::this_thread::get_id());
        EXPECT_TRUE(seen.transferDone);
        EXPECT_EQ(seen.transferError, USB_DEVICE_GONE_ERROR);
        EXPECT_EQ(seen.routineCalls, 1);
        EXPECT_EQ(seen.vendor, 0x1209);
        EXPECT_TRUE(seen.issueRefused);
        EXPECT_TRUE(line->TakeTransmitted().empty());
        inPipe = outPipe = nullptr;
        EXPECT_EQ(f->lpGetDeviceInfo(dev), nullptr) << "the device handle is dead";
        ExpectMisuse("usb.device.stale", 1);
        ExpectLeak("usb.transfer.unclosed", round == 1);
    }
}

// A client's thread blocked in a synchronous call comes back with an error;
// the client's notification waits for that thread, as a driver's teardown
// waits for its worker.
TEST_F(UsbBulkDeviceTest, SynchronousCallBlockedOnTheDeviceReturnsWithAnError) {
    static struct {
        std::mutex mu;
        std::condition_variable cv;
        bool closed = false;
    } b;
    ASSERT_TRUE(f->lpRegisterNotificationRoutine(
        dev,
        [](LPVOID, DWORD, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) -> BOOL {
            std::unique_lock<std::mutex> lk(b.mu);
            return b.cv.wait_for(lk, std::chrono::seconds(10), [] { return b.closed; });
        },
        nullptr));
    Status s;
    std::thread reader([&] {
        uint8_t buf[16];
        s = Retire(Read(buf, sizeof(buf)));  // blocks: the device has nothing
        std::lock_guard<std::mutex> g(b.mu);
        b.closed = true;
        b.cv.notify_all();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(bus->Unplug(id));
    reader.join();
    EXPECT_EQ(s.error, USB_DEVICE_GONE_ERROR);
    inPipe = outPipe = nullptr;
}

// Client libraries "client0".."client2": attach records the driver ID, the
// settings and the interface; accepts when the test says so.
struct AttachCall {
    std::u16string driverId;
    USB_DRIVER_SETTINGS settings;
    int interfaceNumber;  // -1: no interface given
};
std::mutex gMu;
std::vector<AttachCall> gCalls;
std::map<std::u16string, BOOL> gAccept, gResult;  // by driver ID
int gCloseNotices = 0;

BOOL WINAPI OnNotify(LPVOID, DWORD code, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) {
    std::lock_guard<std::mutex> g(gMu);
    gCloseNotices += code == USB_CLOSE_DEVICE;
    return TRUE;
}

BOOL WINAPI Attach(USB_HANDLE dev, LPCUSB_FUNCS funcs, LPCUSB_INTERFACE itf, LPCWSTR id,
                   LPBOOL accept, LPCUSB_DRIVER_SETTINGS settings, DWORD) {
    std::lock_guard<std::mutex> g(gMu);
    std::u16string driverId(reinterpret_cast<const char16_t*>(id));
    gCalls.push_back({driverId, *settings, itf ? itf->Descriptor.bInterfaceNumber : -1});
    *accept = gAccept[driverId];
    if (*accept)
        funcs->lpRegisterNotificationRoutine(dev, OnNotify, nullptr);
    return gResult.count(driverId) ? gResult[driverId] : *accept;
}

// The device goes while a client's attach runs.
cehost::UsbBus* gBus = nullptr;
std::thread gUnplugger;
int gRefsDuringAttach = -1;
BOOL WINAPI AttachWhileUnplugged(USB_HANDLE, LPCUSB_FUNCS, LPCUSB_INTERFACE, LPCWSTR, LPBOOL accept,
                                 LPCUSB_DRIVER_SETTINGS, DWORD) {
    *accept = FALSE;
    gUnplugger = std::thread([] { gBus->Unplug(1); });
    for (int i = 0; i < 1000 && gBus->IsPlugged(1); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gRefsDuringAttach = cehost::LibraryRefCount("client1.dll");
    return FALSE;
}

// A CDC-like device 0403:6001 release 0600; device class given or 0;
// interface 0 class 2/2/1, interface 1 class 10/0/0.
class ClassModel : public cehost::UsbDeviceModel {
  public:
    explicit ClassModel(uint8_t deviceClass) : deviceClass_(deviceClass) {}
    cehost::Bytes DeviceDescriptor() override {
        return cehost::usbdesc::Device(0x0200, deviceClass_, 0, 0, 64, 0x0403, 0x6001, 0x0600, 0, 0,
                                       0);
    }
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override {
        cehost::Bytes b;
        cehost::usbdesc::AppendInterface(b, 0, 0, 1, 2, 2, 1);
        cehost::usbdesc::AppendEndpoint(b, 0x83, 3, 16, 8);
        cehost::usbdesc::AppendInterface(b, 1, 0, 2, 10, 0, 0);
        cehost::usbdesc::AppendEndpoint(b, 0x81, 2, 64, 0);
        cehost::usbdesc::AppendEndpoint(b, 0x02, 2, 64, 0);
        cehost::usbdesc::AppendInterface(b, 1, 1, 0, 2, 2, 1);  // an alternate setting
        return index ? cehost::Bytes{} : cehost::usbdesc::Configuration(2, 1, b);
    }

  private:
    uint8_t deviceClass_;
};

class UsbClientTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        gCalls.clear();
        gAccept.clear();
        gResult.clear();
        gCloseNotices = 0;
        cehost::RegisterLibrary("client0.dll", {{"USBDeviceAttach", &Attach}});
        cehost::RegisterLibrary("client1.dll", {{"USBDeviceAttach", &AttachWhileUnplugged}});
    }
    static void AddKey(const std::u16string& path, const std::u16string& dll = u"client0.dll") {
        cehost::RegWriteString(u"Drivers\\USB\\LoadClients\\" + path, u"Dll", dll);
    }
    std::vector<std::u16string> Offered() {
        std::vector<std::u16string> ids;
        for (auto& c : gCalls)
            ids.push_back(c.driverId);
        return ids;
    }
    cehost::UsbBus bus;
};

// Most specific key first (vendor_product_release, vendor_product, vendor;
// device class when it has one; each interface's class; the catch-all);
// the first to accept owns the device; TRUE without acceptance claims
// nothing; a key whose library does not load is skipped.
TEST_F(UsbClientTest, KeysAreTriedMostSpecificFirst) {
    AddKey(u"Default\\Default\\Default\\Any");
    AddKey(u"1027\\Default\\Default\\V");
    AddKey(u"1027_24577\\Default\\Default\\VP");
    AddKey(u"1027_24577_1536\\Default\\Default\\Gone", u"nosuch.dll");
    AddKey(u"1027_24577_1537\\Default\\Default\\Other");
    AddKey(u"Default\\2\\Default\\Dev2");
    AddKey(u"Default\\2_0_0\\Default\\Dev200");
    AddKey(u"Default\\Default\\10\\Data");
    AddKey(u"Default\\Default\\2_2\\Acm");
    AddKey(u"Default\\0\\Default\\Zero");
    gAccept[u"Any"] = TRUE;
    gResult[u"VP"] = TRUE;  // TRUE, but without fAcceptControl
    auto id = bus.Plug(std::make_shared<ClassModel>(2));
    EXPECT_EQ(Offered(), (std::vector<std::u16string>{u"VP", u"V", u"Dev200", u"Dev2", u"Acm",
                                                      u"Data", u"Any"}));
    EXPECT_EQ(bus.Owner(id), u"Any");
    gCalls.clear();
    id = bus.Plug(std::make_shared<ClassModel>(0));
    EXPECT_EQ(Offered(), (std::vector<std::u16string>{u"VP", u"V", u"Acm", u"Data", u"Any"}))
        << "device class 0 is no device class key";
    // The settings members a key leaves open are USB_NO_INFO; an interface
    // key comes with its interface.
    const DWORD no = USB_NO_INFO;
    const USB_DRIVER_SETTINGS want[] = {
        {40, 1027, 24577, no, no, no, no, no, no, no},
        {40, no, no, no, no, no, no, 2, 2, no},
        {40, no, no, no, no, no, no, 10, no, no},
    };
    const int itf[] = {-1, 0, 1};
    for (int i = 0; i < 3; ++i) {
        const AttachCall& c = gCalls[i == 0 ? 0 : i + 1];
        EXPECT_EQ(std::memcmp(&c.settings, &want[i], sizeof want[i]), 0) << i;
        EXPECT_EQ(c.interfaceNumber, itf[i]);
    }
}

TEST_F(UsbClientTest, OwnerHearsOfRemovalAndHoldsItsLibraryUntilThen) {
    AddKey(u"1027_24577\\Default\\Default\\Owner");
    gAccept[u"Owner"] = TRUE;
    auto id = bus.Plug(std::make_shared<ClassModel>(0));
    EXPECT_EQ(cehost::LibraryRefCount("client0.dll"), 1);
    auto again = bus.Replug(id);
    EXPECT_EQ(bus.Owner(again), u"Owner");
    EXPECT_EQ(gCloseNotices, 1);
    EXPECT_TRUE(bus.Unplug(again));
    EXPECT_EQ(gCloseNotices, 2);
    EXPECT_EQ(cehost::LibraryRefCount("client0.dll"), 0);
}

TEST_F(UsbClientTest, LibraryStaysLoadedUntilAnInterruptedAttachReturns) {
    AddKey(u"Default\\Default\\Default\\Late", u"client1.dll");
    gBus = &bus;
    auto id = bus.Plug(std::make_shared<ClassModel>(0));
    EXPECT_EQ(id, 1u);
    gUnplugger.join();
    EXPECT_EQ(gRefsDuringAttach, 1);
    EXPECT_EQ(cehost::LibraryRefCount("client1.dll"), 0);
    EXPECT_FALSE(bus.IsPlugged(id));
}

}  // namespace
