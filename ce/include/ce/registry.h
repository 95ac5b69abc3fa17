// Registry under HKEY_LOCAL_MACHINE. Key and value names compare without
// regard to case; values are typed byte strings. Thread-safe.
#pragma once

#include "ce/types.h"

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

#define REG_OPTION_NON_VOLATILE 0u
#define KEY_ALL_ACCESS 0xF003Fu
#define KEY_READ 0x20019u

CEAPI LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                           DWORD dwOptions, REGSAM samDesired,
                           LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                           LPDWORD lpdwDisposition);
CEAPI LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                         PHKEY phkResult);
// lpData null: the size alone is returned. A short buffer: ERROR_MORE_DATA
// with the needed size in *lpcbData.
CEAPI LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                            LPBYTE lpData, LPDWORD lpcbData);
CEAPI LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                          const BYTE* lpData, DWORD cbData);
CEAPI LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Deletes the key and everything below it.
CEAPI LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
CEAPI LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                         LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass, void* lpftLastWriteTime);
CEAPI LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                         LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
CEAPI LONG RegCloseKey(HKEY hKey);

#define RegCreateKeyEx RegCreateKeyExW
#define RegOpenKeyEx RegOpenKeyExW
#define RegQueryValueEx RegQueryValueExW
#define RegSetValueEx RegSetValueExW
#define RegDeleteValue RegDeleteValueW
#define RegDeleteKey RegDeleteKeyW
#define RegEnumKeyEx RegEnumKeyExW
#define RegEnumValue RegEnumValueW
