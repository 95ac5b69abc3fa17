// The serial lines on their own, without USB: what a receiving UART makes of
// a sender's characters, pacing at the configured rate, and the transmit
// FIFO's back-pressure.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "sim/serial_line.h"

namespace {

using sim::LineConfig;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t kP = sim::kLineParity, kF = sim::kLineFraming;

bool Eventually(const std::function<bool()>& predicate) {
    for (int i = 0; i < 2500 && !predicate(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return predicate();
}

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
        {"none against even, needs 1", Cfg(9600), Cfg(9600, 8, 2), {1}, {1}, 0},
        // Seven bits into eight: the stop bit becomes bit 7; and back.
        {"7N1 into 8N1", Cfg(9600, 7), Cfg(9600, 8), {0x41}, {0xC1}, 0},
        {"8N1 into 7N1, bit 7 set", Cfg(9600, 8), Cfg(9600, 7), {0xC1}, {0x41}, 0},
        {"8N1 into 7N1, bit 7 clear", Cfg(9600), Cfg(9600, 7), {0x41}, {0x41}, kF},
        {"stopped generator", Cfg(0), Cfg(9600), {0x41}, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::DecodedCharacters d = sim::DecodeCharacters(c.tx, c.rx, c.sent.data(), c.sent.size());
        EXPECT_EQ(d.errors, c.errors);
        if (!c.expect.empty())
            EXPECT_EQ(d.bytes, c.expect);
        else if (c.tx.baud != 0)
            EXPECT_NE(d.bytes, c.sent);
        else
            EXPECT_TRUE(d.bytes.empty());
    }
}

// An idle transmitter takes a packet of any size, a busy one only what fits
// its FIFO, and the line carries no more than the rate allows (a lower
// bound only: it may be late, never early). The chip models rely on the
// room to hold bulk-OUT data back, and on its return to take it again.
TEST(LinePacing, FullTransmitFifoPushesBackAtTheRate) {
    const LineConfig config = Cfg(9600, 7, 2, 2);  // 11 bits: about 1.1 ms a character
    sim::LoopbackPlug plug(sim::LinePacing{true, 128});
    plug.Configure(config);
    EXPECT_EQ(plug.TransmitRoom(), SIZE_MAX);
    const Bytes sent = Mixed(128);
    const auto start = std::chrono::steady_clock::now();
    plug.Transmit(sent.data(), 100);
    EXPECT_LE(plug.TransmitRoom(), 28u);
    plug.Transmit(sent.data() + 100, 28);
    EXPECT_LT(plug.TransmitRoom(), 64u);  // full: not half of it can have drained yet
    EXPECT_LT(plug.Delivered(), 128u) << "a paced line delivered at once";
    ASSERT_TRUE(Eventually([&] { return plug.Delivered() == 128; }));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.95 * 127 * sim::HalfBitsPerCharacter(config) / 2.0 / 9600);
    EXPECT_TRUE(Eventually([&] { return plug.TransmitRoom() == SIZE_MAX; }));
}

}  // namespace
