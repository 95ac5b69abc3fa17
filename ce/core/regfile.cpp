// REGEDIT4 text import/export and the direct registry helpers of
// cehost/regfile.h.
#include "cehost/regfile.h"

#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

#include "cehost/utf.h"
#include "core/registry_internal.h"

namespace cehost {
namespace {

using namespace ce_internal::reg;

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";

// ---- Text helpers ------------------------------------------------------------

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    return TrimRight(TrimLeft(s));
}

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::vector<uint8_t> StringBytes(std::u16string_view s) {
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

std::u16string BytesToUnits(const std::vector<uint8_t>& data) {
    std::u16string s;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        s.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return s;
}

// ---- Parsing -------------------------------------------------------------------

struct Op {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
    std::vector<std::u16string> path;
    std::u16string name;
    DWORD type = 0;
    std::vector<uint8_t> data;
};

struct ParseError {
    std::string message;
};

// Parses a quoted string at the start of s (s[0] == '"'), with \\ and \"
// escapes; returns the text and leaves s after the closing quote.
bool ParseQuoted(std::string_view& s, std::string* out, std::string* error) {
    out->clear();
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size())
                break;
            char e = s[++i];
            if (e != '\\' && e != '"') {
                *error = std::string("unknown escape \\") + e + " in a string (only \\\\ and \\\")";
                return false;
            }
            out->push_back(e);
            continue;
        }
        out->push_back(c);
    }
    *error = "unterminated string (missing closing \")";
    return false;
}

bool RestIsEmpty(std::string_view rest) {
    rest = Trim(rest);
    return rest.empty() || rest.front() == ';';
}

bool ParseHexBytes(std::string_view list, std::vector<uint8_t>* out, std::string* error) {
    out->clear();
    list = Trim(list);
    if (list.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string_view item =
            Trim(list.substr(start, comma == list.npos ? list.npos : comma - start));
        if (item.empty() || item.size() > 2 || HexDigit(item[0]) < 0 ||
            (item.size() == 2 && HexDigit(item[1]) < 0)) {
            *error = "bad byte \"" + std::string(item) + "\" in a hex list (want 00..ff)";
            return false;
        }
        int v = HexDigit(item[0]);
        if (item.size() == 2)
            v = v * 16 + HexDigit(item[1]);
        out->push_back(static_cast<uint8_t>(v));
        if (comma == list.npos)
            return true;
        start = comma + 1;
    }
}

// Parses the data after '=' of a value line.
bool ParseData(std::string_view data, Op* op, std::string* error) {
    data = TrimLeft(data);
    if (!data.empty() && data.front() == '-') {
        if (!RestIsEmpty(data.substr(1))) {
            *error = "unexpected text after '-'";
            return false;
        }
        op->kind = Op::kDeleteValue;
        return true;
    }
    op->kind = Op::kSetValue;
    if (!data.empty() && data.front() == '"') {
        std::string text;
        if (!ParseQuoted(data, &text, error))
            return false;
        if (!RestIsEmpty(data)) {
            *error = "unexpected text after the string";
            return false;
        }
        std::u16string wide;
        if (!DecodeUtf8(text, &wide)) {
            *error = "string is not valid UTF-8";
            return false;
        }
        op->type = REG_SZ;
        op->data = StringBytes(wide);
        return true;
    }
    size_t colon = data.find(':');
    std::string_view tag = colon == data.npos ? data : data.substr(0, colon);
    if (colon == data.npos) {
        *error = "unknown value format \"" + std::string(Trim(data)) +
                 "\" (want \"text\", dword:, hex:, hex(N): or -)";
        return false;
    }
    std::string_view body = data.substr(colon + 1);
    if (IEquals(tag, "dword")) {
        size_t semi = body.find(';');
        std::string_view digits = Trim(body.substr(0, semi));
        if (digits.empty() || digits.size() > 8) {
            *error = "dword needs 1 to 8 hex digits";
            return false;
        }
        uint32_t v = 0;
        for (char c : digits) {
            if (HexDigit(c) < 0) {
                *error = "bad hex digit '" + std::string(1, c) + "' in dword";
                return false;
            }
            v = v * 16 + static_cast<uint32_t>(HexDigit(c));
        }
        op->type = REG_DWORD;
        op->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        return true;
    }
    if (IEquals(tag, "hex")) {
        op->type = REG_BINARY;
    } else if (tag.size() > 5 && IEquals(tag.substr(0, 4), "hex(") && tag.back() == ')') {
        std::string_view n = tag.substr(4, tag.size() - 5);
        if (n.empty() || n.size() > 8) {
            *error = "bad type in hex(N): want 1 to 8 hex digits";
            return false;
        }
        uint32_t type = 0;
        for (char c : n) {
            if (HexDigit(c) < 0) {
                *error = "bad type \"" + std::string(n) + "\" in hex(N)";
                return false;
            }
            type = type * 16 + static_cast<uint32_t>(HexDigit(c));
        }
        op->type = type;
    } else {
        *error = "unknown value format \"" + std::string(tag) + ":\"";
        return false;
    }
    size_t semi = body.find(';');
    return ParseHexBytes(body.substr(0, semi), &op->data, error);
}

