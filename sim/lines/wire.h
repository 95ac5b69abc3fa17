// One direction of a serial wire, shared by the loopback plug and the null
// modem: it carries one line's transmitted characters, modem-free, to the
// device of another line (or the same one), unpaced or paced.
//
// Threads: Send, SendBreak, SetTx/SetRx and Room are called by the sending
// device's threads (the bus scheduler) and by tests; a paced wire has its own
// shifter thread that delivers due characters. `mu_` guards the queue and the
// settings; it is never held while delivering to a device.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/serial_line.h"

namespace sim {

class Wire {
  public:
    // `from` is told when its transmitter has room again; `to` receives.
    Wire(SerialLine* from, SerialLine* to, LinePacing pacing);
    ~Wire();
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    void Send(const uint8_t* data, size_t length);
    // A break starts or ends after the characters already queued.
    void SendBreak(bool on);
    void SetTx(const LineConfig& config);
    void SetRx(const LineConfig& config);
    size_t Room() const;
    uint64_t Delivered() const;

  private:
    using Clock = std::chrono::steady_clock;
    // A queued item: a character, or a break edge.
    struct Item {
        uint8_t byte;
        uint8_t kind;  // kData, kBreakOn, kBreakOff
    };
    static constexpr uint8_t kData = 0, kBreakOn = 1, kBreakOff = 2;

    void Shifter();
    // Delivers a run of items in order, without mu_.
    void Deliver(const std::deque<Item>& items, const LineConfig& tx, const LineConfig& rx);
    Clock::duration CharacterTimeLocked() const;

    SerialLine* const from_;
    SerialLine* const to_;
    const LinePacing pacing_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    LineConfig tx_, rx_;       // mu_
    std::deque<Item> queue_;   // mu_
    size_t queuedData_ = 0;    // mu_: characters in queue_
    Clock::time_point epoch_;  // mu_: start of the current busy stretch
    uint64_t shifted_ = 0;     // mu_: characters shifted since epoch_
    uint64_t delivered_ = 0;   // mu_
    bool stopping_ = false;    // mu_
    std::thread shifter_;
};

}  // namespace sim
