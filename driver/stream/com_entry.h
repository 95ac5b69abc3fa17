// The stream entry points the device manager calls, with the platform's
// stream-driver calling convention (ce/devmgr.h): contexts are pointer-sized,
// everything else 32-bit. COM_Init and COM_Deinit run on the device manager's
// thread at activation and deactivation; the others on application threads,
// several at once.
#pragma once

#include "ce/types.h"
#include "driver/platform/export.h"

// Device context from the active key's path, or 0.
SERLYNX_EXPORT DWORD_PTR COM_Init(LPCWSTR activeKey, LPCVOID busContext);
// Cuts every open handle loose and frees them and the context (an open still
// reading the context frees it on its way out). FALSE when the active key
// cannot be opened or the context is not one COM_Init handed out and no
// COM_Deinit has taken back.
SERLYNX_EXPORT BOOL COM_Deinit(DWORD_PTR context);
// An open handle on the port that the active key names, or 0 (also for a
// context that COM_Deinit has taken back).
SERLYNX_EXPORT DWORD_PTR COM_Open(DWORD_PTR context, DWORD accessCode, DWORD shareMode);
SERLYNX_EXPORT BOOL COM_Close(DWORD_PTR handle);
// Bytes read or written, or 0xFFFFFFFF when refused at entry.
SERLYNX_EXPORT DWORD COM_Read(DWORD_PTR handle, LPVOID buffer, DWORD count);
SERLYNX_EXPORT DWORD COM_Write(DWORD_PTR handle, LPCVOID buffer, DWORD count);
// A serial port has no position: always 0xFFFFFFFF.
SERLYNX_EXPORT DWORD COM_Seek(DWORD_PTR handle, LONG amount, DWORD type);
SERLYNX_EXPORT BOOL COM_IOControl(DWORD_PTR handle, DWORD code, PBYTE in, DWORD inLength, PBYTE out,
                                  DWORD outLength, PDWORD actual);
SERLYNX_EXPORT DWORD COM_PowerUp(DWORD_PTR context);
SERLYNX_EXPORT DWORD COM_PowerDown(DWORD_PTR context);
