// Line status and comm-event posting: what the device reports about its
// modem lines, break state and line errors becomes modemStatus, errors and
// EV_ events on the open handles.
#pragma once

#include "driver/port/port.h"

// [worker] Takes a complete report: ORs `lineErrors` (CE_ bits) into
// `errors` (interlocked loop, retried until it lands), replaces modemStatus with
// `modemWord` (MS_ bits plus kModemBreak), raises EV_ERR for nonzero errors
// and EV_BREAK, EV_CTS, EV_DSR, EV_RING, EV_RLSD for each changed line, sets
// writeEvent on a CTS or DSR change, and posts the events together with
// `signals` (EV_BREAK, EV_RING: signals the device reports as events, one
// per report, not as lines). Always TRUE.
BOOL UpdateLineStatus(SerialPort* port, DWORD modemWord, DWORD lineErrors, DWORD signals = 0)
    SL_EXCLUDES(port->openLock);

// [worker] Marks `events` pending on every open handle whose channel is
// `port` and whose wait mask holds at least one of them newly, and wakes its
// waiter. The handles live on the owner's list (a second channel's on its
// parent's), walked under the owner's openLock. Always TRUE.
BOOL NotifyEvents(SerialPort* port, DWORD events) SL_EXCLUDES(port->openLock);
