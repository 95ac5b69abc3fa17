// The registry API over the tree of registry_internal.h.
//
// Open keys are HKEY values from a table of their own (values never reused);
// HKEY_LOCAL_MACHINE is the root and needs no opening or closing.
#include <cstring>
#include <unordered_map>

#include "ce/registry.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "core/internal.h"
#include "core/registry_internal.h"

namespace ce_internal::reg {
namespace {

struct Tree {
    std::shared_mutex lock;
    std::shared_ptr<Key> root = std::make_shared<Key>();  // guarded by lock
};

Tree& TheTree() {
    static Tree* t = new Tree;
    return *t;
}

constexpr uintptr_t kFirstKey = 0x20000;
constexpr uintptr_t kKeyStep = 4;

struct OpenKey {
    std::shared_ptr<Key> key;
    uint64_t epoch;
};

struct KeyTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, OpenKey> open;  // guarded by lock
    uintptr_t next = kFirstKey;                   // guarded by lock
    uint64_t epoch = 1;                           // guarded by lock
};

KeyTable& Keys() {
    static KeyTable* t = new KeyTable;
    return *t;
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (auto& [n, sub] : key.subkeys)
        MarkDeleted(*sub);
}

struct ResetHook {
    ResetHook() {
        cehost::RegisterResetHook([] {
            Clear();
            std::lock_guard<std::mutex> g(Keys().lock);
            ++Keys().epoch;
        });
    }
} resetHook;

}  // namespace

std::u16string Fold(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

std::shared_mutex& TreeLock() {
    return TheTree().lock;
}
std::shared_ptr<Key> Root() {
    return TheTree().root;
}

bool SplitPath(std::u16string_view path, std::vector<std::u16string>* parts) {
    parts->clear();
    if (path.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t sep = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, sep == path.npos ? path.npos : sep - start);
        if (part.empty() || part.size() > kMaxKeyNameLength)
            return false;
        parts->emplace_back(part);
        if (sep == path.npos)
            return true;
        start = sep + 1;
    }
}

std::shared_ptr<Key> FindKey(const std::shared_ptr<Key>& from,
                             const std::vector<std::u16string>& parts) {
    std::shared_ptr<Key> k = from;
    for (const auto& p : parts) {
        auto it = k->subkeys.find(Fold(p));
        if (it == k->subkeys.end())
            return nullptr;
        k = it->second;
    }
    return k;
}

std::shared_ptr<Key> CreateKey(const std::shared_ptr<Key>& from,
                               const std::vector<std::u16string>& parts, bool* created) {
    std::shared_ptr<Key> k = from;
    *created = false;
    for (const auto& p : parts) {
        auto& slot = k->subkeys[Fold(p)];
        if (!slot) {
            slot = std::make_shared<Key>();
            slot->name = p;
            slot->parent = k.get();
            *created = true;
        }
        k = slot;
    }
    return k;
}

void DeleteKey(const std::shared_ptr<Key>& key) {
    if (key->parent)
        key->parent->subkeys.erase(Fold(key->name));
    key->parent = nullptr;
    MarkDeleted(*key);
}

Value* FindValue(Key& key, std::u16string_view name) {
    std::u16string folded = Fold(name);
    for (auto& v : key.values)
        if (Fold(v.name) == folded)
            return &v;
    return nullptr;
}

