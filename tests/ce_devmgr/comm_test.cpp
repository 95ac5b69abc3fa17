#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "devmgr_fixture.h"

namespace {

class DevmgrCommTest : public DevmgrTest {
  protected:
    void SetUp() override {
        DevmgrTest::SetUp();
        dev_ = ActivateDevice(kDevKey, 0);
        ASSERT_NE(dev_, nullptr);
        file_ = Open();
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(file_);
        DeactivateDevice(dev_);
        DevmgrTest::TearDown();
    }
    HANDLE dev_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

struct Mapping {
    const char* api;
    std::function<BOOL(HANDLE)> call;
    DWORD code;
    DWORD inLen;
    DWORD outLen;
    std::vector<uint8_t> in;  // expected input bytes (empty: not checked)
};

TEST_F(DevmgrCommTest, EachCallBecomesItsSerialRequest) {
    static DCB dcb;
    static COMMTIMEOUTS timeouts;
    static DWORD mask;
    static COMMPROP prop;
    const Mapping rows[] = {
        {"SetCommState",
         [](HANDLE h) { return SetCommState(h, &dcb); },
         IOCTL_SERIAL_SET_DCB,
         28,
         0,
         {}},
        {"GetCommState",
         [](HANDLE h) { return GetCommState(h, &dcb); },
         IOCTL_SERIAL_GET_DCB,
         0,
         28,
         {}},
        {"SetCommTimeouts",
         [](HANDLE h) { return SetCommTimeouts(h, &timeouts); },
         IOCTL_SERIAL_SET_TIMEOUTS,
         20,
         0,
         {}},
        {"GetCommTimeouts",
         [](HANDLE h) { return GetCommTimeouts(h, &timeouts); },
         IOCTL_SERIAL_GET_TIMEOUTS,
         0,
         20,
         {}},
        {"SetCommMask",
         [](HANDLE h) { return SetCommMask(h, EV_RXCHAR | EV_CTS); },
         IOCTL_SERIAL_SET_WAIT_MASK,
         4,
         0,
         {0x09, 0, 0, 0}},
        {"GetCommMask",
         [](HANDLE h) { return GetCommMask(h, &mask); },
         IOCTL_SERIAL_GET_WAIT_MASK,
         0,
         4,
         {}},
        {"WaitCommEvent",
         [](HANDLE h) { return WaitCommEvent(h, &mask, nullptr); },
         IOCTL_SERIAL_WAIT_ON_MASK,
         0,
         4,
         {}},
        {"PurgeComm",
         [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR | PURGE_TXABORT); },
         IOCTL_SERIAL_PURGE,
         4,
         0,
         {0x09, 0, 0, 0}},
        {"GetCommModemStatus",
         [](HANDLE h) { return GetCommModemStatus(h, &mask); },
         IOCTL_SERIAL_GET_MODEMSTATUS,
         0,
         4,
         {}},
        {"GetCommProperties",
         [](HANDLE h) { return GetCommProperties(h, &prop); },
         IOCTL_SERIAL_GET_PROPERTIES,
         0,
         64,
         {}},
        {"SetupComm",
         [](HANDLE h) { return SetupComm(h, 0x1000, 0x20); },
         IOCTL_SERIAL_SET_QUEUE_SIZE,
         8,
         0,
         {0, 0x10, 0, 0, 0x20, 0, 0, 0}},
        {"TransmitCommChar",
         [](HANDLE h) { return TransmitCommChar(h, 'Z'); },
         IOCTL_SERIAL_IMMEDIATE_CHAR,
         1,
         0,
         {'Z'}},
        {"SetCommBreak",
         [](HANDLE h) { return SetCommBreak(h); },
         IOCTL_SERIAL_SET_BREAK_ON,
         0,
         0,
         {}},
        {"ClearCommBreak",
         [](HANDLE h) { return ClearCommBreak(h); },
         IOCTL_SERIAL_SET_BREAK_OFF,
         0,
         0,
         {}},
        {"ClearCommError",
         [](HANDLE h) { return ClearCommError(h, nullptr, nullptr); },
         IOCTL_SERIAL_GET_COMMSTATUS,
         0,
         16,
         {}},
    };
    for (const Mapping& row : rows) {
        SCOPED_TRACE(row.api);
        const size_t before = drv().CountOf("IOControl");
        EXPECT_TRUE(row.call(file_));
        auto calls = drv().CallsOf("IOControl");
        ASSERT_EQ(calls.size(), before + 1);
        const stub::Call& c = calls.back();
        EXPECT_EQ(c.args[0], row.code);
        EXPECT_EQ(c.args[1], row.inLen);
        EXPECT_EQ(c.args[2], row.outLen);
        // Requests with output get a place for the count; the driver needs it.
        EXPECT_EQ(c.args[4] != 0, row.outLen != 0);
        if (!row.in.empty()) {
            EXPECT_EQ(c.data, row.in);
        }
    }
}

TEST_F(DevmgrCommTest, EscapeFunctionsMapToTheirRequests) {
    const struct {
        DWORD func;
        DWORD code;
    } rows[] = {
        {SETXOFF, IOCTL_SERIAL_SET_XOFF},      {SETXON, IOCTL_SERIAL_SET_XON},
        {SETRTS, IOCTL_SERIAL_SET_RTS},        {CLRRTS, IOCTL_SERIAL_CLR_RTS},
        {SETDTR, IOCTL_SERIAL_SET_DTR},        {CLRDTR, IOCTL_SERIAL_CLR_DTR},
        {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON}, {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
        {SETIR, IOCTL_SERIAL_ENABLE_IR},       {CLRIR, IOCTL_SERIAL_DISABLE_IR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.func);
        EXPECT_TRUE(EscapeCommFunction(file_, row.func));
        EXPECT_EQ(drv().CallsOf("IOControl").back().args[0], row.code);
    }
    const size_t before = drv().CountOf("IOControl");
    for (DWORD bad : {0u, 7u, 12u, 0xFFFFFFFFu}) {
        SetLastError(0);
        EXPECT_FALSE(EscapeCommFunction(file_, bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(drv().CountOf("IOControl"), before);
}

TEST_F(DevmgrCommTest, OutputsReachTheCaller) {
    // The stub fills outputs with 0x40, 0x41, ...
    DWORD modem = 0;
    EXPECT_TRUE(GetCommModemStatus(file_, &modem));
    EXPECT_EQ(modem, 0x43424140u);

    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof(stat));
    EXPECT_TRUE(ClearCommError(file_, &errors, &stat));
    EXPECT_EQ(errors, 0x43424140u);
    EXPECT_EQ(stat.cbInQue, 0x4B4A4948u);
    EXPECT_EQ(stat.cbOutQue, 0x4F4E4D4Cu);

    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    EXPECT_TRUE(GetCommState(file_, &dcb));
    EXPECT_EQ(dcb.wReserved1, 0x5B5Au);  // the last two of 28 bytes
}

TEST_F(DevmgrCommTest, DriverRefusalIsReturned) {
    drv().config().ioctlResult = FALSE;
    drv().config().ioctlError = ERROR_INVALID_PARAMETER;
    DWORD errors = 0xAAAA;
    COMSTAT stat;
    std::memset(&stat, 0x5A, sizeof(stat));
    SetLastError(0);
    EXPECT_FALSE(ClearCommError(file_, &errors, &stat));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(errors, 0xAAAAu);  // untouched on failure
    EXPECT_EQ(stat.cbInQue, 0x5A5A5A5Au);
    EXPECT_FALSE(SetCommMask(file_, EV_RXCHAR));
    EXPECT_FALSE(WaitCommEvent(file_, &errors, &errors));  // overlapped: refused before the driver
}

}  // namespace
