// A device model served as "COM1:" by the real driver library, end to end:
// the driver installed as a USB client, the model plugged (its first attach
// writes the device key), optionally the key edited, and the model plugged
// again so that the configured attach serves it. Plus the small helpers such
// tests share: polling with a generous limit, reads and writes through the
// application API, and a comm-event wait that cannot hang a test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"
#include "common/serve.h"

namespace comtest {

using ByteVector = std::vector<uint8_t>;

// Polls `predicate` every 2 ms until it holds or `ms` passed.
inline bool Eventually(const std::function<bool()>& predicate, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline HANDLE OpenCom(DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileW(u"COM1:", access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

inline ByteVector PatternBytes(size_t n, uint8_t first = 0x20) {
    ByteVector bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(first + i % 91);
    return bytes;
}

// Writes everything; the count written.
inline DWORD WriteAll(HANDLE h, const ByteVector& bytes) {
    DWORD written = 0;
    return WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr) ? written : 0;
}

// Reads until `count` bytes came or a read returns nothing (or fails).
inline ByteVector ReadAll(HANDLE h, size_t count) {
    ByteVector all;
    while (all.size() < count) {
        ByteVector more(count - all.size());
        DWORD got = 0;
        if (!ReadFile(h, more.data(), static_cast<DWORD>(more.size()), &got, nullptr) || got == 0)
            break;
        all.insert(all.end(), more.begin(), more.begin() + got);
    }
    return all;
}

// Gets the port's settings, lets `edit` change them and sets them.
inline BOOL EditDcb(HANDLE h, const std::function<void(DCB&)>& edit) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    return GetCommState(h, &dcb) && (edit(dcb), SetCommState(h, &dcb));
}

inline void SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

// GetCommModemStatus's lines (0xDEAD if the call failed, which fails the test).
inline DWORD ModemStatus(HANDLE h) {
    DWORD status = 0xDEAD;
    EXPECT_TRUE(GetCommModemStatus(h, &status));
    return status;
}

// The error bits ClearCommError reports and clears.
inline DWORD TakeErrors(HANDLE h) {
    DWORD errors = 0xDEAD;
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(h, &errors, &stat));
    return errors;
}

// WaitCommEvent with a limit: the events, or nothing when none came within
// `ms` (the wait is then ended by setting the mask again).
inline std::optional<DWORD> WaitEvents(HANDLE h, int ms = 5000) {
    auto waiter = std::async(std::launch::async, [h] {
        DWORD events = 0;
        return WaitCommEvent(h, &events, nullptr) ? std::optional(events) : std::nullopt;
    });
    if (waiter.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready)
        return waiter.get();
    DWORD mask = 0;
    GetCommMask(h, &mask);
    SetCommMask(h, mask);
    return waiter.get(), std::nullopt;
}

class ComPortTest : public PlatformTest {
  protected:
    // Serves `model` as COM1:. `editKey` runs between the two attaches with
    // the device key's path. The configured attach must have run (the
    // device is claimed), whether or not the port started.
    void Serve(std::shared_ptr<cehost::UsbDeviceModel> model,
               const std::function<void(const std::u16string&)>& editKey = nullptr) {
        if (bus_ == nullptr)
            bus_ = std::make_unique<cehost::UsbBus>();
        ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        id_ = ServeTwice(*bus_, model, [&](const std::u16string& key) {
            key_ = key;
            ASSERT_TRUE(cehost::RegKeyExists(key)) << "the first attach wrote no device key";
            if (editKey)
                editKey(key);
        });
        ASSERT_NE(id_, 0u) << "the configured attach did not claim the device";
    }

    // A DWORD of the device key (0xDEADBEEF when absent).
    DWORD KeyDword(const char16_t* name) const {
        return cehost::RegReadDword(key_, name).value_or(0xDEADBEEF);
    }

    void Unplug() {
        EXPECT_TRUE(bus_ == nullptr || id_ == 0 || !bus_->IsPlugged(id_) || bus_->Unplug(id_));
    }

    void TearDown() override {
        Unplug();
        bus_.reset();
        PlatformTest::TearDown();
    }

    std::unique_ptr<cehost::UsbBus> bus_;
    cehost::UsbDeviceId id_ = 0;
    std::u16string key_;
};

}  // namespace comtest
