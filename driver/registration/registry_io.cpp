#include "driver/registration/registry_io.h"

#include "ce/wstr.h"

BOOL ReadDwordValue(HKEY key, LPCWSTR name, DWORD* value) {
    DWORD data = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(data);
    if (RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data)) {
        return FALSE;
    }
    *value = data;
    return TRUE;
}

BOOL WriteStringValue(HKEY key, LPCWSTR name, LPCWSTR text) {
    DWORD bytes = static_cast<DWORD>((CeWcsLen(text) + 1) * sizeof(WCHAR));
    return RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) ==
           ERROR_SUCCESS;
}

BOOL WriteDwordValue(HKEY key, LPCWSTR name, DWORD value) {
    return RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                         sizeof(value)) == ERROR_SUCCESS;
}
