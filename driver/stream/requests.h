// The serial control requests COM_IOControl serves, as one table: each
// request's code, the input and output it needs, and the function that
// serves it (driver/stream/control.cpp).
//
// The buffer rules are applied in one place, in this order, before the
// serving function runs:
//   1. a request with an output sets the count at pdwActualOut to 0 first,
//      when that pointer is given;
//   2. a request with an input needs pBufIn and a dwLenIn of at least its
//      input size;
//   3. a request with an output needs pBufOut, pdwActualOut and a dwLenOut
//      of at least its output size.
// A size of 0 means that buffer is not looked at. A failed test refuses the
// request with ERROR_INVALID_PARAMETER. Rules that do not fit a pair of
// sizes are the serving function's own, and its row says so.
//
// The table is written once, below, as SERLYNX_SERIAL_REQUESTS(ROW), which
// expands ROW(code, input bytes, output bytes, serving function) for every
// request in function-number order, so that code which runs the requests
// without linking the driver (the black-box tests, the fuzz target) reads
// the same codes and sizes: kSerialRequestRules.
#pragma once

#include "ce/serial.h"

// clang-format off
#define SERLYNX_SERIAL_REQUESTS(ROW)                                                    \
    ROW(IOCTL_SERIAL_SET_BREAK_ON, 0, 0, SerialSetBreakOn)                              \
    ROW(IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, SerialSetBreakOff)                            \
    /* Refused while the line is under handshake control. */                           \
    ROW(IOCTL_SERIAL_SET_DTR, 0, 0, SerialSetDtr)                                       \
    ROW(IOCTL_SERIAL_CLR_DTR, 0, 0, SerialClrDtr)                                       \
    ROW(IOCTL_SERIAL_SET_RTS, 0, 0, SerialSetRts)                                       \
    ROW(IOCTL_SERIAL_CLR_RTS, 0, 0, SerialClrRts)                                       \
    ROW(IOCTL_SERIAL_SET_XOFF, 0, 0, SerialSetXoff)                                     \
    ROW(IOCTL_SERIAL_SET_XON, 0, 0, SerialSetXon)                                       \
    ROW(IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(DWORD), SerialGetWaitMask)                \
    ROW(IOCTL_SERIAL_SET_WAIT_MASK, sizeof(DWORD), 0, SerialSetWaitMask)                \
    /* The count is 4 only when the wait returns TRUE. */                               \
    ROW(IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(DWORD), SerialWaitOnMask)                  \
    ROW(IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_DEV_STATUS), SerialGetCommStatus) \
    ROW(IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(DWORD), SerialGetModemStatus)           \
    ROW(IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(COMMPROP), SerialGetProperties)          \
    ROW(IOCTL_SERIAL_SET_TIMEOUTS, sizeof(COMMTIMEOUTS), 0, SerialSetTimeouts)          \
    ROW(IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(COMMTIMEOUTS), SerialGetTimeouts)          \
    ROW(IOCTL_SERIAL_PURGE, sizeof(DWORD), 0, SerialPurge)                              \
    ROW(IOCTL_SERIAL_SET_QUEUE_SIZE, 0, 0, SerialSetQueueSize)                          \
    /* TRUE only when exactly one data byte went. */                                    \
    ROW(IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, SerialImmediateChar)                         \
    ROW(IOCTL_SERIAL_GET_DCB, 0, sizeof(DCB), SerialGetDcb)                             \
    /* Refuses a DCBlength other than 28 and a data format the port cannot */           \
    /* give its line, leaving the settings as they were. */                             \
    ROW(IOCTL_SERIAL_SET_DCB, sizeof(DCB), 0, SerialSetDcb)                             \
    ROW(IOCTL_SERIAL_ENABLE_IR, 0, 0, SerialEnableIr)                                   \
    ROW(IOCTL_SERIAL_DISABLE_IR, 0, 0, SerialDisableIr)
// clang-format on

// A request's buffer needs, for code that sends requests rather than
// serving them.
struct SerialRequestRule {
    DWORD code;
    const char* name;  // "IOCTL_SERIAL_..."
    DWORD inSize;      // 0: the input is not looked at
    DWORD outSize;     // 0: the output is not looked at
};

#define SERLYNX_SERIAL_REQUEST_RULE(code, in, out, serve) SerialRequestRule{code, #code, in, out},
inline constexpr SerialRequestRule kSerialRequestRules[] = {
    SERLYNX_SERIAL_REQUESTS(SERLYNX_SERIAL_REQUEST_RULE)};
#undef SERLYNX_SERIAL_REQUEST_RULE
