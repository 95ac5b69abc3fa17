// Registry persistence as REGEDIT4 text, and convenient access to the
// registry for tests and tools. Everything lives under HKEY_LOCAL_MACHINE;
// key paths here are relative to it ("Drivers\USB\LoadClients").
//
// The text format, as platform builders write it (files are UTF-8):
//
//   REGEDIT4
//
//   ; a comment
//   [HKEY_LOCAL_MACHINE\Drivers\Sample]
//   "Dll"="sample.dll"              REG_SZ; \\ and \" escape \ and "
//   @="default value"               the key's default (unnamed) value
//   "Index"=dword:00000001          REG_DWORD
//   "Blob"=hex:01,02,ff             REG_BINARY
//   "Path"=hex(2):25,00,00,00       REG_EXPAND_SZ (UTF-16 bytes); hex(7): REG_MULTI_SZ,
//                                   hex(N): any type N (hexadecimal)
//   "Long"=hex:01,02,\              a trailing backslash continues the line
//     03,04
//   "Old"=-                         deletes the value
//   [-HKEY_LOCAL_MACHINE\Drivers\Gone]   deletes the key and its subtree
//
// Import parses the whole text before changing anything: a malformed file
// is refused with the number of its first bad line and what is wrong there,
// and the registry is left exactly as it was. Export writes every value so
// that importing it again restores the same bytes and types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ce/registry.h"
#include "ce/types.h"
#include "cehost/utf.h"  // Utf8 and Utf16, which users of these helpers need

namespace cehost {

struct RegFileError {
    int line = 0;                  // 1-based; 0 when the file itself could not be read/written
    std::string message;           // what is wrong
    std::string ToString() const;  // "line 12: ..."
};

bool ImportRegText(std::string_view text, RegFileError* error = nullptr);
bool ImportRegFile(const std::string& path, RegFileError* error = nullptr);
// The subtree at keyPath ("" for the whole registry); "" when it does not exist.
std::string ExportRegText(std::u16string_view keyPath = u"");
bool ExportRegFile(const std::string& path, std::u16string_view keyPath = u"",
                   RegFileError* error = nullptr);

// ---- Direct access (no handles, no misuse counting) ----------------------

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

// Creates the key (and its parents) when missing. False for a bad path.
bool RegWrite(std::u16string_view keyPath, std::u16string_view name, DWORD type,
              std::vector<uint8_t> data);
// Strings are stored as UTF-16 with their terminator.
bool RegWriteString(std::u16string_view keyPath, std::u16string_view name,
                    std::u16string_view value, DWORD type = REG_SZ);
bool RegWriteString(std::string_view keyPath, std::string_view name, std::string_view value);
bool RegWriteMultiString(std::u16string_view keyPath, std::u16string_view name,
                         const std::vector<std::u16string>& strings);
bool RegWriteDword(std::u16string_view keyPath, std::u16string_view name, DWORD value);
bool RegWriteDword(std::string_view keyPath, std::string_view name, DWORD value);

std::optional<RegValue> RegRead(std::u16string_view keyPath, std::u16string_view name);
// REG_SZ or REG_EXPAND_SZ, up to the first terminator.
std::optional<std::u16string> RegReadString(std::u16string_view keyPath, std::u16string_view name);
std::optional<std::string> RegReadString(std::string_view keyPath, std::string_view name);
// REG_DWORD of exactly 4 bytes.
std::optional<DWORD> RegReadDword(std::u16string_view keyPath, std::u16string_view name);
std::optional<DWORD> RegReadDword(std::string_view keyPath, std::string_view name);

bool RegKeyExists(std::u16string_view keyPath);
bool RegKeyExists(std::string_view keyPath);
// Deletes the key and its subtree; false when it did not exist.
bool RegDeleteTree(std::u16string_view keyPath);
bool RegDeleteTree(std::string_view keyPath);
// Names of the subkeys / values of a key, in enumeration order.
std::vector<std::u16string> RegSubkeyNames(std::u16string_view keyPath);
std::vector<std::u16string> RegValueNames(std::u16string_view keyPath);

}  // namespace cehost
