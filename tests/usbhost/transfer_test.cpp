// The function table on a plugged bulk-only adapter: records, synchronous and
// asynchronous completion, packets and transfer ends, abort and close with
// transfers in flight, halts, and the handle checks.
#include <cstring>

#include "usb_fixture.h"

namespace {

using namespace usbtest;

TEST_F(UsbBulkDeviceTest, DeviceInfoDescribesTheActiveConfiguration) {
    LPCUSB_DEVICE info = f->lpGetDeviceInfo(dev);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->dwCount, sizeof(USB_DEVICE));
    EXPECT_EQ(info->Descriptor.idVendor, 0x1209);
    EXPECT_EQ(info->Descriptor.idProduct, 0x5E01);
    ASSERT_NE(info->lpActiveConfig, nullptr);
    ASSERT_EQ(info->lpActiveConfig->dwNumInterfaces, 1u);
    const USB_INTERFACE& itf = info->lpActiveConfig->lpInterfaces[0];
    EXPECT_EQ(itf.Descriptor.bInterfaceClass, 0xFF);
    ASSERT_EQ(itf.Descriptor.bNumEndpoints, 2);
    EXPECT_EQ(itf.lpEndpoints[0].Descriptor.bEndpointAddress, 0x81);
    EXPECT_EQ(itf.lpEndpoints[1].Descriptor.bEndpointAddress, 0x02);
    EXPECT_EQ(itf.lpEndpoints[1].Descriptor.wMaxPacketSize, 64);
}

// A model with two interfaces, an alternate setting and class-specific
// descriptors: the records must keep each in its place.
class CompositeModel : public cehost::UsbDeviceModel {
  public:
    cehost::Bytes DeviceDescriptor() override {
        return cehost::usbdesc::Device(0x0200, 2, 0, 0, 64, 0x1234, 0x0002, 0x0100, 0, 0, 0);
    }
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override {
        if (index)
            return {};
        cehost::Bytes b;
        cehost::usbdesc::AppendInterface(b, 0, 0, 1, 2, 2, 1);
        b.insert(b.end(), {5, 0x24, 0x00, 0x10, 0x01});  // class-specific header
        b.insert(b.end(), {4, 0x24, 0x02, 0x06});
        cehost::usbdesc::AppendEndpoint(b, 0x83, 3, 16, 8);
        cehost::usbdesc::AppendInterface(b, 1, 0, 2, 10, 0, 0);
        cehost::usbdesc::AppendEndpoint(b, 0x81, 2, 512, 0);
        cehost::usbdesc::AppendEndpoint(b, 0x02, 2, 512, 0);
        cehost::usbdesc::AppendInterface(b, 1, 1, 0, 10, 0, 0);
        return cehost::usbdesc::Configuration(2, 1, b);
    }
};

TEST(UsbRecords, InterfacesAlternateSettingsAndClassDescriptorsKeepTheirPlace) {
    cehost::ResetPlatform();
    {
        cehost::UsbBus bus;
        auto id = bus.PlugUnclaimed(std::make_shared<CompositeModel>());
        ASSERT_NE(id, 0u);
        LPCUSB_DEVICE info = cehost::UsbFunctions()->lpGetDeviceInfo(bus.Handle(id));
        ASSERT_NE(info, nullptr);
        const USB_CONFIGURATION& c = *info->lpActiveConfig;
        ASSERT_EQ(c.dwNumInterfaces, 3u);
        EXPECT_EQ(c.lpInterfaces[0].Descriptor.bInterfaceClass, 2);
        ASSERT_NE(c.lpInterfaces[0].lpvExtended, nullptr);
        const uint8_t* ext = static_cast<const uint8_t*>(c.lpInterfaces[0].lpvExtended);
        EXPECT_EQ(ext[0], 5);
        EXPECT_EQ(ext[1], 0x24);
        EXPECT_EQ(ext[5], 4);  // the second functional descriptor follows
        EXPECT_EQ(c.lpInterfaces[0].lpEndpoints[0].Descriptor.bEndpointAddress, 0x83);
        EXPECT_EQ(c.lpInterfaces[0].lpEndpoints[0].Descriptor.bInterval, 8);
        EXPECT_EQ(c.lpInterfaces[1].lpEndpoints[1].Descriptor.wMaxPacketSize, 512);
        EXPECT_EQ(c.lpInterfaces[1].lpvExtended, nullptr);
        EXPECT_EQ(c.lpInterfaces[2].Descriptor.bAlternateSetting, 1);
        EXPECT_EQ(c.lpInterfaces[2].lpEndpoints, nullptr);
    }
    EXPECT_EQ(cehost::MisuseTotal() + cehost::LeakTotal(), 0u) << cehost::CountersReport();
}

