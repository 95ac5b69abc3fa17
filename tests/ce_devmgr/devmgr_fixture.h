// Common set-up of the device manager's tests: a clean platform, the stub
// driver registered as "stub.dll" with prefix COM, and one device key.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ce/windows.h"
#include "common/platform_test.h"
#include "stub_driver.h"

class DevmgrTest : public PlatformTest {
  protected:
    static constexpr const char16_t* kDevKey = u"Drivers\\Test\\Dev";

    void SetUp() override {
        PlatformTest::SetUp();
        stub::Driver::Get().Reset();
        stub::RegisterStub("stub.dll", "COM");
        stub::WriteDeviceKey(kDevKey, u"stub.dll", u"COM");
    }
    void TearDown() override {
        stub::Driver::Get().ReleaseDeinit();
        stub::Driver::Get().ReleaseReads();
        EXPECT_LE(stub::Driver::Get().lateCalls(), allowedLateCalls_)
            << "a call reached a driver being removed";
        PlatformTest::TearDown();
    }

    stub::Driver& drv() { return stub::Driver::Get(); }

    // A call admitted before removal started may still reach the driver's
    // code after _Deinit has begun (one per racing thread at most).
    int allowedLateCalls_ = 0;

    // Reads a value of an active or device key as text / DWORD; empty or
    // nullopt-like sentinels when absent.
    static std::u16string ReadSz(const std::u16string& key, const char16_t* name) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &k) != ERROR_SUCCESS)
            return u"?";
        char16_t buf[256] = {};
        DWORD type = 0;
        DWORD size = sizeof(buf) - 2;
        LONG rc = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size);
        RegCloseKey(k);
        return rc == ERROR_SUCCESS && type == REG_SZ ? std::u16string(buf) : u"?";
    }
    static DWORD ReadDword(const std::u16string& key, const char16_t* name) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &k) != ERROR_SUCCESS) {
            return 0xBADBAD;
        }
        DWORD v = 0;
        DWORD type = 0;
        DWORD size = sizeof(v);
        LONG rc = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<LPBYTE>(&v), &size);
        RegCloseKey(k);
        return rc == ERROR_SUCCESS && type == REG_DWORD ? v : 0xBADBAD;
    }
    static bool KeyExists(const std::u16string& key) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &k) != ERROR_SUCCESS)
            return false;
        RegCloseKey(k);
        return true;
    }
    // Number of subkeys of Drivers\Active.
    static int ActiveKeyCount() {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, 0, &k) != ERROR_SUCCESS) {
            return 0;
        }
        int n = 0;
        for (;; ++n) {
            char16_t name[64];
            DWORD len = 64;
            if (RegEnumKeyExW(k, n, name, &len, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
        }
        RegCloseKey(k);
        return n;
    }

    HANDLE Open(const char16_t* name = u"COM1:") {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
};
