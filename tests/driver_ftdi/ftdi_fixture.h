// What the FTDI and type-4 port tests share on top of the common COM port
// fixture: handles that a failing test leaves open are closed before the
// device goes, the UsbMode word can be replaced between the two attaches,
// and small application-side helpers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "common/com_port_test.h"

namespace ftditest {

using Bytes = std::vector<uint8_t>;
using comtest::Eventually;
using comtest::ReadAll;
using comtest::SetTimeouts;

// n bytes that differ from their neighbours, starting at `first`.
inline Bytes Pattern(size_t n, uint8_t first = 0x20) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(first + i * 7);
    return bytes;
}

// Writes all of `bytes` in one WriteFile; the count it reports.
inline DWORD Write(HANDLE h, const Bytes& bytes) {
    DWORD written = 0xFFFFFFFF;
    EXPECT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    return written;
}

class ServedTest : public comtest::ComPortTest {
  protected:
    // Serves `model`; `usbMode` other than -1 replaces the word the first
    // attach chose.
    void ServeModel(std::shared_ptr<cehost::UsbDeviceModel> model, long usbMode = -1) {
        if (usbMode < 0) {
            Serve(std::move(model));
            return;
        }
        Serve(std::move(model), [usbMode](const std::u16string& key) {
            ASSERT_TRUE(cehost::RegWriteDword(key, kValueUsbMode, static_cast<DWORD>(usbMode)));
        });
    }

    HANDLE Open() {
        HANDLE h = comtest::OpenCom();
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE)
            open_.push_back(h);
        return h;
    }

    BOOL Close(HANDLE h) {
        open_.erase(std::remove(open_.begin(), open_.end(), h), open_.end());
        return CloseHandle(h);
    }

    // Closes what is open, unplugs the device and drops the bus, so that
    // the next Serve starts afresh.
    void Replace() {
        for (HANDLE h : open_)
            CloseHandle(h);
        open_.clear();
        Unplug();
        bus_.reset();
    }

    void TearDown() override {
        for (HANDLE h : open_)
            CloseHandle(h);
        open_.clear();
        comtest::ComPortTest::TearDown();
    }

  private:
    std::vector<HANDLE> open_;
};

}  // namespace ftditest
