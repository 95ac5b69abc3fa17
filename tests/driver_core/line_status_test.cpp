// Line status reports and comm-event posting to open handles.
#include "harness.h"

namespace drvtest {
namespace {

using CoreLineStatusTest = CoreTest;

TEST_F(CoreLineStatusTest, ReportsRaiseEventsForChangedLines) {
    struct Case {
        const char* name;
        DWORD before;  // modemStatus before the report
        DWORD report;
        DWORD lineErrors;
        DWORD events;  // posted
        bool writeWoken;
    } const cases[] = {
        {"unchanged, no errors", 0x30, 0x30, 0, 0, false},
        {"CTS drops", 0x30, 0x20, 0, EV_CTS, true},
        {"DSR drops", 0x30, 0x10, 0, EV_DSR, true},
        {"RING alone", 0x30, 0x70, 0, EV_RING, false},
        {"RLSD alone", 0x30, 0xB0, 0, EV_RLSD, false},
        {"break starts", 0x30, 0x31, 0, EV_BREAK, false},
        {"errors alone", 0x30, 0x30, CE_FRAME, EV_ERR, false},
        {"bits 0x02-0x08 raise nothing", 0x30, 0x3E, 0, 0, false},
    };
    SerialPort* port = NewPort();
    StartIdle(port);
    const DWORD everything = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
    OpenHandle* handle = AddHandle(port, everything);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        port->modemStatus = c.before;
        port->errors = CE_RXPARITY;
        handle->eventWord = everything << 16;
        Signalled(port->writeEvent);
        Signalled(handle->waitEvent);
        EXPECT_TRUE(UpdateLineStatus(port, c.report, c.lineErrors));
        EXPECT_EQ(port->modemStatus, c.report);
        EXPECT_EQ(port->errors, CE_RXPARITY | c.lineErrors);
        EXPECT_EQ(handle->eventWord & 0xFFFF, c.events);
        EXPECT_EQ(Signalled(handle->waitEvent), c.events != 0);
        EXPECT_EQ(Signalled(port->writeEvent), c.writeWoken);
    }
    Finish(port);
}

// An event wakes the handles whose mask holds it and that have not got it
// pending yet; a handle cut loose from the port, or on the other channel of
// a two-channel device, is not touched.
TEST_F(CoreLineStatusTest, EventsReachOnlyWaitersThatWantThemNewly) {
    SerialPort* port = NewPort();
    StartIdle(port);
    // The second channel only needs its parent for posting events: the
    // handles and the lock are the parent's.
    SerialPort* second = NewPort();
    second->parent = port;
    OpenHandle* cts = AddHandle(port, EV_CTS);
    OpenHandle* cts2 = AddHandle(port, EV_CTS | EV_DSR);
    OpenHandle* ring = AddHandle(port, EV_RING);
    OpenHandle* detached = AddHandle(port, EV_CTS);
    OpenHandle* onSecond = AddHandle(port, EV_CTS, second);
    detached->port = nullptr;

    EXPECT_TRUE(NotifyEvents(port, EV_CTS));
    EXPECT_TRUE(Signalled(cts->waitEvent));
    EXPECT_TRUE(Signalled(cts2->waitEvent));
    EXPECT_EQ(cts->eventWord, (EV_CTS << 16) | EV_CTS);
    EXPECT_FALSE(Signalled(ring->waitEvent));
    EXPECT_EQ(ring->eventWord, EV_RING << 16);
    for (OpenHandle* untouched : {detached, onSecond}) {
        EXPECT_FALSE(Signalled(untouched->waitEvent));
        EXPECT_EQ(untouched->eventWord, EV_CTS << 16);
    }
    // Already pending: nobody is woken again; a new event in the mask is.
    NotifyEvents(port, EV_CTS);
    EXPECT_FALSE(Signalled(cts->waitEvent));
    EXPECT_FALSE(Signalled(cts2->waitEvent));
    NotifyEvents(port, EV_DSR | EV_CTS);
    EXPECT_FALSE(Signalled(cts->waitEvent));
    EXPECT_TRUE(Signalled(cts2->waitEvent));
    EXPECT_EQ(cts2->eventWord & 0xFFFF, EV_CTS | EV_DSR);
    // The second channel's events reach only its handles.
    NotifyEvents(second, EV_CTS);
    EXPECT_TRUE(Signalled(onSecond->waitEvent));
    EXPECT_FALSE(Signalled(ring->waitEvent));
    PortDelete(second);
    Finish(port);
}

// Contention on `errors` (a status request clearing it) or on a handle's
// event word (the application changing its mask) that outlasts many
// exchanges drops neither error bits nor events.
TEST_F(CoreLineStatusTest, ContentionDropsNoBitsAndNoEvents) {
    SerialPort* port = NewPort();
    StartIdle(port);
    OpenHandle* handle = AddHandle(port, EV_CTS | EV_ERR);
    port->modemStatus = MS_CTS_ON;
    port->errors = 0;
    cehost::ContendCompareExchange(reinterpret_cast<LONG volatile*>(&port->errors), 20);
    UpdateLineStatus(port, MS_CTS_ON, CE_FRAME);
    EXPECT_EQ(port->errors, static_cast<DWORD>(CE_FRAME));
    cehost::ContendCompareExchange(reinterpret_cast<LONG volatile*>(&handle->eventWord), 20);
    UpdateLineStatus(port, 0, 0);  // CTS drops
    EXPECT_EQ(handle->eventWord & 0xFFFF, static_cast<DWORD>(EV_ERR | EV_CTS));
    EXPECT_TRUE(Signalled(handle->waitEvent));
    cehost::ContendCompareExchange(nullptr, 0);
    Finish(port);
}

}  // namespace
}  // namespace drvtest
