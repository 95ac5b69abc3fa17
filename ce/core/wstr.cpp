// UTF-16 string helpers of the platform.
#include "ce/wstr.h"

CEAPI size_t CeWcsLen(LPCWSTR s) {
    if (!s)
        return 0;
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

CEAPI size_t CeWcsCopy(LPWSTR dst, size_t capacity, LPCWSTR src) {
    size_t len = CeWcsLen(src);
    if (!dst || capacity == 0)
        return len;
    size_t n = len < capacity - 1 ? len : capacity - 1;
    for (size_t i = 0; i < n; ++i)
        dst[i] = src[i];
    dst[n] = 0;
    return len;
}

CEAPI size_t CeWcsAppend(LPWSTR dst, size_t capacity, LPCWSTR src) {
    if (!dst || capacity == 0)
        return CeWcsLen(src);
    // A destination without a terminator inside its capacity counts as full.
    size_t used = 0;
    while (used < capacity && dst[used])
        ++used;
    if (used == capacity)
        return capacity + CeWcsLen(src);
    return used + CeWcsCopy(dst + used, capacity - used, src);
}

CEAPI int CeWcsICmp(LPCWSTR a, LPCWSTR b) {
    if (!a || !b)
        return a == b ? 0 : (a ? 1 : -1);
    for (size_t i = 0;; ++i) {
        WCHAR ca = a[i], cb = b[i];
        if (ca >= u'A' && ca <= u'Z')
            ca = ca - u'A' + u'a';
        if (cb >= u'A' && cb <= u'Z')
            cb = cb - u'A' + u'a';
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

CEAPI size_t CeWcsFromUInt(LPWSTR dst, size_t capacity, DWORD value) {
    WCHAR digits[10];
    size_t n = 0;
    do {
        digits[n++] = static_cast<WCHAR>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (!dst || capacity < n + 1) {
        if (dst && capacity > 0)
            dst[0] = 0;
        return 0;
    }
    for (size_t i = 0; i < n; ++i)
        dst[i] = digits[n - 1 - i];
    dst[n] = 0;
    return n;
}
