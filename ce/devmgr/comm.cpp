// The Comm API: thin wrappers that turn each call into the serial I/O
// control request a stream driver serves.
#include "ce/file.h"
#include "ce/serial.h"
#include "ce/thread.h"

namespace {

BOOL Control(HANDLE h, DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, const_cast<void*>(in), inLen, out, outLen,
                           out ? &returned : nullptr, nullptr);
}

// SERIAL_QUEUE_SIZES, the input of IOCTL_SERIAL_SET_QUEUE_SIZE.
struct QueueSizes {
    DWORD inSize;
    DWORD outSize;
};

}  // namespace

CEAPI BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    return Control(hFile, IOCTL_SERIAL_SET_DCB, lpDCB, sizeof(DCB), nullptr, 0);
}

CEAPI BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    return Control(hFile, IOCTL_SERIAL_GET_DCB, nullptr, 0, lpDCB, sizeof(DCB));
}

CEAPI BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS), nullptr,
                   0);
}

CEAPI BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts,
                   sizeof(COMMTIMEOUTS));
}

CEAPI BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof(DWORD), nullptr, 0);
}

CEAPI BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    return Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

CEAPI BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, void* lpOverlapped) {
    if (lpOverlapped) {  // no overlapped I/O on this platform
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Control(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

CEAPI BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    DWORD code;
    switch (dwFunc) {
        case SETXOFF:
            code = IOCTL_SERIAL_SET_XOFF;
            break;
        case SETXON:
            code = IOCTL_SERIAL_SET_XON;
            break;
        case SETRTS:
            code = IOCTL_SERIAL_SET_RTS;
            break;
        case CLRRTS:
            code = IOCTL_SERIAL_CLR_RTS;
            break;
        case SETDTR:
            code = IOCTL_SERIAL_SET_DTR;
            break;
        case CLRDTR:
            code = IOCTL_SERIAL_CLR_DTR;
            break;
        case SETBREAK:
            code = IOCTL_SERIAL_SET_BREAK_ON;
            break;
        case CLRBREAK:
            code = IOCTL_SERIAL_SET_BREAK_OFF;
            break;
        case SETIR:
            code = IOCTL_SERIAL_ENABLE_IR;
            break;
        case CLRIR:
            code = IOCTL_SERIAL_DISABLE_IR;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
    return Control(hFile, code, nullptr, 0, nullptr, 0);
}

CEAPI BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return Control(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof(DWORD), nullptr, 0);
}

CEAPI BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_DEV_STATUS status = {};
    if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status))) {
        return FALSE;
    }
    if (lpErrors)
        *lpErrors = status.Errors;
    if (lpStat)
        *lpStat = status.ComStat;
    return TRUE;
}

CEAPI BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    return Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

CEAPI BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(COMMPROP));
}

CEAPI BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    QueueSizes sizes = {dwInQueue, dwOutQueue};
    return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof(sizes), nullptr, 0);
}

CEAPI BOOL TransmitCommChar(HANDLE hFile, char cChar) {
    return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, 1, nullptr, 0);
}

CEAPI BOOL SetCommBreak(HANDLE hFile) {
    return Control(hFile, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0);
}

CEAPI BOOL ClearCommBreak(HANDLE hFile) {
    return Control(hFile, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0);
}
