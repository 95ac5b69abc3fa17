// The serial control requests: buffer tests and refusals, settings, status,
// wait masks and purge. (The immediate character is tested with the port
// types that frame it.)
#include <cstring>
#include <tuple>

#include "ce/windows.h"
#include "cehost/core.h"
#include "driver/port/line_status.h"
#include "driver/stream/com_entry.h"
#include "driver/stream/requests.h"
#include "driver_stream/stream_fixture.h"

namespace streamtest {
namespace {

using Control = StreamTest;

// Every request with a buffer rule (requests.h) refuses a missing or short
// input, and a missing output, count pointer or short output, with
// ERROR_INVALID_PARAMETER: the count set to 0 (by a request with an output),
// the output untouched, the settings and the received byte as they were. An
// output that fits gets its count. Unknown codes are refused.
TEST_F(Control, BufferRules) {
    DWORD_PTR h = StartPort();
    ASSERT_TRUE(IoctlIn(h, IOCTL_SERIAL_SET_WAIT_MASK, DWORD{EV_RXCHAR}));
    Feed(Pattern(1));  // so that a wait returns at once
    const DCB dcbBefore = PortDcb();
    BYTE input[80] = {}, output[80];
    for (const SerialRequestRule& r : kSerialRequestRules) {
        SCOPED_TRACE(r.name);
        const DWORD in = r.inSize, out = r.outSize;
        const struct {
            bool nullIn, nullOut, nullCount;
            DWORD inLength, outLength;
        } tries[] = {{true, false, false, in, 0},
                     {false, false, false, in - 1, 0},
                     {false, true, false, 0, out},
                     {false, false, true, 0, out},
                     {false, false, false, 0, out - 1}};
        for (const auto& t : tries) {
            if ((&t < tries + 2 ? in : out) == 0)
                continue;
            SCOPED_TRACE(&t - tries);
            std::memset(output, 0xA5, sizeof output);
            DWORD actual = 99;
            SetLastError(0);
            EXPECT_FALSE(Ioctl(h, r.code, t.nullIn ? nullptr : input, t.inLength,
                               t.nullOut ? nullptr : output, t.outLength,
                               t.nullCount ? nullptr : &actual));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(actual, out != 0 && !t.nullCount ? 0u : 99u);
            EXPECT_EQ(output[0], 0xA5);
        }
        DWORD actual = 99;
        if (out != 0) {
            EXPECT_TRUE(Ioctl(h, r.code, nullptr, 0, output, sizeof output, &actual));
            EXPECT_EQ(actual, out);
        }
    }
    const DCB dcbAfter = PortDcb();
    EXPECT_EQ(0, std::memcmp(&dcbBefore, &dcbAfter, sizeof(DCB)));
    EXPECT_EQ(Held(), 1);
    // A DCB whose length field is not 28 is refused and changes nothing.
    DCB dcb = dcbBefore;
    dcb.DCBlength = 27;
    dcb.BaudRate = 1200;
    EXPECT_FALSE(IoctlIn(h, IOCTL_SERIAL_SET_DCB, dcb));
    EXPECT_EQ(PortDcb().BaudRate, dcbBefore.BaudRate);
    // Requests that look at no buffer take null ones of any length.
    for (DWORD code : {IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_QUEUE_SIZE})
        EXPECT_TRUE(Ioctl(h, code, nullptr, 100, nullptr, 100)) << std::hex << code;
    // Codes outside the serial family and function numbers outside 1..23
    // fail without a last-error value.
    for (DWORD code : std::initializer_list<DWORD>{
             SERIAL_IOCTL(0), SERIAL_IOCTL(24), CTL_CODE(0x22, 1, METHOD_BUFFERED, FILE_ANY_ACCESS),
             CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, 1, FILE_ANY_ACCESS)}) {
        SetLastError(1234);
        EXPECT_FALSE(Ioctl(h, code, input, 64, output, 64)) << std::hex << code;
        EXPECT_EQ(GetLastError(), 1234u) << std::hex << code;
    }
}

// A line under handshake control refuses its request (ERROR_INVALID_PARAMETER,
// nothing sent); otherwise the port operation's result is the request's,
// without a last-error value. (The requests reaching the device:
// CdcRequests.ControlLinesAndBreak.) SET_XOFF holds output only under
// XON/XOFF output control.
TEST_F(Control, LineBreakAndXoffRequests) {
    DWORD_PTR h = StartPort();
    EditDcb(h, [](DCB& d) {
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    });
    const int calls = port->lineCalls.load();
    for (DWORD code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_RTS}) {
        SetLastError(0);
        EXPECT_FALSE(Ioctl(h, code));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << code;
    }
    EXPECT_EQ(port->lineCalls.load(), calls);
    EditDcb(h, [](DCB& d) { d.fDtrControl = d.fRtsControl = 0; });
    port->lineResult = FALSE;
    SetLastError(0);
    EXPECT_FALSE(Ioctl(h, IOCTL_SERIAL_SET_BREAK_ON));
    EXPECT_FALSE(Ioctl(h, IOCTL_SERIAL_SET_DTR));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(port->lineCalls.load(), calls + 2) << "settings, then SET_DTR";
    port->lineResult = TRUE;
    EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_XOFF));
    EXPECT_EQ(ReadAcquire(&port->outputHeld), 0) << "no effect without fOutX";
}

