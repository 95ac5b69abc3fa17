// The wire between two UARTs: pacing and what a receiver makes of a
// sender's waveform.
#include "wire.h"

#include <algorithm>

namespace sim {

namespace {

// A line that fell further behind than this restarts its clock instead of
// delivering the backlog in one burst.
constexpr auto kMaxLag = std::chrono::milliseconds(5);

unsigned ParityBits(const LineConfig& c) {
    return c.parity == 0 ? 0 : 1;
}

unsigned StopHalfBits(const LineConfig& c) {
    return c.stopBits == 1 ? 3 : c.stopBits == 2 ? 4 : 2;
}

unsigned DataBits(const LineConfig& c) {
    return std::clamp<unsigned>(c.dataBits, 5, 8);
}

// The parity bit a UART sends (or expects) after `data` of `bits` bits.
int ParityBit(const LineConfig& c, unsigned data, unsigned bits) {
    unsigned ones = 0;
    for (unsigned i = 0; i < bits; ++i)
        ones += (data >> i) & 1;
    switch (c.parity) {
        case 1:  // odd: the ones, parity included, are odd
            return (ones & 1) ? 0 : 1;
        case 2:  // even
            return ones & 1;
        case 3:  // mark
            return 1;
        default:  // space
            return 0;
    }
}

// The sender's waveform: `count` characters back to back, the line high
// (mark) before and after. Time is in units of 1 / (2 * txBaud * rxBaud)
// seconds, so that both ends' half bits are whole numbers of units.
class Waveform {
  public:
    Waveform(const LineConfig& tx, uint64_t bitUnits, const uint8_t* data, size_t count)
        : tx_(tx), bit_(bitUnits), data_(data), count_(count) {
        bitsBeforeStop_ = 1 + DataBits(tx) + ParityBits(tx);
        frame_ = bit_ * bitsBeforeStop_ + bit_ / 2 * StopHalfBits(tx);
    }

    uint64_t End() const { return frame_ * count_; }

    int Level(uint64_t t) const {
        const uint64_t k = t / frame_;
        if (k >= count_)
            return 1;
        const uint64_t bit = (t - k * frame_) / bit_;
        if (bit == 0)
            return 0;  // start bit
        const unsigned bits = DataBits(tx_);
        if (bit <= bits)
            return (data_[k] >> (bit - 1)) & 1;
        if (bit == bits + 1 && ParityBits(tx_))
            return ParityBit(tx_, data_[k], bits);
        return 1;  // stop bits
    }

    // The first time at or after `t` where the line is low, or End() when
    // it stays high.
    uint64_t NextLow(uint64_t t) const {
        while (t < End()) {
            if (Level(t) == 0)
                return t;
            const uint64_t k = t / frame_;
            const uint64_t off = t - k * frame_;
            t = off < bit_ * bitsBeforeStop_ ? k * frame_ + (off / bit_ + 1) * bit_
                                             : (k + 1) * frame_;
        }
        return End();
    }

