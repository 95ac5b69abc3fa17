// Small string conversions shared by the loader and the device manager.
#pragma once

#include <string>

#include "ce/types.h"

namespace cedevmgr {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(const std::u16string& s);
std::u16string ToUtf16(const std::string& s);
inline std::u16string WideOrEmpty(LPCWSTR s) {
    return s ? std::u16string(s) : std::u16string();
}
std::string LowerAscii(std::string s);
std::u16string LowerAscii(std::u16string s);
bool EqualsNoCase(const std::u16string& a, const std::u16string& b);

}  // namespace cedevmgr
