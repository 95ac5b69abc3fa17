// The tool's Telnet decoder and COM-port-option session on arbitrary client
// bytes, fed in pieces of input-chosen sizes. Checks: a decoder fed the same
// stream in one piece or in pieces gives the same events; data the session
// hands to the port is exactly the data events of the stream.
#include <vector>

#include "common/fake_port_control.h"
#include "common/fuzz_support.h"
#include "rfc2217.h"

using serlynx::rfc2217::Bytes;
using serlynx::rfc2217::TelnetEvent;

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
    if (okWhole != okPieces || (okWhole && merged != a))
        fuzz::Finding("pieces of %u bytes decode differently", step);

    testfix::FakePortControl port;
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
        if (expected != port.written)
            fuzz::Finding("the port got %zu data bytes, the stream held %zu", port.written.size(),
                          expected.size());
    }
    return 0;
}
