// End-to-end fixture of the line tests: one or two device models, each
// served by the real driver library as its own port (the first served is
// COM1:, the second COM2:), behind loopback plugs or a null modem. Plus the
// application-side helpers the tests share: line settings with a flow-control
// mode, numbered byte streams, and comm status.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "common/com_port_test.h"
#include "common/platform_test.h"
#include "sim/bulk_model.h"
#include "sim/cdc_model.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace linestest {

using Bytes = std::vector<uint8_t>;
using comtest::Eventually;

enum class Flow { kNone, kRtsCts, kDtrDsr, kXonXoff };

inline const char* FlowName(Flow f) {
    static const char* const names[] = {"no flow control", "RTS handshake, CTS output flow",
                                        "DTR handshake, DSR output flow", "XON/XOFF both ways"};
    return names[static_cast<int>(f)];
}

constexpr char kXon = 0x11, kXoff = 0x13;

// Realistic chip buffers: a full-speed FTDI chip holds 256 received bytes
// (and 128 to send, the wire's FIFO); the CDC chip the same.
constexpr size_t kChipRxFifo = 256;
constexpr size_t kChipTxFifo = 128;

inline sim::FtdiModelConfig SmallFtdi() {
    sim::FtdiModelConfig c = sim::FtdiModelConfig::FullSpeed();
    c.rxFifo = kChipRxFifo;
    return c;
}

// The CDC chip that reports CTS (the driver then watches it); it serves as
// the CDC side wherever output flow control needs CTS.
inline sim::CdcModelConfig SmallCdc() {
    sim::CdcModelConfig c = sim::CdcCtsChipConfig();
    c.rxFifo = kChipRxFifo;
    return c;
}

// Stream sizes scale with SERLYNX_LINES_SCALE (a benchmark run sets it
// high); the default keeps each case to a few seconds.
inline size_t Scaled(size_t n) {
    const char* s = std::getenv("SERLYNX_LINES_SCALE");
    const long k = s ? std::atol(s) : 1;
    return n * static_cast<size_t>(k > 0 ? k : 1);
}

// Byte i of a numbered stream: i modulo 254, skipping the two flow
// characters, so that a lost, repeated or swapped byte shows as a mismatch
// and XON/XOFF filtering never eats data.
inline Bytes Numbered(size_t n, size_t offset = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        uint8_t v = static_cast<uint8_t>((i + offset) % 254);
        if (v >= kXon)
            ++v;
        if (v >= kXoff)
            ++v;
        b[i] = v;
    }
    return b;
}

// True when `got` is `sent` with some bytes left out (none added, repeated
// or moved).
inline bool IsSubsequence(const Bytes& got, const Bytes& sent) {
    size_t j = 0;
    for (uint8_t b : got) {
        while (j < sent.size() && sent[j] != b)
            ++j;
        if (j == sent.size())
            return false;
        ++j;
    }
    return true;
}

// Sets rate, 8N1 (or the given format) and the flow-control mode.
inline bool Configure(HANDLE h, DWORD baud, Flow flow, BYTE parity = NOPARITY, BYTE bits = 8) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.fParity = parity != NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = flow == Flow::kRtsCts;
    dcb.fRtsControl = flow == Flow::kRtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutxDsrFlow = flow == Flow::kDtrDsr;
    dcb.fDtrControl = flow == Flow::kDtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = flow == Flow::kXonXoff;
    // Output goes on while input is stopped: only the XOFF that came back
    // over the wire holds the writer, so the test sees it travel.
    dcb.fTXContinueOnXoff = 1;
    dcb.XonChar = kXon;
    dcb.XoffChar = kXoff;
    dcb.XonLim = 1024;
    dcb.XoffLim = 1024;
    return SetCommState(h, &dcb);
}

// Writes `out` in chunks of 2048 from a thread of its own until all went or
// a write took nothing; then stores the count written.
inline std::thread Writer(HANDLE h, const Bytes& out, std::atomic<size_t>& written) {
    return std::thread([h, &out, &written] {
        size_t done = 0;
        while (done < out.size()) {
            const DWORD n = static_cast<DWORD>(std::min<size_t>(2048, out.size() - done));
            DWORD w = 0;
            if (!WriteFile(h, out.data() + done, n, &w, nullptr) || w == 0)
                break;
            done += w;
        }
        written = done;
    });
}

struct Status {
    DWORD errors = 0;
    COMSTAT stat{};
};

inline Status CommStatus(HANDLE h) {
    Status s;
    EXPECT_TRUE(ClearCommError(h, &s.errors, &s.stat));
    return s;
}

class LinesTest : public PlatformTest {
  protected:
    // Serves `model` as the next COM port (COM1:, then COM2:).
    void Serve(std::shared_ptr<cehost::UsbDeviceModel> model) {
        if (bus_ == nullptr)
            bus_ = std::make_unique<cehost::UsbBus>();
        ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        const cehost::UsbDeviceId first = bus_->Plug(model);
        ASSERT_NE(first, 0u);
        const cehost::UsbDeviceId id = bus_->Replug(first);
        ASSERT_NE(id, 0u);
        ASSERT_EQ(bus_->Owner(id), u"Serlynx");
        ids_.push_back(id);
    }

    // Opens COMn: with generous timeouts: reads wait up to 100 ms for the
    // first byte and return what is there; a write gives up after 30 s, so
    // that a flow-control deadlock fails the test instead of hanging it.
    HANDLE Open(int n) {
        const std::u16string name = u"COM" + std::u16string(1, char16_t(u'0' + n)) + u":";
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        if (h == INVALID_HANDLE_VALUE)
            return h;
        open_.push_back(h);
        COMMTIMEOUTS t{MAXDWORD, 0, 100, 0, 30000};
        EXPECT_TRUE(SetCommTimeouts(h, &t));
        return h;
    }

    void TearDown() override {
        for (HANDLE h : open_)
            CloseHandle(h);
        open_.clear();
        for (cehost::UsbDeviceId id : ids_) {
            if (bus_->IsPlugged(id)) {
                EXPECT_TRUE(bus_->Unplug(id));
            }
        }
        ids_.clear();
        bus_.reset();
        PlatformTest::TearDown();
    }

    std::unique_ptr<cehost::UsbBus> bus_;
    std::vector<cehost::UsbDeviceId> ids_;
    std::vector<HANDLE> open_;
};

}  // namespace linestest