  private:
    const LineConfig tx_;
    const uint64_t bit_;
    const uint8_t* const data_;
    const size_t count_;
    uint64_t bitsBeforeStop_ = 0;
    uint64_t frame_ = 0;
};

}  // namespace

unsigned HalfBitsPerCharacter(const LineConfig& c) {
    return 2 * (1 + DataBits(c) + ParityBits(c)) + StopHalfBits(c);
}

DecodedCharacters DecodeCharacters(const LineConfig& tx, const LineConfig& rx, const uint8_t* data,
                                   size_t count) {
    DecodedCharacters out;
    const unsigned rxBits = DataBits(rx);
    if (tx == rx ||
        (tx.baud == rx.baud && DataBits(tx) == rxBits && tx.parity == rx.parity && tx.baud != 0)) {
        // Same rate and character shape (stop bits only differ in how long
        // the line idles): every character arrives as sent.
        const uint8_t mask = static_cast<uint8_t>((1u << rxBits) - 1);
        out.bytes.reserve(count);
        for (size_t i = 0; i < count; ++i)
            out.bytes.push_back(data[i] & mask);
        return out;
    }
    if (tx.baud == 0 || rx.baud == 0)
        return out;  // a stopped baud generator sends and hears nothing

    const uint64_t txBit = 2ull * rx.baud;  // units per sender bit
    const uint64_t rxBit = 2ull * tx.baud;  // units per receiver bit
    const Waveform wave(tx, txBit, data, count);
    uint64_t t = 0;
    while (out.bytes.size() < 4 * count + 4) {
        const uint64_t start = wave.NextLow(t);
        if (start >= wave.End())
            break;
        uint64_t sample = start + rxBit / 2;
        if (wave.Level(sample) != 0) {
            t = sample;  // a glitch, not a start bit
            continue;
        }
        unsigned byte = 0;
        for (unsigned i = 0; i < rxBits; ++i) {
            sample += rxBit;
            byte |= static_cast<unsigned>(wave.Level(sample)) << i;
        }
        if (ParityBits(rx)) {
            sample += rxBit;
            if (wave.Level(sample) != ParityBit(rx, byte, rxBits))
                out.errors |= kLineParity;
        }
        sample += rxBit;
        if (wave.Level(sample) == 0)
            out.errors |= kLineFraming;
        out.bytes.push_back(static_cast<uint8_t>(byte));
        // The receiver hunts for the next start bit from the middle of the
        // stop bit on; a line still low there starts the next character.
        t = sample + 1;
    }
    return out;
}

// ---- Wire ----

Wire::Wire(SerialLine* from, SerialLine* to, LinePacing pacing)
    : from_(from), to_(to), pacing_(pacing) {
    if (pacing_.paced)
        shifter_ = std::thread([this] { Shifter(); });
}

Wire::~Wire() {
    {
        std::lock_guard<std::mutex> g(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (shifter_.joinable())
        shifter_.join();
}

void Wire::SetTx(const LineConfig& config) {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (config == tx_)
            return;
        // The characters shifted so far took the old time each; restart the
        // clock at the end of the last one.
        epoch_ += CharacterTimeLocked() * static_cast<int64_t>(shifted_);
        shifted_ = 0;
        tx_ = config;
    }
    cv_.notify_all();
}

void Wire::SetRx(const LineConfig& config) {
    std::lock_guard<std::mutex> g(mu_);
    rx_ = config;
}

Wire::Clock::duration Wire::CharacterTimeLocked() const {
    const uint32_t baud = std::max<uint32_t>(tx_.baud, 1);
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(HalfBitsPerCharacter(tx_) * 1'000'000'000ull / (2ull * baud)));
}

size_t Wire::Room() const {
    if (!pacing_.paced)
        return SIZE_MAX;
    std::lock_guard<std::mutex> g(mu_);
    if (queuedData_ == 0)
        return SIZE_MAX;
    return queuedData_ < pacing_.txFifo ? pacing_.txFifo - queuedData_ : 0;
}

uint64_t Wire::Delivered() const {
    std::lock_guard<std::mutex> g(mu_);
    return delivered_;
}

void Wire::Send(const uint8_t* data, size_t length) {
    if (length == 0)
        return;
    if (!pacing_.paced) {
        LineConfig tx, rx;
        {
            std::lock_guard<std::mutex> g(mu_);
            tx = tx_;
            rx = rx_;
            delivered_ += length;
        }
        if (tx == rx && DataBits(rx) == 8) {
            to_->DeliverReceive(data, length);
            return;
        }
        DecodedCharacters d = DecodeCharacters(tx, rx, data, length);
        if (!d.bytes.empty())
            to_->DeliverReceive(d.bytes.data(), d.bytes.size());
        if (d.errors)
            to_->DeliverError(d.errors);
        return;
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        if (queuedData_ == 0) {
            // An idle line starts a new busy stretch now (or when the last
            // character still on the wire has gone).
            const auto now = Clock::now();
            epoch_ = std::max(now, epoch_ + CharacterTimeLocked() * static_cast<int64_t>(shifted_));
            shifted_ = 0;
        }
        for (size_t i = 0; i < length; ++i)
            queue_.push_back(Item{data[i], kData});
        queuedData_ += length;
    }
    cv_.notify_all();
}

void Wire::SendBreak(bool on) {
    if (!pacing_.paced) {
        to_->DeliverBreak(on);
        return;
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        queue_.push_back(Item{0, on ? kBreakOn : kBreakOff});
    }
    cv_.notify_all();
}

void Wire::Shifter() {
    std::unique_lock<std::mutex> lk(mu_);
    std::deque<Item> batch;
    while (!stopping_) {
        if (queue_.empty()) {
            cv_.wait(lk);
            continue;
        }
        // Break edges at the head go at once: they take no character time.
        size_t due = 0;
        if (queue_.front().kind == kData) {
            const auto now = Clock::now();
            const auto charTime = CharacterTimeLocked();
            const auto next = epoch_ + charTime * static_cast<int64_t>(shifted_ + 1);
            if (now < next) {
                cv_.wait_until(lk, next);
                continue;
            }
            if (now - next > kMaxLag) {
                // Far behind (the thread was not scheduled): restart the
                // clock with this character rather than burst.
                epoch_ = now - charTime;
                shifted_ = 0;
            }
            const uint64_t elapsed = static_cast<uint64_t>((now - epoch_) / charTime);
            due = static_cast<size_t>(std::max<uint64_t>(elapsed - shifted_, 1));
        }
        // Take `due` characters and any break edges up to the next
        // character that is not due yet.
        size_t taken = 0;
        const size_t before = queuedData_;
        while (!queue_.empty() && (queue_.front().kind != kData || taken < due)) {
            if (queue_.front().kind == kData)
                ++taken;
            batch.push_back(queue_.front());
            queue_.pop_front();
        }
        queuedData_ -= taken;
        shifted_ += taken;
        delivered_ += taken;
        const LineConfig tx = tx_, rx = rx_;
        // Tell the sender once its FIFO takes a packet again: when it drains
        // below half, and when it runs empty.
        const size_t half = pacing_.txFifo / 2;
        const bool ready = (before > half && queuedData_ <= half) || (before && !queuedData_);
        lk.unlock();
        Deliver(batch, tx, rx);
        batch.clear();
        if (ready)
            from_->DeliverTransmitReady();
        lk.lock();
    }
}

void Wire::Deliver(const std::deque<Item>& items, const LineConfig& tx, const LineConfig& rx) {
    std::vector<uint8_t> run;
    auto flush = [&] {
        if (run.empty())
            return;
        DecodedCharacters d = DecodeCharacters(tx, rx, run.data(), run.size());
        if (!d.bytes.empty())
            to_->DeliverReceive(d.bytes.data(), d.bytes.size());
        if (d.errors)
            to_->DeliverError(d.errors);
        run.clear();
    };
    for (const Item& item : items) {
        if (item.kind == kData) {
            run.push_back(item.byte);
            continue;
        }
        flush();
        to_->DeliverBreak(item.kind == kBreakOn);
    }
    flush();
}

}  // namespace sim