TEST_F(UsbBulkDeviceTest, SynchronousCallReturnsCompletedWithoutRunningARoutine) {
    uint8_t buf[128] = {};
    USB_TRANSFER t = f->lpGetDescriptor(dev, nullptr, nullptr, 0, USB_STRING_DESCRIPTOR_TYPE, 2,
                                        0x0409, sizeof(buf), buf);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(f->lpIsTransferComplete(t));
    Status s = Retire(t);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.error, USB_NO_ERROR);
    EXPECT_EQ(s.bytes, buf[0]);
    EXPECT_EQ(buf[1], USB_STRING_DESCRIPTOR_TYPE);
    std::u16string text(reinterpret_cast<const char16_t*>(buf + 2), (buf[0] - 2) / 2);
    EXPECT_EQ(text, u"Bulk serial adapter");

    // Error out-pointer may be null; a missing string stalls.
    t = f->lpGetDescriptor(dev, nullptr, nullptr, 0, USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 2, buf);
    ASSERT_NE(t, nullptr);
    DWORD bytes = 7;
    EXPECT_TRUE(f->lpGetTransferStatus(t, &bytes, nullptr));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(Retire(t).error, USB_STALL_ERROR);
}

TEST_F(UsbBulkDeviceTest, AsynchronousRoutineRunsOnceOnAHostThread) {
    Completion c;
    uint8_t buf[64];
    USB_TRANSFER t = Read(buf, sizeof(buf), &c);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(f->lpIsTransferComplete(t));
    line->Inject({'o', 'k'});
    ASSERT_TRUE(c.Wait());
    EXPECT_NE(c.Thread(), std::this_thread::get_id());
    EXPECT_TRUE(f->lpIsTransferComplete(t));
    Status s = Retire(t);
    EXPECT_EQ(s.bytes, 2u);
    EXPECT_EQ(s.error, USB_NO_ERROR);
    EXPECT_EQ(std::memcmp(buf, "ok", 2), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(c.Calls(), 1);
}

// A completion routine runs where the bus does its own work: it may close
// its own transfer and issue asynchronously, but a synchronous transfer
// from it could never complete and is refused, not left hanging.
TEST_F(UsbBulkDeviceTest, RoutineMayCloseAndIssueButNotWaitForATransfer) {
    struct Context {
        LPCUSB_FUNCS f = nullptr;
        USB_PIPE outPipe = nullptr;
        USB_TRANSFER self = nullptr;
        BOOL closed = FALSE;
        USB_TRANSFER sync = reinterpret_cast<USB_TRANSFER>(1);
        USB_TRANSFER async = nullptr;
        Completion asyncDone;
        Completion done;
    } ctx;
    ctx.f = f;
    ctx.outPipe = outPipe;
    static uint8_t buf[64];
    static const char out[] = "ab";
    auto routine = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Context*>(p);
        LPCUSB_FUNCS f = c->f;
        c->sync = f->lpIssueBulkTransfer(c->outPipe, nullptr, nullptr, USB_OUT_TRANSFER, 2,
                                         const_cast<char*>(out), 0);
        c->async = f->lpIssueBulkTransfer(c->outPipe, Completion::Routine, &c->asyncDone,
                                          USB_OUT_TRANSFER, 2, const_cast<char*>(out), 0);
        c->closed = f->lpCloseTransfer(c->self);
        return Completion::Routine(&c->done);
    };
    ctx.self = f->lpIssueBulkTransfer(inPipe, routine, &ctx,
                                      USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, sizeof(buf), buf, 0);
    ASSERT_NE(ctx.self, nullptr);
    line->Inject({'x'});
    ASSERT_TRUE(ctx.done.Wait());
    EXPECT_EQ(ctx.sync, nullptr);
    ExpectMisuse("usb.sync.in.routine", 1);
    EXPECT_TRUE(ctx.closed);
    ASSERT_NE(ctx.async, nullptr);
    ASSERT_TRUE(ctx.asyncDone.Wait());
    EXPECT_EQ(Retire(ctx.async).bytes, 2u);
    EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'a', 'b'}));
}

// How a bulk-IN transfer ends: on a short packet or a full buffer, never on
// a full-size packet alone.
struct InCase {
    const char* name;
    size_t injected;
    DWORD buffer;
    DWORD firstBytes;
    size_t left;  // still in the device after the first transfer
    DWORD error = USB_NO_ERROR;
};

