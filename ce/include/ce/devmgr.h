// Device manager: activation of stream devices and the stream-driver calling
// convention of their entry points (<Prefix>_Init ... <Prefix>_PowerDown).
#pragma once

#include "ce/types.h"

// Reads "Dll" and "Prefix" from the device key (under HKEY_LOCAL_MACHINE),
// loads the library, creates "Drivers\Active\NN" with "Key", "Name" ("COM1:"),
// "Hnd" and "ClientInfo" (REG_DWORD, dwClientInfo), and calls <Prefix>_Init
// with the active key's path. Returns the activation handle, or 0.
CEAPI HANDLE ActivateDevice(LPCWSTR lpszDevKey, DWORD dwClientInfo);
// Stops new calls from reaching the driver, runs <Prefix>_Deinit, removes the
// active key and frees the name. Returns when <Prefix>_Deinit has returned.
CEAPI BOOL DeactivateDevice(HANDLE hDevice);

// Stream entry points. Contexts are pointer-sized.
typedef DWORD_PTR(WINAPI* PFN_STREAM_INIT)(LPCWSTR pContext, LPCVOID lpvBusContext);
typedef BOOL(WINAPI* PFN_STREAM_DEINIT)(DWORD_PTR hDeviceContext);
typedef DWORD_PTR(WINAPI* PFN_STREAM_OPEN)(DWORD_PTR hDeviceContext, DWORD AccessCode,
                                           DWORD ShareMode);
typedef BOOL(WINAPI* PFN_STREAM_CLOSE)(DWORD_PTR hOpenContext);
typedef DWORD(WINAPI* PFN_STREAM_READ)(DWORD_PTR hOpenContext, LPVOID pBuffer, DWORD Count);
typedef DWORD(WINAPI* PFN_STREAM_WRITE)(DWORD_PTR hOpenContext, LPCVOID pBuffer, DWORD Count);
typedef DWORD(WINAPI* PFN_STREAM_SEEK)(DWORD_PTR hOpenContext, LONG Amount, DWORD Type);
typedef BOOL(WINAPI* PFN_STREAM_IOCONTROL)(DWORD_PTR hOpenContext, DWORD dwCode, PBYTE pBufIn,
                                           DWORD dwLenIn, PBYTE pBufOut, DWORD dwLenOut,
                                           PDWORD pdwActualOut);
typedef DWORD(WINAPI* PFN_STREAM_POWERUP)(DWORD_PTR hDeviceContext);
typedef DWORD(WINAPI* PFN_STREAM_POWERDOWN)(DWORD_PTR hDeviceContext);
