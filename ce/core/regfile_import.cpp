// REGEDIT4 text import: the whole text is parsed into operations first, and
// only a text without fault changes the registry, in one step.
#include <fstream>
#include <mutex>
#include <sstream>

#include "cehost/regfile.h"
#include "cehost/utf.h"
#include "core/regfile_internal.h"

namespace cehost {
namespace {

using namespace ce_internal::reg;
using regfile::kRoot;
using regfile::StringBytes;

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

}  // namespace cehost
