// The receive FIFO of a chip: bytes that came in on the serial line wait
// here until the host takes them on a bulk-IN endpoint. Its capacity is the
// chip's buffer; what arrives while it is full is lost, as on the chip, and
// counted (the chip's overrun).
//
// Threads: none of its own; the model that owns it guards it with its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class RxFifo {
  public:
    explicit RxFifo(size_t capacity = 0) : ring_(capacity) {}

    // Stores as much of `data` as there is room for, oldest first; the rest
    // is dropped and counted. The number of bytes stored.
    size_t Push(const uint8_t* data, size_t length);
    // Moves up to `max` of the oldest bytes to the end of `out`; the number
    // moved.
    size_t Pop(size_t max, std::vector<uint8_t>& out);
    // Empties the FIFO (a purge or reset); the drop count stays.
    void Clear() { head_ = count_ = 0; }

    size_t Size() const { return count_; }
    bool Empty() const { return count_ == 0; }
    size_t Capacity() const { return ring_.size(); }
    // Bytes lost to a full FIFO since the chip was made.
    uint64_t Dropped() const { return dropped_; }

  private:
    std::vector<uint8_t> ring_;  // head_ is the oldest byte
    size_t head_ = 0, count_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace sim
