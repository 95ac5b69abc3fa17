// Common set-up of the device manager's tests: a clean platform, the stub
// driver registered as "stub.dll" with prefix COM, and one device key.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ce/windows.h"
#include "cehost/devmgr.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"
#include "stub_driver.h"

class DevmgrTest : public PlatformTest {
  protected:
    static constexpr const char16_t* kDevKey = u"Drivers\\Test\\Dev";

    void SetUp() override {
        PlatformTest::SetUp();
        stub::Reset();
        stub::RegisterStub("stub.dll", "COM");
        DeviceKey(kDevKey, u"stub.dll", u"COM");
    }
    void TearDown() override {
        stub::Release();
        EXPECT_LE(stub::LateCalls(), allowedLateCalls_) << "a call reached a driver being removed";
        PlatformTest::TearDown();
    }
    static void DeviceKey(const std::u16string& key, const std::u16string& dll,
                          const std::u16string& prefix) {
        cehost::RegWriteString(key, u"Dll", dll);
        cehost::RegWriteString(key, u"Prefix", prefix);
    }
    static size_t ActiveKeys() { return cehost::RegSubkeyNames(u"Drivers\\Active").size(); }
    static HANDLE Open(const char16_t* name = u"COM1:") {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }

    // A call admitted before removal started may still reach the driver's
    // code after _Deinit has begun (one per racing thread at most).
    int allowedLateCalls_ = 0;
};
