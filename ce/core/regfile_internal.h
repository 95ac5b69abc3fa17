// Pieces shared by the registry's text import, text export and direct
// access (cehost/regfile.h): the root key's name in the text, REG_SZ bytes
// and key paths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/registry_internal.h"

namespace cehost::regfile {

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";

// UTF-16 units as REG_SZ bytes (little-endian), terminator included.
inline std::vector<uint8_t> StringBytes(std::u16string_view s) {
    std::vector<uint8_t> out;
    out.reserve((s.size() + 1) * 2);
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

// Little-endian bytes back to UTF-16 units (an odd last byte is left out).
inline std::u16string BytesToUnits(const std::vector<uint8_t>& data) {
    std::u16string s;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        s.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return s;
}

// The parts of a key path relative to the root; nullopt for a bad path.
inline std::optional<std::vector<std::u16string>> Parts(std::u16string_view path) {
    std::vector<std::u16string> parts;
    if (!ce_internal::reg::SplitPath(path, &parts))
        return std::nullopt;
    return parts;
}

}  // namespace cehost::regfile
