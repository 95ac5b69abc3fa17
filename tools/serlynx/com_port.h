// The served COM port as the bridges drive it: settings through the Comm
// API (SetCommState and EscapeCommFunction), the line outputs the port was
// last told, and byte counters for the status line.
//
// Threads: the setters run on a bridge's thread (the RFC 2217 client's or
// the pty's) and are serialised by `mu_`; Write by `writeMu_` (a write may
// block while flow control holds the line). The counters are atomics read
// by the status line.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "ce/windows.h"
#include "rfc2217.h"

namespace serlynx {

class ComPort : public rfc2217::PortControl {
  public:
    // Takes the open handle; `changed` runs after every change of a setting.
    // `modemLines` false: the adapter has no DTR, RTS or break to drive
    // (the bulk-only and type-4 ports); their requests are then kept as
    // set, since there is nothing on the device to refuse them.
    ComPort(HANDLE handle, std::function<void()> changed, bool modemLines = true);
    HANDLE Handle() const { return handle_; }

    rfc2217::PortSettings Settings() override;
    bool SetBaud(uint32_t baud) override;
    bool SetDataBits(uint8_t bits) override;
    bool SetParity(uint8_t code) override;
    bool SetStopBits(uint8_t code) override;
    bool SetFlow(rfc2217::Flow flow) override;
    bool SetDtr(bool on) override;
    bool SetRts(bool on) override;
    bool SetBreak(bool on) override;
    bool Purge(bool receive, bool transmit) override;
    uint8_t ModemLevels() override;
    void Write(const uint8_t* data, size_t length) override;
    void Changed() override;

    // Back to a quiet line when a client leaves: DTR, RTS and break off.
    void Quiet();
    // The port is about to close: a write held by flow control gives up and
    // a running read returns. Any thread.
    void Close();
    // "115200 8N1 RTS/CTS" for the status line.
    std::string Summary();

    std::atomic<uint64_t> toDevice{0}, fromDevice{0}, lineErrors{0};

  private:
    // Applies dcb_ with SetCommState; on failure puts `before` back.
    bool ApplyLocked(const DCB& before);

    const HANDLE handle_;
    const std::function<void()> changed_;
    const bool modemLines_;
    std::mutex mu_;
    DCB dcb_{};                                  // mu_: what the port was last given
    bool dtr_ = false, rts_ = false;             // mu_
    bool breakOn_ = false;                       // mu_
    rfc2217::Flow flow_ = rfc2217::Flow::kNone;  // mu_
    std::mutex writeMu_;
    std::atomic<bool> closing_{false};
};

}  // namespace serlynx
