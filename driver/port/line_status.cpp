// Line status and comm-event posting; worker thread.
#include "driver/port/line_status.h"

namespace {

struct LineEvent {
    DWORD modemBit;
    DWORD event;
};

// A line raises its event on every change, in both directions; other bits of
// the modem word are stored but raise nothing.
constexpr LineEvent kLineEvents[] = {
    {kModemBreak, EV_BREAK}, {MS_CTS_ON, EV_CTS},   {MS_DSR_ON, EV_DSR},
    {MS_RING_ON, EV_RING},   {MS_RLSD_ON, EV_RLSD},
};

LONG volatile* AsLong(DWORD* field) {
    return reinterpret_cast<LONG volatile*>(field);
}

}  // namespace

BOOL UpdateLineStatus(SerialPort* port, DWORD modemWord, DWORD lineErrors) {
    // IOCTL_SERIAL_GET_COMMSTATUS clears `errors` with an exchange on an
    // application thread meanwhile. The OR is retried until it lands: every
    // failed exchange means another thread's store went in, so the loop
    // cannot livelock, and no reported bit is lost.
    if (lineErrors != 0) {
        LONG volatile* errors = AsLong(&port->errors);
        LONG old = ReadAcquire(errors);
        for (;;) {
            const LONG prior =
                InterlockedTestExchange(errors, old, old | static_cast<LONG>(lineErrors));
            if (prior == old)
                break;
            old = prior;
        }
    }

    DWORD events = lineErrors != 0 ? EV_ERR : 0;
    const DWORD previous = ReadULongAcquire(&port->modemStatus);
    WriteULongRelease(&port->modemStatus, modemWord);
    const DWORD changed = previous ^ modemWord;
    for (const LineEvent& line : kLineEvents) {
        if (changed & line.modemBit)
            events |= line.event;
    }
    // A writer held by CTS or DSR output flow control looks at the lines
    // again.
    if (events & (EV_CTS | EV_DSR))
        SetEvent(port->writeEvent);
    if (events != 0)
        NotifyEvents(port, events);
    return TRUE;
}

BOOL NotifyEvents(SerialPort* port, DWORD events) {
    // Handles of a second channel live on its parent's list; the walk skips
    // the handles that use the other channel.
    SerialPort* owner = OwnerPort(port);
    LockGuard guard(owner->openLock);
    for (OpenHandle* handle = owner->openList; handle != nullptr; handle = handle->next) {
        SerialPort* channel = static_cast<SerialPort*>(
            ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&handle->port)));
        if (channel != port)
            continue;
        // The wait-mask requests change the word on application threads
        // meanwhile; the exchange is retried until it lands or nothing is
        // left to add, so no wanted event is lost.
        LONG volatile* word = AsLong(&handle->eventWord);
        DWORD current = static_cast<DWORD>(ReadAcquire(word));
        for (;;) {
            // Only events in the wait mask (high half) become pending.
            const DWORD next = current | (events & (current >> 16));
            if (next == current)
                break;  // none wanted, or all already pending
            const LONG prior =
                InterlockedTestExchange(word, static_cast<LONG>(current), static_cast<LONG>(next));
            if (static_cast<DWORD>(prior) == current) {
                SetEvent(handle->waitEvent);
                break;
            }
            current = static_cast<DWORD>(prior);
        }
    }
    return TRUE;
}
