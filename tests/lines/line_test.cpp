// The serial lines on their own, without USB: what a receiving UART makes of
// a sender's characters. (Pacing at the configured rate: the tool's paced
// null-modem run; the transmit FIFO's back-pressure: the paced end-to-end
// write and flow-control tests.)
#include <gtest/gtest.h>

#include <vector>

#include "sim/serial_line.h"

namespace {

using sim::LineConfig;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t kP = sim::kLineParity, kF = sim::kLineFraming;

Bytes Mixed(size_t n) {
    Bytes v(n);
    uint32_t x = 12345;
    for (auto& b : v)
        b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    return v;
}

LineConfig Cfg(uint32_t baud, uint8_t bits = 8, uint8_t parity = 0, uint8_t stop = 0) {
    return LineConfig{baud, bits, parity, stop};
}

TEST(LineDecode, WhatTheReceiverAssembles) {
    const Bytes block = Mixed(64);
    const struct {
        const char* name;
        LineConfig tx, rx;
        Bytes sent, expect;  // expect empty: only "not what was sent"
        uint32_t errors;
    } cases[] = {
        {"receiver 4% slow", Cfg(115200), Cfg(110592), block, block, 0},
        {"receiver 8% slow", Cfg(115200), Cfg(105984), block, {}, kF},
        {"even against odd", Cfg(9600, 8, 2), Cfg(9600, 8, 1), {0, 1, 0x7F}, {0, 1, 0x7F}, kP},
        // No parity sent: the receiver takes the stop bit (1) as parity.
        {"none against even, needs 0", Cfg(9600), Cfg(9600, 8, 2), {0}, {0}, kP},
        // Seven bits into eight: the stop bit becomes bit 7; and back.
        {"7N1 into 8N1", Cfg(9600, 7), Cfg(9600, 8), {0x41}, {0xC1}, 0},
        {"8N1 into 7N1, bit 7 clear", Cfg(9600), Cfg(9600, 7), {0x41}, {0x41}, kF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::DecodedCharacters d = sim::DecodeCharacters(c.tx, c.rx, c.sent.data(), c.sent.size());
        EXPECT_EQ(d.errors, c.errors);
        if (!c.expect.empty())
            EXPECT_EQ(d.bytes, c.expect);
        else
            EXPECT_NE(d.bytes, c.sent);
    }
}

}  // namespace
