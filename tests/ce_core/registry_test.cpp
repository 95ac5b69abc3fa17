// Registry API: case rules, sizes, enumeration, deletion, stale handles and
// concurrent writers.
#include <cstring>
#include <thread>
#include <vector>

#include "ce/registry.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"

namespace {

class RegistryTest : public PlatformTest {
  protected:
    HKEY Create(const char16_t* path, DWORD* disposition = nullptr) {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &k, disposition),
                  ERROR_SUCCESS);
        return k;
    }
    LONG Open(const char16_t* path, HKEY* k) {
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, k);
    }
    static LONG SetString(HKEY k, const char16_t* name, const char16_t* s) {
        DWORD bytes = static_cast<DWORD>((std::char_traits<char16_t>::length(s) + 1) * 2);
        return RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s), bytes);
    }
    static LONG SetDword(HKEY k, const char16_t* name, DWORD v) {
        return RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    }
};

TEST_F(RegistryTest, CreateReportsDispositionAndKeepsFirstCase) {
    DWORD disp = 0;
    HKEY a = Create(u"Drivers\\USB\\ClientDrivers", &disp);
    EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
    HKEY b = Create(u"DRIVERS\\usb\\clientdrivers", &disp);
    EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
    // A new leaf under an existing parent is still a new key.
    HKEY c = Create(u"drivers\\USB\\LoadClients", &disp);
    EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
    EXPECT_EQ(cehost::RegSubkeyNames(u"Drivers"), std::vector<std::u16string>{u"USB"});
    EXPECT_EQ(cehost::RegSubkeyNames(u"Drivers\\USB"),
              (std::vector<std::u16string>{u"ClientDrivers", u"LoadClients"}));
    for (HKEY k : {a, b, c})
        EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryTest, OpenMissingAndBadPaths) {
    HKEY k = nullptr;
    EXPECT_EQ(Open(u"Nope", &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"a\\\\b", 0, nullptr, 0, 0, nullptr, &k, nullptr),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"\\a", 0, nullptr, 0, 0, nullptr, &k, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(cehost::RegKeyExists(u"a"));
}

TEST_F(RegistryTest, ValueNamesIgnoreCaseAndKeepFirstSpelling) {
    HKEY k = Create(u"K");
    ASSERT_EQ(SetDword(k, u"Index", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(k, u"INDEX", 2), ERROR_SUCCESS);
    EXPECT_EQ(cehost::RegValueNames(u"k"), std::vector<std::u16string>{u"Index"});
    EXPECT_EQ(cehost::RegReadDword(u"K", u"index"), 2u);
    RegCloseKey(k);
}

TEST_F(RegistryTest, QuerySizesTypesAndShortBuffers) {
    HKEY k = Create(u"K");
    ASSERT_EQ(SetString(k, u"Prefix", u"COM"), ERROR_SUCCESS);

    struct Case {
        const char* what;
        bool withBuffer;
        DWORD capacity;
        LONG result;
        DWORD sizeAfter;
    };
    const Case cases[] = {
        {"size only", false, 0, ERROR_SUCCESS, 8},
        {"exact buffer", true, 8, ERROR_SUCCESS, 8},
        {"larger buffer", true, 64, ERROR_SUCCESS, 8},
        {"short buffer", true, 7, ERROR_MORE_DATA, 8},
        {"zero buffer", true, 0, ERROR_MORE_DATA, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BYTE buf[64];
        std::memset(buf, 0xAA, sizeof buf);
        DWORD type = 0, size = c.capacity;
        LONG r =
            RegQueryValueExW(k, u"prefix", nullptr, &type, c.withBuffer ? buf : nullptr, &size);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(size, c.sizeAfter);
        EXPECT_EQ(type, REG_SZ);
        if (r == ERROR_SUCCESS && c.withBuffer) {
            EXPECT_EQ(std::memcmp(buf, u"COM", 8), 0);
        }
        if (r == ERROR_MORE_DATA) {
            EXPECT_EQ(buf[0], 0xAA) << "a short buffer is left untouched";
        }
    }
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExW(k, u"Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    // Buffer without a size is refused rather than written blindly.
    BYTE b[4];
    EXPECT_EQ(RegQueryValueExW(k, u"Prefix", nullptr, nullptr, b, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
}

TEST_F(RegistryTest, DefaultValueAndEmptyData) {
    HKEY k = Create(u"K");
    ASSERT_EQ(SetString(k, nullptr, u"dflt"), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k, u"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(cehost::RegReadString(u"K", u""), u"dflt");
    DWORD size = 99, type = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"Empty", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(RegSetValueExW(k, u"Bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
}

TEST_F(RegistryTest, DeleteValue) {
    HKEY k = Create(u"K");
    SetDword(k, u"A", 1);
    EXPECT_EQ(RegDeleteValueW(k, u"a"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(k, u"a"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(cehost::RegReadDword(u"K", u"A"));
    RegCloseKey(k);
}

TEST_F(RegistryTest, EnumeratesKeysAndValues) {
    HKEY k = Create(u"K");
    for (const char16_t* sub : {u"beta", u"Alpha", u"gamma"})
        RegCloseKey(Create((std::u16string(u"K\\") + sub).c_str()));
    SetDword(k, u"One", 1);
    SetString(k, u"Two", u"2");

    std::vector<std::u16string> keys;
    for (DWORD i = 0;; ++i) {
        WCHAR name[32];
        DWORD cch = 32;
        LONG r = RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(r, ERROR_SUCCESS);
        EXPECT_EQ(cch, std::char_traits<char16_t>::length(name));
        keys.emplace_back(name);
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));

    WCHAR small[3];
    DWORD cch = 3;
    EXPECT_EQ(RegEnumKeyExW(k, 0, small, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(cch, 6u) << "needed units, terminator included";

    WCHAR name[16];
    DWORD nameLen = 16, type = 0, size = 0;
    ASSERT_EQ(RegEnumValueW(k, 1, name, &nameLen, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Two");
    EXPECT_EQ(nameLen, 3u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 4u);
    BYTE data[2];
    nameLen = 16;
    size = 2;
    EXPECT_EQ(RegEnumValueW(k, 1, name, &nameLen, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    nameLen = 16;
    EXPECT_EQ(RegEnumValueW(k, 2, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(k);
}

TEST_F(RegistryTest, DeleteKeyRemovesSubtreeAndStaleHandlesFailCleanly) {
    HKEY top = Create(u"Drivers\\Active");
    HKEY leaf = Create(u"Drivers\\Active\\01\\Deep");
    SetDword(leaf, u"V", 7);

    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"drivers\\active"), ERROR_SUCCESS);
    EXPECT_FALSE(cehost::RegKeyExists(u"Drivers\\Active\\01\\Deep"));
    EXPECT_TRUE(cehost::RegKeyExists(u"Drivers"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\Active"), ERROR_FILE_NOT_FOUND);

    DWORD v = 0, size = 4;
    HKEY sub = nullptr;
    EXPECT_EQ(RegQueryValueExW(leaf, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(leaf, u"V", 8), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExW(top, u"x", 0, nullptr, 0, 0, nullptr, &sub, nullptr),
              ERROR_KEY_DELETED);
    // Re-creating the path makes a new key; the stale handles stay dead.
    RegCloseKey(Create(u"Drivers\\Active"));
    EXPECT_EQ(SetDword(top, u"V", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(top), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(leaf), ERROR_SUCCESS);
}

TEST_F(RegistryTest, BadHandlesAreCountedAsMisuse) {
    HKEY k = Create(u"K");
    ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    DWORD size = 0;
    struct Case {
        const char* kind;
        HKEY key;
    };
    const Case cases[] = {
        {"reg.handle.closed", k},
        {"reg.handle.null", nullptr},
        {"reg.handle.unknown", reinterpret_cast<HKEY>(uintptr_t{0x1234567})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_EQ(RegQueryValueExW(c.key, u"x", nullptr, nullptr, nullptr, &size),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(c.key), ERROR_INVALID_HANDLE);
        ExpectMisuse(c.kind, 2);
    }
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(RegistryTest, UnclosedKeyIsALeak) {
    Create(u"K");
    cehost::SweepLeaks();
    ExpectLeak("handle.regkey", 1);
    SkipLeakSweep();
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 4, kValues = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            HKEY k = nullptr;
            std::u16string path = u"Shared\\T" + std::u16string(1, char16_t(u'0' + t));
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr,
                                      &k, nullptr),
                      ERROR_SUCCESS);
            HKEY shared = nullptr;
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Shared", 0, nullptr, 0, 0, nullptr, &shared,
                            nullptr);
            for (int i = 0; i < kValues; ++i) {
                std::u16string name = u"v";
                name += cehost::Utf16(std::to_string(i));
                DWORD v = static_cast<DWORD>(t * 1000 + i);
                RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
                std::u16string mine = name + u"_" + char16_t(u'0' + t);
                RegSetValueExW(shared, mine.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
            }
            RegCloseKey(k);
            RegCloseKey(shared);
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(cehost::RegValueNames(u"Shared").size(), size_t{kThreads * kValues});
    for (int t = 0; t < kThreads; ++t) {
        std::u16string path = u"Shared\\T" + std::u16string(1, char16_t(u'0' + t));
        EXPECT_EQ(cehost::RegValueNames(path).size(), size_t{kValues});
        EXPECT_EQ(cehost::RegReadDword(path, u"v199"), DWORD(t * 1000 + 199));
    }
}

TEST_F(RegistryTest, ResetEmptiesTheRegistry) {
    cehost::RegWriteDword(u"A\\B", u"x", 1);
    cehost::ResetPlatform();
    EXPECT_FALSE(cehost::RegKeyExists(u"A"));
    EXPECT_EQ(cehost::ExportRegText(), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\n");
}

}  // namespace