// SET_DCB stores the DCB as given and applies it, but refuses data bits,
// parity or stop bits for which the port's device has no code, leaving the
// settings as they were; the ports that send no line settings keep taking
// any value. (Each chip family's own formats, taken and refused, are tested
// with its port type.)
TEST_F(Control, SetDcbRefusesFormatsThePortCannotExpress) {
    // The port's mode, a format, whether it is taken.
    for (auto [usbMode, bits, parity, stop, taken] : {
             std::tuple<DWORD, BYTE, BYTE, BYTE, bool>{0x0000, 9, 7, 5, true},  // basic
             {0x1001, 9, 5, 3, true},                   // CDC without line coding
             {0x0002, 4, NOPARITY, ONESTOPBIT, false},  // two-channel
         }) {
        SCOPED_TRACE(usbMode);
        DWORD_PTR h = StartPort(usbMode);
        DCB dcb = PortDcb(), back{};
        dcb.BaudRate = 1200;
        dcb.ByteSize = bits, dcb.Parity = parity, dcb.StopBits = stop;
        SetLastError(0);
        EXPECT_EQ(IoctlIn(h, IOCTL_SERIAL_SET_DCB, dcb), taken ? TRUE : FALSE);
        EXPECT_EQ(port->applyCount.load(), taken ? 2 : 1);
        ASSERT_TRUE(IoctlOut(h, IOCTL_SERIAL_GET_DCB, &back));
        EXPECT_EQ(GetLastError(), taken ? 0u : DWORD{ERROR_INVALID_PARAMETER});
        EXPECT_EQ(std::memcmp(&dcb, &back, sizeof(dcb)) == 0, taken);
        EXPECT_EQ(back.BaudRate, taken ? 1200u : 9600u);
        Restart();
    }
}

