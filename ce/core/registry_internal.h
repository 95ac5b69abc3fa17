// The registry tree, shared by the API (registry.cpp) and the .reg text
// import/export (regfile.cpp).
//
// One reader-writer lock guards the whole tree. A key removed from the tree
// is marked deleted (with everything below it) and stays alive while handles
// still refer to it, so those handles fail with ERROR_KEY_DELETED.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "ce/types.h"

namespace ce_internal::reg {

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

struct Value {
    std::u16string name;  // case as first written
    DWORD type = 0;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;  // case as first written; empty for the root
    Key* parent = nullptr;
    bool deleted = false;
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by folded name
    std::vector<Value> values;                               // in order of creation
};

// Folds ASCII letters to lower case (names compare without regard to case).
std::u16string Fold(std::u16string_view s);

std::shared_mutex& TreeLock();
// The root (HKEY_LOCAL_MACHINE). Call with TreeLock held.
std::shared_ptr<Key> Root();

// Splits "A\B\C" into components. An empty path gives none. Empty
// components (leading, doubled or trailing separators) and components longer
// than kMaxKeyNameLength make it fail.
bool SplitPath(std::u16string_view path, std::vector<std::u16string>* parts);

// Under TreeLock (shared for Find, exclusive for the others).
std::shared_ptr<Key> FindKey(const std::shared_ptr<Key>& from,
                             const std::vector<std::u16string>& parts);
std::shared_ptr<Key> CreateKey(const std::shared_ptr<Key>& from,
                               const std::vector<std::u16string>& parts, bool* created);
// Detaches the key from its parent and marks it and its subtree deleted.
void DeleteKey(const std::shared_ptr<Key>& key);
Value* FindValue(Key& key, std::u16string_view name);
void SetValue(Key& key, std::u16string_view name, DWORD type, std::vector<uint8_t> data);
bool DeleteValue(Key& key, std::u16string_view name);

// Empties the registry (ResetPlatform).
void Clear();

void SweepKeyLeaks();

}  // namespace ce_internal::reg
