// The serial lines on their own, without USB: what a receiving UART makes of
// a sender's characters, pacing at the configured rate, and the transmit
// FIFO's back-pressure. (The null modem's wiring and the lines' lifetime are
// exercised by every line test through the driver.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/serial_line.h"

namespace {

using sim::LineConfig;

// A device that records what its line delivers and how often it heard that
// it may send again.
class Recorder : public sim::LineDevice {
  public:
    void LineReceive(const uint8_t* data, size_t length) override {
        std::lock_guard<std::mutex> g(mu_);
        bytes_.insert(bytes_.end(), data, data + length);
        cv_.notify_all();
    }
    void LineInputs(const sim::ModemInputs&) override {}
    void LineError(uint32_t) override {}
    void LineBreak(bool) override {}
    void LineTransmitReady() override { ++ready_; }

    bool WaitBytes(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return bytes_.size() >= n; });
    }
    std::vector<uint8_t> Bytes() {
        std::lock_guard<std::mutex> g(mu_);
        return bytes_;
    }
    std::atomic<int> ready_{0};

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> Mixed(size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t x = 12345;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

LineConfig Cfg(uint32_t baud, uint8_t bits = 8, uint8_t parity = 0, uint8_t stop = 0) {
    return LineConfig{baud, bits, parity, stop};
}

// ---- what a UART receives ----

struct DecodeCase {
    const char* name;
    LineConfig tx, rx;
    std::vector<uint8_t> sent;
    std::vector<uint8_t> expect;  // exact bytes expected; empty: only "not what was sent"
    uint32_t errors;              // exact error bits expected
};

TEST(LineDecode, WhatTheReceiverAssembles) {
    const std::vector<uint8_t> block = Mixed(64);
    const DecodeCase cases[] = {
        {"same settings", Cfg(115200), Cfg(115200), block, block, 0},
        {"stop bits differ only", Cfg(115200, 8, 0, 2), Cfg(115200), block, block, 0},
        {"receiver 4% slow", Cfg(115200), Cfg(110592), block, block, 0},
        {"receiver 8% slow", Cfg(115200), Cfg(105984), block, {}, sim::kLineFraming},
        {"sender 12 times slower", Cfg(9600), Cfg(115200), {0x55}, {}, sim::kLineFraming},
        // Even parity sent, odd expected: every byte right, every one flagged.
        {"even against odd",
         Cfg(9600, 8, 2),
         Cfg(9600, 8, 1),
         {0x00, 0x01, 0x7F},
         {0x00, 0x01, 0x7F},
         sim::kLineParity},
        // No parity sent: the receiver takes the stop bit (1) as parity.
        {"none against even, needs 0",
         Cfg(9600),
         Cfg(9600, 8, 2),
         {0x00},
         {0x00},
         sim::kLineParity},
        {"none against even, needs 1", Cfg(9600), Cfg(9600, 8, 2), {0x01}, {0x01}, 0},
        // Back to back, the longer frame expected runs into the next start
        // bit.
        {"none against mark, back to back",
         Cfg(9600),
         Cfg(9600, 8, 3),
         {0x12, 0x34},
         {},
         sim::kLineFraming},
        // Seven bits sent, eight expected: the stop bit becomes bit 7.
        {"7N1 into 8N1", Cfg(9600, 7), Cfg(9600, 8), {0x41}, {0xC1}, 0},
        // Eight sent, seven expected: bit 7 lands where the stop bit should.
        {"8N1 into 7N1, bit 7 set", Cfg(9600, 8), Cfg(9600, 7), {0xC1}, {0x41}, 0},
        {"8N1 into 7N1, bit 7 clear",
         Cfg(9600, 8),
         Cfg(9600, 7),
         {0x41},
         {0x41},
         sim::kLineFraming},
        {"stopped generator", Cfg(0), Cfg(9600), {0x41}, {}, 0},
    };
    for (const DecodeCase& c : cases) {
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

// ---- pacing ----

TEST(LinePacing, CarriesNoMoreThanTheRateAllows) {
    struct {
        LineConfig config;
        size_t count;
    } cases[] = {
        {Cfg(115200), 1152},       // 11,520 characters/s: 100 ms
        {Cfg(9600, 7, 2, 2), 87},  // 11 bits: 872.7 characters/s: about 100 ms
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config.baud);
        sim::LoopbackPlug plug(sim::LinePacing{true, 4096});
        Recorder device;
        plug.Attach(&device);
        plug.Configure(c.config);
        const std::vector<uint8_t> sent = Mixed(c.count);
        const auto start = std::chrono::steady_clock::now();
        plug.Transmit(sent.data(), sent.size());
        EXPECT_LT(device.Bytes().size(), sent.size()) << "a paced line delivered at once";
        ASSERT_TRUE(device.WaitBytes(sent.size()));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double least = c.count * sim::HalfBitsPerCharacter(c.config) / 2.0 / c.config.baud;
        // A lower bound only: the line may be late, never early.
        EXPECT_GE(seconds, least * 0.95);
        const uint8_t mask = static_cast<uint8_t>((1u << c.config.dataBits) - 1);
        std::vector<uint8_t> expect = sent;
        for (auto& b : expect)
            b &= mask;
        EXPECT_EQ(device.Bytes(), expect);
        plug.Attach(nullptr);
    }
}

TEST(LinePacing, FullTransmitFifoPushesBack) {
    sim::LoopbackPlug plug(sim::LinePacing{true, 128});
    Recorder device;
    plug.Attach(&device);
    plug.Configure(Cfg(9600));  // about 1 ms a character
    // An idle transmitter takes a packet of any size...
    EXPECT_EQ(plug.TransmitRoom(), SIZE_MAX);
    const std::vector<uint8_t> sent = Mixed(200);
    plug.Transmit(sent.data(), 100);
    // ...a busy one only what fits its FIFO.
    EXPECT_LE(plug.TransmitRoom(), 28u);
    plug.Transmit(sent.data() + 100, 28);
    // Full: not even half a FIFO's worth can have drained yet.
    EXPECT_LT(plug.TransmitRoom(), 64u);
    ASSERT_TRUE(device.WaitBytes(128));
    // The sender heard that it may send again (below half, and empty).
    EXPECT_TRUE([&] {
        for (int i = 0; i < 500 && device.ready_.load() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return device.ready_.load() >= 2;
    }());
    EXPECT_EQ(plug.TransmitRoom(), SIZE_MAX);
    EXPECT_EQ(device.Bytes(), std::vector<uint8_t>(sent.begin(), sent.begin() + 128));
    plug.Attach(nullptr);
}

}  // namespace