class UsbBulkInEnds : public UsbBulkDeviceTest, public ::testing::WithParamInterface<InCase> {};

TEST_P(UsbBulkInEnds, TransferEndsWhereTheBusSays) {
    const InCase& k = GetParam();
    std::vector<uint8_t> buf(k.buffer);
    auto data = Pattern(k.injected);
    line->Inject(data);
    USB_TRANSFER t = Read(buf.data(), k.buffer);
    ASSERT_NE(t, nullptr);
    Status s = Retire(t);
    EXPECT_EQ(s.error, k.error);
    EXPECT_EQ(s.bytes, k.firstBytes);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + s.bytes, data.begin()));
    EXPECT_EQ(model->Pending(), k.left);
}

INSTANTIATE_TEST_SUITE_P(Packets, UsbBulkInEnds,
                         ::testing::Values(InCase{"ShortPacket", 10, 256, 10, 0},
                                           InCase{"SeveralPacketsThenShort", 150, 256, 150, 0},
                                           InCase{"BufferFull", 300, 256, 256, 44},
                                           InCase{"PacketPastTheBufferIsBabble", 100, 80, 80, 0,
                                                  USB_DATA_OVERRUN_ERROR}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbBulkDeviceTest, FullPacketWithoutMoreDataLeavesTheTransferOpen) {
    Completion c;
    std::vector<uint8_t> buf(256);
    line->Inject(Pattern(64));
    USB_TRANSFER t = Read(buf.data(), 256, &c);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 50 && model->Pending() > 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(f->lpIsTransferComplete(t));
    line->Inject({0x55});
    ASSERT_TRUE(c.Wait());
    Status s = Retire(t);
    EXPECT_EQ(s.bytes, 65u);
    EXPECT_EQ(buf[64], 0x55);
}

TEST_F(UsbBulkDeviceTest, WritesReachTheLineAndZeroLengthPacketsAreRealPackets) {
    auto data = Pattern(200);
    Status s = Retire(Write(data.data(), 200));
    EXPECT_EQ(s.bytes, 200u);
    EXPECT_EQ(s.error, USB_NO_ERROR);
    EXPECT_EQ(line->TakeTransmitted(), data);
    EXPECT_EQ(model->ZeroLengthPacketsOut(), 0u);

    s = Retire(Write(nullptr, 0));
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.bytes, 0u);
    EXPECT_EQ(model->ZeroLengthPacketsOut(), 1u);
    auto log = bus->Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.back().event, 'C');
    EXPECT_EQ(log.back().endpoint, 0x02);
    EXPECT_EQ(log.back().urbLength, 0u);
}

