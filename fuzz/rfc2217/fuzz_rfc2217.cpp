// The tool's Telnet decoder and COM-port-option session on arbitrary client
// bytes, fed in pieces of input-chosen sizes. Checks: a decoder fed the same
// stream in one piece or in pieces gives the same events; data the session
// hands to the port is exactly the data events of the stream.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "rfc2217.h"

namespace {

using serlynx::rfc2217::Bytes;
using serlynx::rfc2217::Flow;
using serlynx::rfc2217::PortSettings;
using serlynx::rfc2217::TelnetEvent;

class FakePort : public serlynx::rfc2217::PortControl {
  public:
    PortSettings Settings() override { return s_; }
    bool SetBaud(uint32_t baud) override { return Take(baud != 0, s_.baud, baud); }
    bool SetDataBits(uint8_t bits) override {
        return Take(bits >= 5 && bits <= 8, s_.dataBits, bits);
    }
    bool SetParity(uint8_t code) override { return Take(code >= 1 && code <= 5, s_.parity, code); }
    bool SetStopBits(uint8_t code) override {
        return Take(code >= 1 && code <= 3, s_.stopBits, code);
    }
    bool SetFlow(Flow flow) override { return Take(true, s_.flow, flow); }
    bool SetDtr(bool on) override { return Take(true, s_.dtr, on); }
    bool SetRts(bool on) override { return Take(true, s_.rts, on); }
    bool SetBreak(bool on) override { return Take(true, s_.breakOn, on); }
    bool Purge(bool, bool) override { return true; }
    uint8_t ModemLevels() override { return 0x30; }
    void Write(const uint8_t* data, size_t length) override {
        written.insert(written.end(), data, data + length);
    }
    Bytes written;

  private:
    template <typename T, typename V>
    bool Take(bool ok, T& field, V value) {
        if (ok)
            field = static_cast<T>(value);
        return ok;
    }
    PortSettings s_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t step = data[0] % 16 + 1;
    ++data;
    --size;

    serlynx::rfc2217::TelnetDecoder whole, pieces;
    std::vector<TelnetEvent> a, b;
    const bool okWhole = whole.Feed(data, size, a);
    bool okPieces = true;
    for (size_t at = 0; at < size && okPieces; at += step)
        okPieces = pieces.Feed(data + at, size - at < step ? size - at : step, b);
    // Consecutive data events of the piecewise decoder belong together.
    std::vector<TelnetEvent> merged;
    for (auto& e : b) {
        if (!merged.empty() && e.kind == TelnetEvent::Kind::kData &&
            merged.back().kind == TelnetEvent::Kind::kData)
            merged.back().bytes.insert(merged.back().bytes.end(), e.bytes.begin(), e.bytes.end());
        else
            merged.push_back(e);
    }
    if (okWhole != okPieces || (okWhole && merged != a)) {
        std::fprintf(stderr, "fuzz: pieces of %u bytes decode differently\n", step);
        std::abort();
    }

    FakePort port;
    serlynx::rfc2217::Session session(port);
    Bytes reply = session.Greeting();
    bool ok = true;
    for (size_t at = 0; at < size && ok; at += step)
        ok = session.Receive(data + at, size - at < step ? size - at : step, reply);
    session.ModemChanged(0xF0);
    session.LineErrors(0x1E);
    if (ok && okWhole) {
        Bytes expected;
        for (auto& e : a)
            if (e.kind == TelnetEvent::Kind::kData)
                expected.insert(expected.end(), e.bytes.begin(), e.bytes.end());
        if (expected != port.written) {
            std::fprintf(stderr, "fuzz: the port got %zu data bytes, the stream held %zu\n",
                         port.written.size(), expected.size());
            std::abort();
        }
    }
    return 0;
}
