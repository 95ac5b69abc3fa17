// The application side of the device manager: files on stream devices and
// the Comm API built on DeviceIoControl.
//
// Handles belong to the calling emulated process (see cehost/process.h).
// Once the device's deactivation has started, no call on its handles reaches
// the driver: they fail with ERROR_DEVICE_REMOVED, and CloseHandle frees only
// the emulation's record.
#pragma once

#include "ce/serial.h"
#include "ce/types.h"

#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

// "COM1:" -> <Prefix>_Open. INVALID_HANDLE_VALUE on failure.
CEAPI HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                         LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                         DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
#define CreateFile CreateFileW
CEAPI BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                    LPDWORD lpNumberOfBytesRead, void* lpOverlapped);
CEAPI BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                     LPDWORD lpNumberOfBytesWritten, void* lpOverlapped);
CEAPI BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                           DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                           LPDWORD lpBytesReturned, void* lpOverlapped);
CEAPI DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LPLONG lpDistanceToMoveHigh,
                           DWORD dwMoveMethod);

// Comm API.
CEAPI BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
CEAPI BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
CEAPI BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
CEAPI BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
CEAPI BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
CEAPI BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
CEAPI BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, void* lpOverlapped);
CEAPI BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
CEAPI BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
CEAPI BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
CEAPI BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
CEAPI BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
CEAPI BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
CEAPI BOOL TransmitCommChar(HANDLE hFile, char cChar);
CEAPI BOOL SetCommBreak(HANDLE hFile);
CEAPI BOOL ClearCommBreak(HANDLE hFile);