void SetValue(Key& key, std::u16string_view name, DWORD type, std::vector<uint8_t> data) {
    if (Value* v = FindValue(key, name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    key.values.push_back(Value{std::u16string(name), type, std::move(data)});
}

bool DeleteValue(Key& key, std::u16string_view name) {
    std::u16string folded = Fold(name);
    for (auto it = key.values.begin(); it != key.values.end(); ++it)
        if (Fold(it->name) == folded) {
            key.values.erase(it);
            return true;
        }
    return false;
}

void Clear() {
    Tree& t = TheTree();
    std::unique_lock<std::shared_mutex> g(t.lock);
    MarkDeleted(*t.root);
    t.root = std::make_shared<Key>();
}

void SweepKeyLeaks() {
    uint64_t n = 0;
    {
        KeyTable& t = Keys();
        std::lock_guard<std::mutex> g(t.lock);
        for (const auto& [v, k] : t.open)
            if (k.epoch == t.epoch)
                ++n;
    }
    for (uint64_t i = 0; i < n; ++i)
        cehost::CountLeak("handle.regkey");
}

namespace {

// The key an HKEY names: the root, an open key, or null after counting.
std::shared_ptr<Key> Resolve(HKEY h, LONG* error) {
    if (h == HKEY_LOCAL_MACHINE) {
        std::shared_lock<std::shared_mutex> g(TreeLock());
        return Root();
    }
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    KeyTable& t = Keys();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.open.find(v);
    if (it != t.open.end())
        return it->second.key;
    if (v == 0)
        cehost::CountMisuse("reg.handle.null");
    else if (v >= kFirstKey && v < t.next && (v - kFirstKey) % kKeyStep == 0)
        cehost::CountMisuse("reg.handle.closed");
    else
        cehost::CountMisuse("reg.handle.unknown");
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
}

HKEY NewKeyHandle(std::shared_ptr<Key> key) {
    KeyTable& t = Keys();
    std::lock_guard<std::mutex> g(t.lock);
    uintptr_t v = t.next;
    t.next += kKeyStep;
    t.open.emplace(v, OpenKey{std::move(key), t.epoch});
    return reinterpret_cast<HKEY>(v);
}

std::u16string_view NameOf(LPCWSTR s) {
    return s ? std::u16string_view(s) : std::u16string_view();
}

// Copies a value's data out under the query rules shared by
// RegQueryValueEx and RegEnumValue.
LONG CopyData(const Value& v, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData && !lpcbData)
        return ERROR_INVALID_PARAMETER;
    if (lpType)
        *lpType = v.type;
    DWORD size = static_cast<DWORD>(v.data.size());
    if (!lpcbData)
        return ERROR_SUCCESS;
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size)
            std::memcpy(lpData, v.data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

// Writes a name into a caller's buffer of *cch units (terminator included).
LONG CopyName(const std::u16string& name, LPWSTR buf, LPDWORD cch) {
    if (!buf || !cch)
        return ERROR_INVALID_PARAMETER;
    if (name.size() + 1 > *cch) {
        *cch = static_cast<DWORD>(name.size() + 1);
        return ERROR_MORE_DATA;
    }
    std::memcpy(buf, name.data(), name.size() * sizeof(WCHAR));
    buf[name.size()] = 0;
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace ce_internal::reg

using namespace ce_internal::reg;

CEAPI LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                           LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    ce_internal::PlatformCall call;
    LONG err = ERROR_SUCCESS;
    auto base = Resolve(hKey, &err);
    if (!base)
        return err;
    std::vector<std::u16string> parts;
    if (!phkResult || !SplitPath(NameOf(lpSubKey), &parts))
        return ERROR_INVALID_PARAMETER;
    if (ce_internal::InjectCallFault(ce_internal::CallFault::kRegistryWrite))
        return ERROR_OUTOFMEMORY;
    std::shared_ptr<Key> key;
    bool created = false;
    {
        std::unique_lock<std::shared_mutex> g(TreeLock());
        if (base->deleted)
            return ERROR_KEY_DELETED;
        key = CreateKey(base, parts, &created);
    }
    *phkResult = NewKeyHandle(key);
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

CEAPI LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    ce_internal::PlatformCall call;
    LONG err = ERROR_SUCCESS;
    auto base = Resolve(hKey, &err);
    if (!base)
        return err;
    std::vector<std::u16string> parts;
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    if (!SplitPath(NameOf(lpSubKey), &parts))
        return ERROR_FILE_NOT_FOUND;
    std::shared_ptr<Key> key;
    {
        std::shared_lock<std::shared_mutex> g(TreeLock());
        if (base->deleted)
            return ERROR_KEY_DELETED;
        key = FindKey(base, parts);
    }
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = NewKeyHandle(key);
    return ERROR_SUCCESS;
}

CEAPI LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                            LPDWORD lpcbData) {
    ce_internal::PlatformCall call;
    LONG err = ERROR_SUCCESS;
    auto key = Resolve(hKey, &err);
    if (!key)
        return err;
    std::shared_lock<std::shared_mutex> g(TreeLock());
    if (key->deleted)
        return ERROR_KEY_DELETED;
    const Value* v = FindValue(*key, NameOf(lpValueName));
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    return CopyData(*v, lpType, lpData, lpcbData);
}

CEAPI LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                          DWORD cbData) {
    ce_internal::PlatformCall call;
    LONG err = ERROR_SUCCESS;
    auto key = Resolve(hKey, &err);
    if (!key)
        return err;
    std::u16string_view name = NameOf(lpValueName);
    if ((!lpData && cbData) || name.size() > kMaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    if (ce_internal::InjectCallFault(ce_internal::CallFault::kRegistryWrite))
        return ERROR_OUTOFMEMORY;
    std::vector<uint8_t> data(lpData, lpData + (lpData ? cbData : 0));
    std::unique_lock<std::shared_mutex> g(TreeLock());
    if (key->deleted)
        return ERROR_KEY_DELETED;
    SetValue(*key, name, dwType, std::move(data));
    return ERROR_SUCCESS;
}

CEAPI LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    ce_internal::PlatformCall call;
    LONG err = ERROR_SUCCESS;
    auto key = Resolve(hKey, &err);
    if (!key)
        return err;
    std::unique_lock<std::shared_mutex> g(TreeLock());
    if (key->deleted)
        return ERROR_KEY_DELETED;
    return DeleteValue(*key, NameOf(lpValueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

CEAPI LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    ce_internal::PlatformCall call;
    LONG err = ERROR_SUCCESS;
    auto base = Resolve(hKey, &err);
    if (!base)
        return err;
    std::vector<std::u16string> parts;
    // The key itself (an empty path) is not deleted through its own handle.
    if (!SplitPath(NameOf(lpSubKey), &parts) || parts.empty())
        return ERROR_INVALID_PARAMETER;
    std::unique_lock<std::shared_mutex> g(TreeLock());
    if (base->deleted)
        return ERROR_KEY_DELETED;
    auto key = FindKey(base, parts);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    DeleteKey(key);
    return ERROR_SUCCESS;
}

CEAPI LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD,
                         LPWSTR lpClass, LPDWORD lpcchClass, void*) {
    ce_internal::PlatformCall call;
    LONG err = ERROR_SUCCESS;
    auto key = Resolve(hKey, &err);
    if (!key)
        return err;
    std::shared_lock<std::shared_mutex> g(TreeLock());
    if (key->deleted)
        return ERROR_KEY_DELETED;
    if (dwIndex >= key->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    auto it = key->subkeys.begin();
    std::advance(it, dwIndex);
    LONG r = CopyName(it->second->name, lpName, lpcchName);
    if (r == ERROR_SUCCESS && lpClass && lpcchClass && *lpcchClass > 0) {
        lpClass[0] = 0;
        *lpcchClass = 0;
    }
    return r;
}

CEAPI LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                         LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    ce_internal::PlatformCall call;
    LONG err = ERROR_SUCCESS;
    auto key = Resolve(hKey, &err);
    if (!key)
        return err;
    std::shared_lock<std::shared_mutex> g(TreeLock());
    if (key->deleted)
        return ERROR_KEY_DELETED;
    if (dwIndex >= key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value& v = key->values[dwIndex];
    LONG r = CopyName(v.name, lpValueName, lpcchValueName);
    if (r != ERROR_SUCCESS)
        return r;
    return CopyData(v, lpType, lpData, lpcbData);
}

CEAPI LONG RegCloseKey(HKEY hKey) {
    ce_internal::PlatformCall call;
    if (hKey == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    LONG err = ERROR_SUCCESS;
    uintptr_t v = reinterpret_cast<uintptr_t>(hKey);
    {
        KeyTable& t = Keys();
        std::lock_guard<std::mutex> g(t.lock);
        if (t.open.erase(v))
            return ERROR_SUCCESS;
    }
    Resolve(hKey, &err);  // classifies and counts the misuse
    return ERROR_INVALID_HANDLE;
}