TEST_F(Control, CommStatusAndModemStatus) {
    DWORD_PTR h = StartPort(0, 1024);
    SetTimeouts(h, MAXDWORD, 0, 0);
    Feed(Pattern(900));  // then 300 bytes held across the end of the ring
    ASSERT_EQ(Read(h, 900).size(), 900u);
    Feed(Pattern(300));
    ASSERT_LT(ReadAcquire(&port->ringHead), ReadAcquire(&port->ringTail));
    UpdateLineStatus(port, MS_CTS_ON | MS_RING_ON | kModemBreak | 0x02, CE_FRAME | CE_OVERRUN);
    EditDcb(h, [](DCB& d) { d.fOutxDsrFlow = d.fOutxCtsFlow = d.fOutX = 1; });
    WriteRelease(&port->outputHeld, 1);
    SERIAL_DEV_STATUS s{};
    ASSERT_TRUE(IoctlOut(h, IOCTL_SERIAL_GET_COMMSTATUS, &s));
    EXPECT_EQ(s.Errors, CE_FRAME | CE_OVERRUN | CE_BREAK);
    const COMSTAT& q = s.ComStat;
    EXPECT_EQ(std::vector<DWORD>(
                  {q.cbInQue, q.cbOutQue, q.fDsrHold, q.fCtsHold, q.fXoffHold, q.fXoffSent}),
              std::vector<DWORD>({300, 0, 1, 0, 1, 0}));
    // The errors were read and cleared; the break stays while it lasts.
    ASSERT_TRUE(IoctlOut(h, IOCTL_SERIAL_GET_COMMSTATUS, &s));
    EXPECT_EQ(s.Errors, CE_BREAK);
    DWORD modem = 0;
    ASSERT_TRUE(IoctlOut(h, IOCTL_SERIAL_GET_MODEMSTATUS, &modem));
    EXPECT_EQ(modem, MS_CTS_ON | MS_RING_ON);
    UpdateLineStatus(port, MS_DSR_ON, 0);
    ASSERT_TRUE(IoctlOut(h, IOCTL_SERIAL_GET_COMMSTATUS, &s));
    EXPECT_EQ(s.Errors, 0u);
    EXPECT_EQ(q.fCtsHold + 2 * q.fDsrHold, 1u) << "CTS holds, DSR does not";
}

// IOCTL_SERIAL_WAIT_ON_MASK and its companions.
TEST_F(Control, WaitMasks) {
    DWORD_PTR a = StartPort();
    DWORD_PTR b = Open();
    auto setMask = [&](DWORD_PTR h, DWORD mask) {
        ASSERT_TRUE(IoctlIn(h, IOCTL_SERIAL_SET_WAIT_MASK, mask));
    };
    // A wait's result: TRUE/FALSE, its events, the last-error value.
    using Result = std::vector<DWORD>;
    auto wait = [&](DWORD_PTR h) {
        DWORD events = 0xDEAD, actual = 0;
        SetLastError(0);
        BOOL ok = Ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4, &actual);
        return Result{DWORD(ok), events, ok ? 0 : GetLastError()};
    };
    // Runs `wake` while a wait blocks on `h`; the wait's result.
    auto waitWoken = [&](DWORD_PTR h, const std::function<void()>& wake) {
        Result r;
        std::thread t =
            Started([&] { r = wait(h); }, [&] { return ReadAcquire(&Rec(h)->waitState) == 1; });
        wake();
        t.join();
        return r;
    };
    const Result kNoMask{FALSE, 0, ERROR_INVALID_PARAMETER}, kAborted{TRUE, 0, 0};
    // No mask and nothing pending: fails at once.
    EXPECT_EQ(wait(a), kNoMask);
    // One event wakes both handles that wait for it; a second wait on a
    // handle that waits is refused; a satisfied wait keeps the mask.
    setMask(a, EV_RXCHAR | EV_CTS);
    setMask(b, EV_RXCHAR);
    Result rb;
    std::thread tb =
        Started([&] { rb = wait(b); }, [&] { return ReadAcquire(&Rec(b)->waitState) == 1; });
    Result ra = waitWoken(a, [&] {
        EXPECT_EQ(wait(a), (Result{FALSE, 0, ERROR_ACCESS_DENIED}));
        host.Receive(Pattern(1));
    });
    tb.join();
    EXPECT_EQ(ra, (Result{TRUE, EV_RXCHAR, 0}));
    EXPECT_EQ(rb, (Result{TRUE, EV_RXCHAR, 0}));
    DWORD mask = 0;
    EXPECT_TRUE(IoctlOut(a, IOCTL_SERIAL_GET_WAIT_MASK, &mask));
    EXPECT_EQ(mask, EV_RXCHAR | EV_CTS);
    // A new mask aborts a running wait: TRUE with no events.
    EXPECT_EQ(waitWoken(a, [&] { setMask(a, EV_CTS); }), kAborted);
    // A new mask keeps only the pending events it contains.
    setMask(a, EV_CTS | EV_DSR | EV_RING);
    UpdateLineStatus(port, MS_CTS_ON | MS_RING_ON, 0);  // DSR drops, RING rises
    setMask(a, EV_DSR | EV_RLSD);
    EXPECT_EQ(wait(a), (Result{TRUE, EV_DSR, 0}));
    // An empty mask set during a wait ends it as an abort; the next wait
    // finds no mask and fails.
    EXPECT_EQ(waitWoken(a, [&] { setMask(a, 0); }), kAborted);
    EXPECT_EQ(wait(a), kNoMask);
    // A detach ends the wait with ERROR_INVALID_HANDLE.
    setMask(b, EV_BREAK);
    EXPECT_EQ(waitWoken(b, [&] { EXPECT_TRUE(Ioctl(b, IOCTL_PSL_NOTIFY, kExitNotice, 16)); }),
              (Result{FALSE, 0, ERROR_INVALID_HANDLE}));
}

