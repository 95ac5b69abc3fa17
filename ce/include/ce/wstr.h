// UTF-16 string helpers of the platform (the driver builds registry paths
// with them). All lengths are in UTF-16 units, terminator excluded.
#pragma once

#include "ce/types.h"

CEAPI size_t CeWcsLen(LPCWSTR s);
// Copies at most capacity - 1 units and always terminates (capacity > 0).
// Returns the number of units of src (so truncation shows as >= capacity).
CEAPI size_t CeWcsCopy(LPWSTR dst, size_t capacity, LPCWSTR src);
// Appends src to the string in dst under the same rules; returns the length
// the whole string would have had.
CEAPI size_t CeWcsAppend(LPWSTR dst, size_t capacity, LPCWSTR src);
// Compares ignoring ASCII case: <0, 0, >0.
CEAPI int CeWcsICmp(LPCWSTR a, LPCWSTR b);
// Writes value in unsigned decimal (no terminator is counted); returns the
// number of digits, or 0 when they do not fit with a terminator.
CEAPI size_t CeWcsFromUInt(LPWSTR dst, size_t capacity, DWORD value);
