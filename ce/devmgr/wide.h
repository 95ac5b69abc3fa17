// Small string helpers shared by the loader and the device manager.
#pragma once

#include <string>

#include "ce/types.h"

namespace cedevmgr {

inline std::u16string WideOrEmpty(LPCWSTR s) {
    return s ? std::u16string(s) : std::u16string();
}
std::string LowerAscii(std::string s);
std::u16string LowerAscii(std::u16string s);
bool EqualsNoCase(const std::u16string& a, const std::u16string& b);

}  // namespace cedevmgr
