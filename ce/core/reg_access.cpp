// Direct access to the registry for tests and tools: no handles, no misuse
// counting.
#include <mutex>

#include "cehost/regfile.h"
#include "cehost/utf.h"
#include "core/regfile_internal.h"

namespace cehost {

using namespace ce_internal::reg;
using regfile::BytesToUnits;
using regfile::Parts;
using regfile::StringBytes;

bool RegWrite(std::u16string_view keyPath, std::u16string_view name, DWORD type,
              std::vector<uint8_t> data) {
    auto parts = Parts(keyPath);
    if (!parts || name.size() > kMaxValueNameLength)
        return false;
    std::unique_lock<std::shared_mutex> g(TreeLock());
    bool created;
    auto key = CreateKey(Root(), *parts, &created);
    SetValue(*key, name, type, std::move(data));
    return true;
}

bool RegWriteString(std::u16string_view keyPath, std::u16string_view name,
                    std::u16string_view value, DWORD type) {
    return RegWrite(keyPath, name, type, StringBytes(value));
}

bool RegWriteString(std::string_view keyPath, std::string_view name, std::string_view value) {
    return RegWriteString(Utf16(keyPath), Utf16(name), Utf16(value), REG_SZ);
}

bool RegWriteMultiString(std::u16string_view keyPath, std::u16string_view name,
                         const std::vector<std::u16string>& strings) {
    std::vector<uint8_t> data;
    for (const auto& s : strings) {
        auto b = StringBytes(s);
        data.insert(data.end(), b.begin(), b.end());
    }
    data.push_back(0);
    data.push_back(0);
    return RegWrite(keyPath, name, REG_MULTI_SZ, std::move(data));
}

bool RegWriteDword(std::u16string_view keyPath, std::u16string_view name, DWORD value) {
    return RegWrite(keyPath, name, REG_DWORD,
                    {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                     static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

bool RegWriteDword(std::string_view keyPath, std::string_view name, DWORD value) {
    return RegWriteDword(Utf16(keyPath), Utf16(name), value);
}

std::optional<RegValue> RegRead(std::u16string_view keyPath, std::u16string_view name) {
    auto parts = Parts(keyPath);
    if (!parts)
        return std::nullopt;
    std::shared_lock<std::shared_mutex> g(TreeLock());
    auto key = FindKey(Root(), *parts);
    if (!key)
        return std::nullopt;
    const Value* v = FindValue(*key, name);
    if (!v)
        return std::nullopt;
    return RegValue{v->type, v->data};
}

std::optional<std::u16string> RegReadString(std::u16string_view keyPath, std::u16string_view name) {
    auto v = RegRead(keyPath, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string s = BytesToUnits(v->data);
    size_t nul = s.find(u'\0');
    if (nul != s.npos)
        s.resize(nul);
    return s;
}

std::optional<std::string> RegReadString(std::string_view keyPath, std::string_view name) {
    auto s = RegReadString(Utf16(keyPath), Utf16(name));
    if (!s)
        return std::nullopt;
    return Utf8(*s);
}

std::optional<DWORD> RegReadDword(std::u16string_view keyPath, std::u16string_view name) {
    auto v = RegRead(keyPath, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4)
        return std::nullopt;
    return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
           (static_cast<DWORD>(v->data[3]) << 24);
}

std::optional<DWORD> RegReadDword(std::string_view keyPath, std::string_view name) {
    return RegReadDword(Utf16(keyPath), Utf16(name));
}

bool RegKeyExists(std::u16string_view keyPath) {
    auto parts = Parts(keyPath);
    if (!parts)
        return false;
    std::shared_lock<std::shared_mutex> g(TreeLock());
    return FindKey(Root(), *parts) != nullptr;
}

bool RegKeyExists(std::string_view keyPath) {
    return RegKeyExists(Utf16(keyPath));
}

bool RegDeleteTree(std::u16string_view keyPath) {
    auto parts = Parts(keyPath);
    if (!parts || parts->empty())
        return false;
    std::unique_lock<std::shared_mutex> g(TreeLock());
    auto key = FindKey(Root(), *parts);
    if (!key)
        return false;
    DeleteKey(key);
    return true;
}

bool RegDeleteTree(std::string_view keyPath) {
    return RegDeleteTree(Utf16(keyPath));
}

std::vector<std::u16string> RegSubkeyNames(std::u16string_view keyPath) {
    std::vector<std::u16string> names;
    auto parts = Parts(keyPath);
    if (!parts)
        return names;
    std::shared_lock<std::shared_mutex> g(TreeLock());
    if (auto key = FindKey(Root(), *parts))
        for (const auto& [f, sub] : key->subkeys)
            names.push_back(sub->name);
    return names;
}

std::vector<std::u16string> RegValueNames(std::u16string_view keyPath) {
    std::vector<std::u16string> names;
    auto parts = Parts(keyPath);
    if (!parts)
        return names;
    std::shared_lock<std::shared_mutex> g(TreeLock());
    if (auto key = FindKey(Root(), *parts))
        for (const auto& v : key->values)
            names.push_back(v.name);
    return names;
}

}  // namespace cehost
