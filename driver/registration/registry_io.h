// Small typed accessors over the registry calls, used by installation,
// attach and first-attach configuration. Any thread; the key handle is the
// caller's.
#pragma once

#include "ce/registry.h"
#include "ce/types.h"

// Reads a REG_DWORD value. TRUE only when the query succeeds with type
// REG_DWORD and 4 bytes of data; otherwise the value counts as absent and
// `value` is left alone.
BOOL ReadDwordValue(HKEY key, LPCWSTR name, DWORD* value);

// Writes a REG_SZ value with its terminator, (characters + 1) x 2 bytes, or
// a REG_DWORD. TRUE when the registry took it (installation examines that;
// the first attach does not).
BOOL WriteStringValue(HKEY key, LPCWSTR name, LPCWSTR text);
BOOL WriteDwordValue(HKEY key, LPCWSTR name, DWORD value);
