// What the FTDI and type-4 port tests share on top of the common COM port
// fixture: a chip model on a scripted line served as COM1: (the UsbMode word
// can replace the one the first attach chose) and opened; the handle is
// closed before the device goes, also when a test fails.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "common/com_port_test.h"
#include "platform.h"
#include "sim/serial_line.h"

namespace ftditest {

using Bytes = std::vector<uint8_t>;
using comtest::EditDcb;
using comtest::Eventually;
using comtest::PatternBytes;
using comtest::ReadAll;
using comtest::SetTimeouts;
using comtest::WriteAll;

template <class Model>
class ServedTest : public comtest::ComPortTest {
  protected:
    // Serves a model of `config`; `usbMode` other than -1 replaces the word
    // the first attach chose. h_ is the open port.
    template <class Config>
    void ServeChip(const Config& config, long usbMode = -1,
                   cehost::UsbTiming timing = cehost::UsbTiming::kUntimed) {
        Replace();
        bus_ = std::make_unique<cehost::UsbBus>(timing);
        line_ = std::make_shared<sim::ScriptedLine>();
        chip_ = std::make_shared<Model>(config, line_);
        Serve(chip_, [usbMode](const std::u16string& key) {
            if (usbMode >= 0) {
                ASSERT_TRUE(cehost::RegWriteDword(key, kValueUsbMode, DWORD(usbMode)));
            }
        });
        h_ = comtest::OpenCom();
        ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    }

    // Closes the port, unplugs the device and drops the bus, so that the
    // next ServeChip starts afresh.
    void Replace() {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        Unplug();
        bus_.reset();
    }

    void TearDown() override {
        Replace();
        comtest::ComPortTest::TearDown();
    }

    std::shared_ptr<sim::ScriptedLine> line_;
    std::shared_ptr<Model> chip_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace ftditest