TEST_F(UsbBulkDeviceTest, AbortEndsATransferInFlightOnceAndStopsItsData) {
    Completion c;
    uint8_t buf[64] = {};
    USB_TRANSFER t = Read(buf, sizeof(buf), &c);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(f->lpAbortTransfer(t, 0));
    EXPECT_EQ(c.Calls(), 1);  // without USB_NO_WAIT the routine has run
    EXPECT_TRUE(f->lpIsTransferComplete(t));
    EXPECT_TRUE(f->lpAbortTransfer(t, 0));  // aborting a finished transfer changes nothing
    line->Inject({1, 2, 3});
    Status s = Retire(t);
    EXPECT_EQ(s.error, USB_CANCELED_ERROR);
    EXPECT_EQ(s.bytes, 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(model->Pending(), 3u);  // the data waits for the next transfer
    EXPECT_EQ(c.Calls(), 1);
}

TEST_F(UsbBulkDeviceTest, ClosingAPipeCancelsItsTransfersButKeepsTheirHandles) {
    Completion c;
    uint8_t a[8], b[8];
    USB_TRANSFER t1 = Read(a, sizeof(a), &c);
    USB_TRANSFER t2 = Read(b, sizeof(b), &c);
    ASSERT_TRUE(t1 && t2);
    EXPECT_TRUE(f->lpClosePipe(inPipe));
    EXPECT_EQ(c.Calls(), 2);  // both routines ran before ClosePipe returned
    EXPECT_EQ(Retire(t1).error, USB_CANCELED_ERROR);
    EXPECT_EQ(Retire(t2).error, USB_CANCELED_ERROR);
    USB_PIPE closed = inPipe;
    inPipe = nullptr;
    EXPECT_EQ(Read(a, sizeof(a), nullptr, closed), nullptr);
    ExpectMisuse("usb.pipe.stale", 1);
}

TEST_F(UsbBulkDeviceTest, CloseTransferInFlightCancelsIt) {
    Completion c;
    uint8_t buf[8] = {};
    USB_TRANSFER t = Read(buf, sizeof(buf), &c);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(f->lpCloseTransfer(t));
    EXPECT_EQ(c.Calls(), 1);
    line->Inject({9});
    uint8_t next[8];
    Status s = Retire(Read(next, sizeof(next)));
    EXPECT_EQ(s.bytes, 1u);
    EXPECT_EQ(buf[0], 0);  // the closed transfer's buffer was not touched
}

// Each misuse of a released handle fails and is counted once; null handles
// fail quietly (a client whose OpenPipe failed passes 0 on).
TEST_F(UsbBulkDeviceTest, ReleasedHandlesAreRefusedAndCounted) {
    uint8_t buf[8];
    USB_TRANSFER t = Write("x", 1);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(f->lpCloseTransfer(t));
    DWORD bytes, error;
    BOOL halted;
    EXPECT_FALSE(f->lpCloseTransfer(t));
    EXPECT_FALSE(f->lpIsTransferComplete(t));
    EXPECT_FALSE(f->lpGetTransferStatus(t, &bytes, &error));
    EXPECT_FALSE(f->lpAbortTransfer(t, 0));
    ExpectMisuse("usb.transfer.stale", 4);

    ASSERT_TRUE(f->lpClosePipe(outPipe));
    EXPECT_FALSE(f->lpClosePipe(outPipe));
    EXPECT_FALSE(f->lpIsPipeHalted(outPipe, &halted));
    EXPECT_FALSE(f->lpResetPipe(outPipe));
    outPipe = nullptr;
    ExpectMisuse("usb.pipe.stale", 3);

    // A transfer handle is not a pipe handle, nor the other way round.
    EXPECT_EQ(f->lpIssueBulkTransfer(reinterpret_cast<USB_PIPE>(dev), nullptr, nullptr,
                                     USB_IN_TRANSFER, 8, buf, 0),
              nullptr);
    EXPECT_FALSE(f->lpIsTransferComplete(reinterpret_cast<USB_TRANSFER>(inPipe)));
    ExpectMisuse("usb.pipe.stale", 1);
    ExpectMisuse("usb.transfer.stale", 1);

    EXPECT_FALSE(f->lpClosePipe(nullptr));
    EXPECT_FALSE(f->lpCloseTransfer(nullptr));
    EXPECT_EQ(f->lpIssueBulkTransfer(nullptr, nullptr, nullptr, 0, 1, buf, 0), nullptr);
    EXPECT_EQ(f->lpGetDeviceInfo(nullptr), nullptr);
    EXPECT_EQ(cehost::MisuseTotal(), 0u) << cehost::CountersReport();
}

TEST_F(UsbBulkDeviceTest, BadIssuesAreRefused) {
    uint8_t buf[8];
    // Direction against the pipe, missing buffer, unknown endpoint.
    EXPECT_EQ(f->lpIssueBulkTransfer(inPipe, nullptr, nullptr, USB_OUT_TRANSFER, 8, buf, 0),
              nullptr);
    EXPECT_EQ(Read(nullptr, 8), nullptr);
    EXPECT_EQ(f->lpIssueInterruptTransfer(inPipe, nullptr, nullptr, USB_IN_TRANSFER, 8, buf, 0),
              nullptr);
    EXPECT_EQ(OpenPipe(0x85), nullptr);
    USB_DEVICE_REQUEST r{0xC0, 1, 0, 0, 4};
    EXPECT_EQ(f->lpIssueVendorTransfer(dev, nullptr, nullptr, USB_IN_TRANSFER, &r, nullptr, 0),
              nullptr);
}

// A halt has two sides: the device's stall, cleared by
// CLEAR_FEATURE(ENDPOINT_HALT), and the host's, cleared by ResetPipe. The
// pipe moves data again only once both are.
TEST_F(UsbBulkDeviceTest, HaltNeedsClearFeatureAndResetPipe) {
    uint8_t buf[8];
    BOOL halted = TRUE;
    ASSERT_TRUE(f->lpIsPipeHalted(inPipe, &halted));
    EXPECT_FALSE(halted);

    bus->Stall(id, 0x81);
    line->Inject({1});
    EXPECT_EQ(Retire(Read(buf, sizeof(buf))).error, USB_STALL_ERROR);
    ASSERT_TRUE(f->lpIsPipeHalted(inPipe, &halted));
    EXPECT_TRUE(halted);

    // The host's side alone: the device still stalls and halts it again.
    ASSERT_TRUE(f->lpResetPipe(inPipe));
    EXPECT_EQ(Retire(Read(buf, sizeof(buf))).error, USB_STALL_ERROR);
    // The device's side alone: the host's pipe stays halted.
    auto clear = [&] {
        return Retire(f->lpClearFeature(dev, nullptr, nullptr, USB_SEND_TO_ENDPOINT,
                                        USB_FEATURE_ENDPOINT_HALT, 0x81))
            .error;
    };
    EXPECT_EQ(clear(), USB_NO_ERROR);
    ASSERT_TRUE(f->lpIsPipeHalted(inPipe, &halted));
    EXPECT_TRUE(halted);
    EXPECT_EQ(Retire(Read(buf, sizeof(buf))).error, USB_STALL_ERROR);
    EXPECT_EQ(model->Pending(), 1u);

    ASSERT_TRUE(f->lpResetPipe(inPipe));
    Status s = Retire(Read(buf, sizeof(buf)));
    EXPECT_EQ(s.error, USB_NO_ERROR);
    EXPECT_EQ(s.bytes, 1u);
    ASSERT_TRUE(f->lpIsPipeHalted(outPipe, &halted));  // the other pipe never noticed
    EXPECT_FALSE(halted);
}

// Data toggles: after a packet each way both sides are at DATA1. Resetting
// one side only puts them out of step: the next packet is acknowledged and
// dropped by its receiver, and the one after it goes through.
TEST_F(UsbBulkDeviceTest, ToggleOutOfStepDropsOnePacket) {
    struct Case {
        const char* name;
        bool resetHost, clearDevice, in;
        std::vector<uint8_t> arrived;
    } const cases[] = {
        {"host reset only, OUT", true, false, false, {'b'}},
        {"device cleared only, OUT", false, true, false, {'b'}},
        {"both, OUT", true, true, false, {'a', 'b'}},
        {"host reset only, IN", true, false, true, {'b'}},
        {"both, IN", true, true, true, {'a', 'b'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[8];
        line->Inject({0});
        ASSERT_EQ(Retire(Read(buf, sizeof(buf))).bytes, 1u);
        ASSERT_EQ(Retire(Write("0", 1)).bytes, 1u);
        line->TakeTransmitted();
        USB_PIPE pipe = c.in ? inPipe : outPipe;
        auto clear = [&](uint8_t ep) {
            return Retire(f->lpClearFeature(dev, nullptr, nullptr, USB_SEND_TO_ENDPOINT,
                                            USB_FEATURE_ENDPOINT_HALT, ep))
                .error;
        };
        if (c.clearDevice) {
            EXPECT_EQ(clear(c.in ? 0x81 : 0x02), USB_NO_ERROR);
        }
        if (c.resetHost) {
            ASSERT_TRUE(f->lpResetPipe(pipe));
        }
        std::vector<uint8_t> arrived;
        if (c.in) {
            // Two reads wait; each byte is taken by the device before the next.
            Completion c1, c2;
            uint8_t b1[8] = {}, b2[8] = {};
            USB_TRANSFER r1 = Read(b1, sizeof(b1), &c1), r2 = Read(b2, sizeof(b2), &c2);
            for (uint8_t ch : {'a', 'b'}) {
                line->Inject({ch});
                for (int i = 0; i < 500 && model->Pending(); i++)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ASSERT_TRUE(c1.Wait());
            EXPECT_TRUE(f->lpAbortTransfer(r2, 0));
            for (auto [t, b] : {std::pair{r1, b1}, std::pair{r2, b2}}) {
                Status st = Retire(t);
                arrived.insert(arrived.end(), b, b + st.bytes);
            }
        } else {
            for (uint8_t ch : {'a', 'b'})
                EXPECT_EQ(Retire(Write(&ch, 1)).error, USB_NO_ERROR);
            arrived = line->TakeTransmitted();
        }
        EXPECT_EQ(arrived, c.arrived);
        // Both pipes back to DATA0 for the next case.
        for (auto [p, ep] : {std::pair{inPipe, 0x81}, std::pair{outPipe, 0x02}}) {
            ASSERT_TRUE(f->lpResetPipe(p));
            EXPECT_EQ(clear(uint8_t(ep)), USB_NO_ERROR);
        }
    }
}

TEST_F(UsbBulkDeviceTest, ModelWithoutAControlProtocolStallsVendorRequests) {
    uint8_t buf[2];
    USB_DEVICE_REQUEST r{0xC0, 0x05, 0, 0, 2};
    USB_TRANSFER t = f->lpIssueVendorTransfer(dev, nullptr, nullptr, USB_IN_TRANSFER, &r, buf, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(Retire(t).error, USB_STALL_ERROR);
}

}  // namespace
