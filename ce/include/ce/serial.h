// Serial records, constants and I/O control codes with their published
// layouts and values. Little-endian, natural alignment.
#pragma once

#include <stddef.h>

#include "ce/types.h"

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _SERIAL_DEV_STATUS {
    DWORD Errors;
    COMSTAT ComStat;
} SERIAL_DEV_STATUS, *PSERIAL_DEV_STATUS;

typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

// Process-exit notification record. On the 32-bit target it is 16 bytes; the
// handles widen on a 64-bit host, so drivers compare dwSize and the input
// length with kDevicePslNotifyTargetSize.
typedef struct _DEVICE_PSL_NOTIFY {
    DWORD dwSize;
    DWORD dwFlags;
    HANDLE hProc;
    HANDLE hThread;
} DEVICE_PSL_NOTIFY, *PDEVICE_PSL_NOTIFY;
#define DEVICE_PSL_NOTIFY_TARGET_SIZE 16u

// DCB control modes.
#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

// Comm events.
#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u
#define EV_PERR 0x0200u
#define EV_RX80FULL 0x0400u

// Modem status.
#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u

// Comm errors.
#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u
#define CE_TXFULL 0x0100u

// Purge.
#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

// EscapeCommFunction.
#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define SETBREAK 8
#define CLRBREAK 9
#define SETIR 10
#define CLRIR 11

// COMMPROP values.
#define SP_SERIALCOMM 0x00000001u
#define BAUD_USER 0x10000000u

// I/O control codes.
#define FILE_DEVICE_SERIAL_PORT 0x0000001Bu
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define SERIAL_IOCTL(n) CTL_CODE(FILE_DEVICE_SERIAL_PORT, (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_SERIAL_SET_BREAK_ON SERIAL_IOCTL(1)
#define IOCTL_SERIAL_SET_BREAK_OFF SERIAL_IOCTL(2)
#define IOCTL_SERIAL_SET_DTR SERIAL_IOCTL(3)
#define IOCTL_SERIAL_CLR_DTR SERIAL_IOCTL(4)
#define IOCTL_SERIAL_SET_RTS SERIAL_IOCTL(5)
#define IOCTL_SERIAL_CLR_RTS SERIAL_IOCTL(6)
#define IOCTL_SERIAL_SET_XOFF SERIAL_IOCTL(7)
#define IOCTL_SERIAL_SET_XON SERIAL_IOCTL(8)
#define IOCTL_SERIAL_GET_WAIT_MASK SERIAL_IOCTL(9)
#define IOCTL_SERIAL_SET_WAIT_MASK SERIAL_IOCTL(10)
#define IOCTL_SERIAL_WAIT_ON_MASK SERIAL_IOCTL(11)
#define IOCTL_SERIAL_GET_COMMSTATUS SERIAL_IOCTL(12)
#define IOCTL_SERIAL_GET_MODEMSTATUS SERIAL_IOCTL(13)
#define IOCTL_SERIAL_GET_PROPERTIES SERIAL_IOCTL(14)
#define IOCTL_SERIAL_SET_TIMEOUTS SERIAL_IOCTL(15)
#define IOCTL_SERIAL_GET_TIMEOUTS SERIAL_IOCTL(16)
#define IOCTL_SERIAL_PURGE SERIAL_IOCTL(17)
#define IOCTL_SERIAL_SET_QUEUE_SIZE SERIAL_IOCTL(18)
#define IOCTL_SERIAL_IMMEDIATE_CHAR SERIAL_IOCTL(19)
#define IOCTL_SERIAL_GET_DCB SERIAL_IOCTL(20)
#define IOCTL_SERIAL_SET_DCB SERIAL_IOCTL(21)
#define IOCTL_SERIAL_ENABLE_IR SERIAL_IOCTL(22)
#define IOCTL_SERIAL_DISABLE_IR SERIAL_IOCTL(23)
#define IOCTL_PSL_NOTIFY 0x010303FFu

// Published layouts, pinned.
static_assert(sizeof(DCB) == 28, "DCB is 28 bytes");
static_assert(offsetof(DCB, BaudRate) == 4);
static_assert(offsetof(DCB, wReserved) == 12);
static_assert(offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, XoffLim) == 16);
static_assert(offsetof(DCB, ByteSize) == 18);
static_assert(offsetof(DCB, Parity) == 19);
static_assert(offsetof(DCB, StopBits) == 20);
static_assert(offsetof(DCB, XonChar) == 21);
static_assert(offsetof(DCB, XoffChar) == 22);
static_assert(offsetof(DCB, ErrorChar) == 23);
static_assert(offsetof(DCB, EofChar) == 24);
static_assert(offsetof(DCB, EvtChar) == 25);
static_assert(offsetof(DCB, wReserved1) == 26);
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS is 20 bytes");
static_assert(offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant) == 16);
static_assert(sizeof(COMSTAT) == 12, "COMSTAT is 12 bytes");
static_assert(offsetof(COMSTAT, cbInQue) == 4);
static_assert(offsetof(COMSTAT, cbOutQue) == 8);
static_assert(sizeof(SERIAL_DEV_STATUS) == 16, "SERIAL_DEV_STATUS is 16 bytes");
static_assert(offsetof(SERIAL_DEV_STATUS, ComStat) == 4);
static_assert(sizeof(COMMPROP) == 64, "COMMPROP is 64 bytes");
static_assert(offsetof(COMMPROP, dwServiceMask) == 4);
static_assert(offsetof(COMMPROP, dwMaxBaud) == 20);
static_assert(offsetof(COMMPROP, dwSettableBaud) == 36);
static_assert(offsetof(COMMPROP, wSettableData) == 40);
static_assert(offsetof(COMMPROP, wSettableStopParity) == 42);
static_assert(offsetof(COMMPROP, dwCurrentTxQueue) == 44);
static_assert(offsetof(COMMPROP, dwProvSpec2) == 56);
static_assert(offsetof(COMMPROP, wcProvChar) == 60);
static_assert(offsetof(DEVICE_PSL_NOTIFY, dwFlags) == 4);
static_assert(offsetof(DEVICE_PSL_NOTIFY, hProc) == 8);
static_assert(sizeof(void*) != 4 || sizeof(DEVICE_PSL_NOTIFY) == 16, "16 bytes on the target");
static_assert(IOCTL_SERIAL_SET_BREAK_ON == 0x001B0004u);
static_assert(IOCTL_SERIAL_DISABLE_IR == 0x001B005Cu);