bool ParseKeyLine(std::string_view line, Op* op, std::string* error) {
    line = TrimRight(line);
    if (line.size() < 2 || line.back() != ']') {
        *error = "key line without a closing ]";
        return false;
    }
    std::string_view inner = line.substr(1, line.size() - 2);
    op->kind = Op::kCreateKey;
    if (!inner.empty() && inner.front() == '-') {
        op->kind = Op::kDeleteKey;
        inner.remove_prefix(1);
    }
    size_t sep = inner.find('\\');
    std::string_view root = inner.substr(0, sep);
    if (!IEquals(root, kRoot)) {
        *error = "key must be under HKEY_LOCAL_MACHINE, not \"" + std::string(root) + "\"";
        return false;
    }
    std::u16string path;
    if (sep != inner.npos && !DecodeUtf8(inner.substr(sep + 1), &path)) {
        *error = "key path is not valid UTF-8";
        return false;
    }
    if ((sep != inner.npos && path.empty()) || !SplitPath(path, &op->path)) {
        *error = "bad key path (empty part or a part longer than 255 characters)";
        return false;
    }
    if (op->kind == Op::kDeleteKey && op->path.empty()) {
        *error = "cannot delete HKEY_LOCAL_MACHINE itself";
        return false;
    }
    return true;
}

// Parses the whole text into operations; false with the first error.
bool Parse(std::string_view text, std::vector<Op>* ops, RegFileError* err) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t nl = text.find('\n', start);
        if (nl == text.npos) {
            if (start < text.size())
                lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    auto fail = [&](size_t index, std::string message) {
        if (err) {
            err->line = static_cast<int>(index + 1);
            err->message = std::move(message);
        }
        return false;
    };

    bool header = false;
    bool haveKey = false;
    bool deletingKey = false;
    std::vector<std::u16string> keyPath;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = Trim(lines[i]);
        if (line.empty() || line.front() == ';')
            continue;
        if (!header) {
            if (line != "REGEDIT4")
                return fail(i, "the file must start with the line REGEDIT4");
            header = true;
            continue;
        }
        std::string error;
        if (line.front() == '[') {
            Op op;
            if (!ParseKeyLine(line, &op, &error))
                return fail(i, error);
            haveKey = true;
            deletingKey = op.kind == Op::kDeleteKey;
            keyPath = op.path;
            ops->push_back(std::move(op));
            continue;
        }
        if (line.front() != '"' && line.front() != '@')
            return fail(i, "expected [key], \"name\"=value or @=value");
        if (!haveKey)
            return fail(i, "value before the first [key] line");
        if (deletingKey)
            return fail(i, "value under a key that is being deleted");

        size_t first = i;
        Op op;
        op.path = keyPath;
        std::string_view rest = line;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            std::string name;
            if (!ParseQuoted(rest, &name, &error))
                return fail(first, "value name: " + error);
            if (!DecodeUtf8(name, &op.name))
                return fail(first, "value name is not valid UTF-8");
            if (op.name.size() > kMaxValueNameLength)
                return fail(first, "value name too long");
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != '=')
            return fail(first, "expected = after the name");
        rest.remove_prefix(1);
        // A hex list continues on the next line after a trailing backslash.
        std::string joined(rest);
        if (IEquals(TrimLeft(rest).substr(0, 3), "hex")) {
            while (!joined.empty() && joined.back() == '\\') {
                joined.pop_back();
                if (++i >= lines.size())
                    return fail(first, "the value continues past the end of the file");
                joined += std::string(Trim(lines[i]));
            }
        }
        rest = joined;
        if (!ParseData(rest, &op, &error))
            return fail(first, error);
        ops->push_back(std::move(op));
    }
    if (!header)
        return fail(0, "empty file (no REGEDIT4 line)");
    return true;
}

void Apply(std::vector<Op>& ops) {
    std::unique_lock<std::shared_mutex> g(TreeLock());
    auto root = Root();
    std::shared_ptr<Key> current;
    for (auto& op : ops) {
        bool created;
        switch (op.kind) {
            case Op::kCreateKey:
                current = CreateKey(root, op.path, &created);
                break;
            case Op::kDeleteKey:
                if (auto k = FindKey(root, op.path))
                    DeleteKey(k);
                current = nullptr;
                break;
            case Op::kSetValue:
                SetValue(*current, op.name, op.type, std::move(op.data));
                break;
            case Op::kDeleteValue:
                DeleteValue(*current, op.name);
                break;
        }
    }
}

// ---- Export ----------------------------------------------------------------------

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

std::optional<std::vector<std::u16string>> Parts(std::u16string_view path) {
    std::vector<std::u16string> parts;
    if (!SplitPath(path, &parts))
        return std::nullopt;
    return parts;
}

}  // namespace

std::string RegFileError::ToString() const {
    if (line <= 0)
        return message;
    return "line " + std::to_string(line) + ": " + message;
}

bool ImportRegText(std::string_view text, RegFileError* error) {
    std::vector<Op> ops;
    if (!Parse(text, &ops, error))
        return false;
    Apply(ops);
    return true;
}

bool ImportRegFile(const std::string& path, RegFileError* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = RegFileError{0, "cannot open " + path};
        return false;
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    return ImportRegText(buf.str(), error);
}

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
