// Faults injected on the bus, one kind at a time, on the bulk adapter.
#include <cstring>

#include "usb_fixture.h"

namespace {

using namespace usbtest;
using cehost::UsbDataFault;
using cehost::UsbFaultTarget;

class UsbFaultTest : public UsbBulkDeviceTest {};

TEST_F(UsbFaultTest, FailedIssuesReturnZeroThenWorkAgain) {
    bus->FailIssues(id, {0x02}, 2);
    EXPECT_EQ(Write("a", 1), nullptr);
    uint8_t b[4];
    line->Inject({1});
    EXPECT_EQ(Retire(Read(b, sizeof(b))).bytes, 1u);  // other endpoints unaffected
    EXPECT_EQ(Write("b", 1), nullptr);
    EXPECT_EQ(Retire(Write("c", 1)).bytes, 1u);
    EXPECT_EQ(line->TakeTransmitted(), std::vector<uint8_t>{'c'});
}

// A chosen error, per endpoint or per control request, reaches no device.
struct ErrorCase {
    const char* name;
    UsbFaultTarget target;
    DWORD error;
};

class UsbErrorFault : public UsbFaultTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(UsbErrorFault, TransferCompletesWithTheChosenError) {
    const ErrorCase& k = GetParam();
    bus->CompleteWithError(id, k.target, k.error);
    line->Inject({1, 2, 3});
    uint8_t b[32];
    Status s;
    if (k.target.endpoint == 0x81) {
        s = Retire(Read(b, sizeof(b)));
        EXPECT_EQ(model->Pending(), 3u);
    } else if (k.target.endpoint == 0x02) {
        s = Retire(Write("xyz", 3));
        EXPECT_TRUE(line->TakeTransmitted().empty());
    } else {
        s = Retire(f->lpGetDescriptor(dev, nullptr, nullptr, 0, USB_STRING_DESCRIPTOR_TYPE, 1,
                                      0x0409, sizeof(b), b));
    }
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.error, k.error);
    EXPECT_EQ(s.bytes, 0u);
    // The error halted its pipe (never the default pipe) until ResetPipe;
    // the fault itself was one shot.
    for (USB_PIPE pipe : {inPipe, outPipe}) {
        BOOL halted = FALSE;
        ASSERT_TRUE(f->lpIsPipeHalted(pipe, &halted));
        const bool its = (pipe == inPipe ? 0x81 : 0x02) == k.target.endpoint;
        EXPECT_EQ(bool(halted), its);
        if (its) {
            ASSERT_TRUE(f->lpResetPipe(pipe));
        }
    }
    EXPECT_EQ(Retire(Read(b, sizeof(b))).error, USB_NO_ERROR);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, UsbErrorFault,
    ::testing::Values(ErrorCase{"BulkInCrc", {0x81}, USB_CRC_ERROR},
                      ErrorCase{"BulkOutNotResponding", {0x02}, USB_DEVICE_NOT_RESPONDING_ERROR},
                      ErrorCase{
                          "GetDescriptorStall", {0, USB_REQUEST_GET_DESCRIPTOR}, USB_STALL_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbFaultTest, NeverCompletingTransferBlocksItsPipeUntilAborted) {
    bus->NeverComplete(id, {0x02});
    Completion c1, c2;
    USB_TRANSFER t1 = Write("one", 3, &c1);
    USB_TRANSFER t2 = Write("two", 3, &c2);
    ASSERT_TRUE(t1 && t2);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(f->lpIsTransferComplete(t1));
    EXPECT_FALSE(f->lpIsTransferComplete(t2));
    EXPECT_TRUE(f->lpAbortTransfer(t1, 0));
    EXPECT_EQ(Retire(t1).error, USB_CANCELED_ERROR);
    ASSERT_TRUE(c2.Wait());
    EXPECT_EQ(Retire(t2).bytes, 3u);
    EXPECT_EQ(line->TakeTransmitted(), (std::vector<uint8_t>{'t', 'w', 'o'}));
}

TEST_F(UsbFaultTest, OutOfOrderCompletionReportsTheLaterTransferFirst) {
    bus->CompleteOutOfOrder(id, {0x81});
    Completion c1, c2;
    uint8_t a[16] = {}, b[16] = {};
    USB_TRANSFER t1 = Read(a, sizeof(a), &c1);
    USB_TRANSFER t2 = Read(b, sizeof(b), &c2);
    line->Inject({1, 2, 3});
    // t1 has its data but is not reported until t2 is done.
    for (int i = 0; i < 100 && model->Pending(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(f->lpIsTransferComplete(t1));
    line->Inject({4});
    ASSERT_TRUE(c1.Wait());
    ASSERT_TRUE(c2.Wait());
    EXPECT_EQ(Retire(t1).bytes, 3u);
    EXPECT_EQ(Retire(t2).bytes, 1u);
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(b[0], 4);
    // The log shows the completions swapped.
    std::vector<uint64_t> order, submits;
    for (auto& e : bus->Log()) {
        if (e.endpoint != 0x81)
            continue;
        (e.event == 'S' ? submits : order).push_back(e.urbId);
    }
    ASSERT_EQ(order.size(), 2u);
    ASSERT_EQ(submits.size(), 2u);
    EXPECT_EQ(order[0], submits[1]);
    EXPECT_EQ(order[1], submits[0]);
}

// A completion held back for a later transfer that never comes is reported
// when the transfer is aborted or its pipe closes, with the data it got.
TEST_F(UsbFaultTest, HeldCompletionIsReportedByAbortOrPipeClose) {
    for (bool closePipe : {false, true}) {
        bus->CompleteOutOfOrder(id, {0x81});
        Completion c;
        uint8_t a[16] = {};
        USB_TRANSFER t = Read(a, sizeof(a), &c);
        ASSERT_NE(t, nullptr);
        line->Inject({1, 2});
        for (int i = 0; i < 100 && model->Pending(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(f->lpIsTransferComplete(t));
        if (closePipe) {
            EXPECT_TRUE(f->lpClosePipe(inPipe));
            inPipe = nullptr;
        } else {
            EXPECT_TRUE(f->lpAbortTransfer(t, 0));
        }
        EXPECT_EQ(c.Calls(), 1);
        Status s = Retire(t);
        EXPECT_EQ(s.bytes, 2u);
        EXPECT_EQ(s.error, USB_NO_ERROR);
        EXPECT_EQ(a[1], 2);
    }
}

struct DataCase {
    const char* name;
    UsbDataFault kind;
    bool in;
    DWORD bytes;
    DWORD error;
};

class UsbDataFaults : public UsbFaultTest, public ::testing::WithParamInterface<DataCase> {};

TEST_P(UsbDataFaults, TransferCarriesTheDamagedData) {
    const DataCase& k = GetParam();
    bus->CorruptData(id, {k.in ? 0x81 : 0x02}, k.kind);
    auto data = Pattern(20);
    uint8_t buf[32] = {};
    Status s;
    if (k.in) {
        line->Inject(data);
        s = Retire(Read(buf, sizeof(buf)));
        if (k.kind == UsbDataFault::kShort) {
            EXPECT_EQ(std::memcmp(buf, data.data(), s.bytes), 0);
        }
    } else {
        s = Retire(Write(data.data(), 20));
        auto sent = line->TakeTransmitted();
        EXPECT_EQ(sent.size(), s.error == USB_NO_ERROR ? s.bytes : 0u);
    }
    EXPECT_EQ(s.bytes, k.bytes);
    EXPECT_EQ(s.error, k.error);
}

INSTANTIATE_TEST_SUITE_P(
    Data, UsbDataFaults,
    ::testing::Values(DataCase{"ShortIn", UsbDataFault::kShort, true, 10, USB_NO_ERROR},
                      DataCase{"EmptyIn", UsbDataFault::kEmpty, true, 0, USB_NO_ERROR},
                      DataCase{"OversizedIn", UsbDataFault::kOversized, true, 32,
                               USB_DATA_OVERRUN_ERROR},
                      DataCase{"ShortOut", UsbDataFault::kShort, false, 10, USB_NO_ERROR},
                      DataCase{"EmptyOut", UsbDataFault::kEmpty, false, 0, USB_NO_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbFaultTest, GetTransferStatusFailsOnce) {
    bus->FailTransferStatus(id, {0x02});
    USB_TRANSFER t = Write("q", 1);
    ASSERT_NE(t, nullptr);
    DWORD bytes = 0, error = 0;
    EXPECT_FALSE(f->lpGetTransferStatus(t, &bytes, &error));
    EXPECT_TRUE(f->lpGetTransferStatus(t, &bytes, &error));
    EXPECT_EQ(bytes, 1u);
    EXPECT_TRUE(f->lpCloseTransfer(t));
}

TEST_F(UsbFaultTest, DeviceStallOnAnOutEndpointHaltsOnlyThatPipe) {
    bus->Stall(id, 0x02);
    EXPECT_EQ(Retire(Write("s", 1)).error, USB_STALL_ERROR);
    BOOL halted = FALSE;
    ASSERT_TRUE(f->lpIsPipeHalted(outPipe, &halted));
    EXPECT_TRUE(halted);
    line->Inject({5});
    uint8_t b[4];
    EXPECT_EQ(Retire(Read(b, sizeof(b))).error, USB_NO_ERROR);
}

TEST_F(UsbFaultTest, ClearFaultsDisarmsEverything) {
    bus->FailIssues(id, {}, 5);
    bus->Stall(id, 0x02);
    bus->ClearFaults(id);
    EXPECT_EQ(Retire(Write("k", 1)).error, USB_NO_ERROR);
}

}  // namespace
