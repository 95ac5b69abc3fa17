// The serial lines on their own, without USB: what a receiving UART makes of
// a sender's characters, pacing at the configured rate, the transmit FIFO's
// back-pressure, and the null modem's wiring.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/serial_line.h"

namespace {

using sim::LineConfig;

// A device that records what its line delivers.
class Recorder : public sim::LineDevice {
  public:
    void LineReceive(const uint8_t* data, size_t length) override {
        std::lock_guard<std::mutex> g(mu_);
        bytes_.insert(bytes_.end(), data, data + length);
        cv_.notify_all();
    }
    void LineInputs(const sim::ModemInputs& inputs) override {
        std::lock_guard<std::mutex> g(mu_);
        inputs_ = inputs;
    }
    void LineError(uint32_t errors) override {
        std::lock_guard<std::mutex> g(mu_);
        errors_ |= errors;
    }
    void LineBreak(bool on) override {
        std::lock_guard<std::mutex> g(mu_);
        // A break edge is recorded in the byte stream's position.
        breaks_.push_back({on, bytes_.size()});
    }
    void LineTransmitReady() override {
        std::lock_guard<std::mutex> g(mu_);
        ready_++;
    }

    bool WaitBytes(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return bytes_.size() >= n; });
    }
    std::vector<uint8_t> Bytes() {
        std::lock_guard<std::mutex> g(mu_);
        return bytes_;
    }
    uint32_t Errors() {
        std::lock_guard<std::mutex> g(mu_);
        return errors_;
    }
    sim::ModemInputs Inputs() {
        std::lock_guard<std::mutex> g(mu_);
        return inputs_;
    }
    std::vector<std::pair<bool, size_t>> Breaks() {
        std::lock_guard<std::mutex> g(mu_);
        return breaks_;
    }
    int Ready() {
        std::lock_guard<std::mutex> g(mu_);
        return ready_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<uint8_t> bytes_;
    uint32_t errors_ = 0;
    sim::ModemInputs inputs_;
    std::vector<std::pair<bool, size_t>> breaks_;
    int ready_ = 0;
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
        {"receiver 4% fast", Cfg(115200), Cfg(119808), block, block, 0},
        {"receiver 8% slow", Cfg(115200), Cfg(105984), block, {}, sim::kLineFraming},
        {"sender twice as fast", Cfg(19200), Cfg(9600), block, {}, sim::kLineFraming},
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
        {"none against mark", Cfg(9600), Cfg(9600, 8, 3), {0x12}, {0x12}, 0},
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
        {"7N1 masks bit 7 at the same width", Cfg(9600, 7), Cfg(9600, 7), {0xC1}, {0x41}, 0},
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

TEST(LineDecode, CharacterLengths) {
    struct {
        LineConfig config;
        unsigned halfBits;
    } cases[] = {
        {Cfg(115200), 20},         // 8N1: 10 bits
        {Cfg(9600, 7, 2, 2), 22},  // 7E2: 11 bits
        {Cfg(9600, 5, 0, 1), 15},  // 5N1.5: 7.5 bits
        {Cfg(9600, 8, 1, 0), 22},  // 8O1
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::HalfBitsPerCharacter(c.config), c.halfBits) << c.config.baud;
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

TEST(LinePacing, UnpacedDeliversInsideTransmit) {
    sim::LoopbackPlug plug;
    Recorder device;
    plug.Attach(&device);
    const std::vector<uint8_t> sent = Mixed(5000);
    plug.Transmit(sent.data(), sent.size());
    EXPECT_EQ(device.Bytes(), sent);
    EXPECT_EQ(plug.TransmitRoom(), SIZE_MAX);
    plug.Attach(nullptr);
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
        for (int i = 0; i < 500 && device.Ready() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return device.Ready() >= 2;
    }());
    EXPECT_EQ(plug.TransmitRoom(), SIZE_MAX);
    EXPECT_EQ(device.Bytes(), std::vector<uint8_t>(sent.begin(), sent.begin() + 128));
    plug.Attach(nullptr);
}

// ---- null modem ----

TEST(LineNullModem, WiresEachOutputToTheFarInputs) {
    for (bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "paced" : "unpaced");
        auto cable = sim::NullModem::Create(sim::LinePacing{paced, 256});
        auto a = cable->EndA(), b = cable->EndB();
        Recorder da, db;
        a->Attach(&da);
        b->Attach(&db);
        struct {
            sim::SerialLine* from;
            Recorder* far;
            bool dtr, rts;
            sim::ModemInputs expect;
        } steps[] = {
            {a.get(), &db, true, false, {false, true, false, true}},
            {a.get(), &db, false, true, {true, false, false, false}},
            {b.get(), &da, true, true, {true, true, false, true}},
            {b.get(), &da, false, false, {false, false, false, false}},
        };
        for (const auto& s : steps) {
            s.from->SetOutputs(s.dtr, s.rts);
            EXPECT_EQ(s.far->Inputs(), s.expect);
            EXPECT_EQ((s.far == &db ? b : a)->Inputs(), s.expect);
        }
        // Bytes both ways, with a break after them that waits its turn.
        const std::vector<uint8_t> ab = Mixed(300), ba = Mixed(200);
        a->Transmit(ab.data(), ab.size());
        a->SetBreak(true);
        a->SetBreak(false);
        b->Transmit(ba.data(), ba.size());
        b->SetBreak(true);
        ASSERT_TRUE(db.WaitBytes(ab.size()));
        ASSERT_TRUE(da.WaitBytes(ba.size()));
        EXPECT_EQ(db.Bytes(), ab);
        EXPECT_EQ(da.Bytes(), ba);
        for (int i = 0; i < 1000 && (db.Breaks().size() < 2 || da.Breaks().empty()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        using Edges = std::vector<std::pair<bool, size_t>>;
        EXPECT_EQ(db.Breaks(), (Edges{{true, 300}, {false, 300}}));
        EXPECT_EQ(da.Breaks(), (Edges{{true, 200}}));
        EXPECT_EQ(cable->DeliveredFromA(), 300u);
        EXPECT_EQ(cable->DeliveredFromB(), 200u);
        a->Attach(nullptr);
        b->Attach(nullptr);
    }
}

TEST(LineNullModem, MismatchedEndsGiveLineErrors) {
    struct {
        const char* name;
        LineConfig a, b;
        uint32_t errors;
    } cases[] = {
        {"rate", Cfg(115200), Cfg(57600), sim::kLineFraming},
        {"parity", Cfg(9600, 8, 2), Cfg(9600, 8, 1), sim::kLineParity},
        {"agree", Cfg(9600, 7, 2), Cfg(9600, 7, 2), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto cable = sim::NullModem::Create();
        auto a = cable->EndA(), b = cable->EndB();
        Recorder da, db;
        a->Attach(&da);
        b->Attach(&db);
        a->Configure(c.a);
        b->Configure(c.b);
        EXPECT_EQ(cable->ConfigA(), c.a);
        EXPECT_EQ(cable->ConfigB(), c.b);
        const std::vector<uint8_t> sent = Mixed(64);
        a->Transmit(sent.data(), sent.size());
        b->Transmit(sent.data(), sent.size());
        // Each side reports what it saw (a rate error may add parity-free
        // garbage only; it must at least break the framing).
        EXPECT_EQ(db.Errors() & c.errors, c.errors);
        EXPECT_EQ(da.Errors() & c.errors, c.errors);
        if (c.errors == 0) {
            std::vector<uint8_t> seven = sent;
            for (auto& x : seven)
                x &= 0x7F;
            EXPECT_EQ(db.Errors(), 0u);
            EXPECT_EQ(db.Bytes(), seven);
        } else if (c.errors & sim::kLineFraming) {
            EXPECT_NE(db.Bytes(), sent);
        } else {
            EXPECT_EQ(db.Bytes(), sent);  // a parity error leaves the byte as it came
        }
        a->Attach(nullptr);
        b->Attach(nullptr);
    }
}

TEST(LineNullModem, CableOutlivesTheHandleThatMadeIt) {
    std::shared_ptr<sim::SerialLine> a, b;
    {
        auto cable = sim::NullModem::Create(sim::LinePacing{true, 64});
        a = cable->EndA();
        b = cable->EndB();
    }
    Recorder db;
    b->Attach(&db);
    const std::vector<uint8_t> sent = Mixed(10);
    a->Transmit(sent.data(), sent.size());
    ASSERT_TRUE(db.WaitBytes(sent.size()));
    b->Attach(nullptr);
    a.reset();
    b.reset();  // the last holder ends the shifter threads
}

}  // namespace
