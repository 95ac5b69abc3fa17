// REGEDIT4 text export: every value written so that importing the text
// again restores the same bytes and types.
#include <cstdio>
#include <fstream>
#include <mutex>

#include "cehost/regfile.h"
#include "cehost/utf.h"
#include "core/regfile_internal.h"

namespace cehost {
namespace {

using namespace ce_internal::reg;
using regfile::BytesToUnits;
using regfile::kRoot;
using regfile::Parts;

std::string Quote(std::u16string_view s) {
    std::string utf8;
    EncodeUtf8(s, &utf8);
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// A REG_SZ is written as text only when that text reads back to the same
// bytes: whole UTF-16 units, one terminator at the very end and nowhere
// else, paired surrogates, and no control characters that would break the
// line.
bool IsCleanString(const std::vector<uint8_t>& data, std::u16string* text) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    std::u16string units = BytesToUnits(data);
    if (units.back() != 0)
        return false;
    units.pop_back();
    for (char16_t c : units)
        if (c < 0x20 || c == 0x7F)
            return false;
    std::string utf8;
    if (!EncodeUtf8(units, &utf8))
        return false;
    *text = std::move(units);
    return true;
}

void WriteHex(std::string& out, std::string line, const std::vector<uint8_t>& data) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        line.push_back(kDigits[data[i] >> 4]);
        line.push_back(kDigits[data[i] & 15]);
        if (i + 1 < data.size()) {
            line.push_back(',');
            if (line.size() >= 76) {
                out += line + "\\\n";
                line = "  ";
            }
        }
    }
    out += line + "\n";
}

void WriteValue(std::string& out, const Value& v) {
    std::string line = v.name.empty() ? "@=" : Quote(v.name) + "=";
    std::u16string text;
    if (v.type == REG_SZ && IsCleanString(v.data, &text)) {
        out += line + Quote(text) + "\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                     (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out += line + buf + "\n";
        return;
    }
    if (v.type == REG_BINARY) {
        WriteHex(out, line + "hex:", v.data);
        return;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    WriteHex(out, line + buf, v.data);
}

void WriteKey(std::string& out, const Key& key, const std::string& path, bool always) {
    if (always || !key.values.empty() || key.subkeys.empty()) {
        out += "[" + path + "]\n";
        for (const auto& v : key.values)
            WriteValue(out, v);
        out += "\n";
    }
    for (const auto& [folded, sub] : key.subkeys) {
        std::string name;
        EncodeUtf8(sub->name, &name);
        WriteKey(out, *sub, path + "\\" + name, true);
    }
}

}  // namespace

std::string ExportRegText(std::u16string_view keyPath) {
    auto parts = Parts(keyPath);
    if (!parts)
        return "";
    std::shared_lock<std::shared_mutex> g(TreeLock());
    auto key = FindKey(Root(), *parts);
    if (!key)
        return "";
    std::string out = "REGEDIT4\n\n";
    std::string path(kRoot);
    for (const auto& p : *parts) {
        std::string name;
        EncodeUtf8(p, &name);
        path += "\\" + name;
    }
    // The root section is written only when it holds values (or nothing at all).
    WriteKey(out, *key, path, !parts->empty() || !key->values.empty());
    return out;
}

bool ExportRegFile(const std::string& path, std::u16string_view keyPath, RegFileError* error) {
    std::string text = ExportRegText(keyPath);
    if (text.empty()) {
        if (error)
            *error = RegFileError{0, "no such key"};
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
        if (error)
            *error = RegFileError{0, "cannot write " + path};
        return false;
    }
    return true;
}

}  // namespace cehost
