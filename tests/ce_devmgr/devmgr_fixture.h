// Common set-up of the device manager's tests: a clean platform, the stub
// driver registered as "stub.dll" with prefix COM, and one device key.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ce/windows.h"
#include "cehost/regfile.h"
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

    static std::u16string ReadSz(const std::u16string& key, const char16_t* name) {
        return cehost::RegReadString(key, name).value_or(u"?");
    }
    static DWORD ReadDword(const std::u16string& key, const char16_t* name) {
        return cehost::RegReadDword(key, name).value_or(0xBADBAD);
    }
    static bool KeyExists(const std::u16string& key) { return cehost::RegKeyExists(key); }
    static size_t ActiveKeyCount() { return cehost::RegSubkeyNames(u"Drivers\\Active").size(); }

    HANDLE Open(const char16_t* name = u"COM1:") {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
};