TEST_F(Control, PurgeKinds) {
    DWORD_PTR h = StartPort();
    SetTimeouts(h, MAXDWORD, 0, 0);
    // RXCLEAR empties the ring.
    Feed(Pattern(300));
    EXPECT_TRUE(Purge(h, PURGE_RXCLEAR));
    EXPECT_EQ(Held(), 0);
    EXPECT_TRUE(Read(h, 10).empty());
    // TXCLEAR does nothing (there is no output queue); aborts with nothing
    // running leave the next call working.
    Feed(Pattern(10));
    EXPECT_TRUE(Purge(h, PURGE_TXCLEAR | PURGE_TXABORT | PURGE_RXABORT));
    EXPECT_EQ(Read(h, 10), Pattern(10));
    EXPECT_EQ(Write(h, Pattern(5)), 5u);
    // RXABORT ends a blocked read with what it had.
    SetTimeouts(h, 0, 0, 0);
    std::atomic<size_t> got{99};
    std::thread reader([&] { got = Read(h, 10).size(); });
    host.Receive(Pattern(4));
    ASSERT_TRUE(Eventually([&] { return Held() == 0 && ReadAcquire(&port->readBusy); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(Purge(h, PURGE_RXABORT));
    reader.join();
    EXPECT_EQ(got.load(), 4u);
    // (TXABORT ending a held write: ReadWrite.OutputGate, ZeroLengthPackets.)
}

// A receive purge while a reader drains a stream: every byte the reader gets
// is one the device sent, in order, none twice. The stream is a running
// 32-bit counter that never repeats; every block, transfer and read is a
// whole number of counters, so the reader sees whole counters, and one
// delivered twice (or out of order) breaks the strict increase.
TEST_F(Control, ReceivePurgeRacingWithAReader) {
    DWORD_PTR h = StartPort();
    SetTimeouts(h, MAXDWORD, 0, 20);  // up to 20 ms for the first bytes
    std::atomic<bool> stop{false};
    std::vector<uint32_t> delivered;
    std::thread reader([&] {
        while (!stop) {
            std::vector<BYTE> chunk = Read(h, 36);
            ASSERT_EQ(chunk.size() % 4, 0u);
            for (size_t i = 0; i < chunk.size(); i += 4)
                delivered.push_back(*reinterpret_cast<uint32_t*>(&chunk[i]));
        }
    });
    std::vector<uint32_t> block(24);
    uint32_t next = 0;
    for (int round = 0; round < 60; ++round) {
        for (uint32_t& counter : block)
            counter = next++;
        host.Receive(std::vector<BYTE>(reinterpret_cast<BYTE*>(block.data()),
                                       reinterpret_cast<BYTE*>(block.data() + 24)));
        if (round % 3 == 0) {
            EXPECT_TRUE(Purge(h, PURGE_RXCLEAR));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    reader.join();
    for (size_t i = 0; i < delivered.size(); ++i) {
        ASSERT_LT(delivered[i], next) << "never sent";
        ASSERT_TRUE(i == 0 || delivered[i] > delivered[i - 1]) << "repeated or out of order";
    }
}

}  // namespace
}  // namespace streamtest
