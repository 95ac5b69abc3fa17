// The serial port as the RFC 2217 session sees it, without a driver behind
// it: records what the session did, and refuses settings while `refuse` is
// set (flow, DTR and break are always taken). For the tool's session tests
// and the fuzz target.
#pragma once

#include <vector>

#include "rfc2217.h"

namespace testfix {

class FakePortControl : public serlynx::rfc2217::PortControl {
  public:
    using Bytes = serlynx::rfc2217::Bytes;
    using Flow = serlynx::rfc2217::Flow;
    serlynx::rfc2217::PortSettings Settings() override { return s; }
    bool SetBaud(uint32_t v) override { return !refuse && (s.baud = v, true); }
    bool SetDataBits(uint8_t v) override { return !refuse && (s.dataBits = v, true); }
    bool SetParity(uint8_t v) override { return !refuse && (s.parity = v, true); }
    bool SetStopBits(uint8_t v) override { return !refuse && (s.stopBits = v, true); }
    bool SetFlow(Flow v) override { return s.flow = v, true; }
    bool SetDtr(bool v) override { return s.dtr = v, true; }
    bool SetRts(bool v) override { return !refuse && (s.rts = v, true); }
    bool SetBreak(bool v) override { return s.breakOn = v, true; }
    bool Purge(bool rx, bool tx) override { return purges.push_back(rx | tx << 1), true; }
    uint8_t ModemLevels() override { return levels; }
    void Write(const uint8_t* d, size_t n) override { written.insert(written.end(), d, d + n); }
    void Changed() override { ++changes; }

    serlynx::rfc2217::PortSettings s;
    bool refuse = false;
    uint8_t levels = serlynx::rfc2217::kModemCts | serlynx::rfc2217::kModemDsr;
    Bytes written;
    std::vector<int> purges;  // 1 receive, 2 transmit, 3 both
    int changes = 0;
};

}  // namespace testfix
