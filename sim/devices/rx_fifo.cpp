#include "sim/rx_fifo.h"

#include <algorithm>
#include <cstring>

namespace sim {

size_t RxFifo::Push(const uint8_t* data, size_t length) {
    const size_t n = std::min(ring_.size() - count_, length);
    dropped_ += length - n;
    if (n == 0)
        return 0;
    const size_t tail = (head_ + count_) % ring_.size();
    const size_t first = std::min(n, ring_.size() - tail);
    std::memcpy(ring_.data() + tail, data, first);
    std::memcpy(ring_.data(), data + first, n - first);
    count_ += n;
    return n;
}

size_t RxFifo::Pop(size_t max, std::vector<uint8_t>& out) {
    const size_t n = std::min(max, count_);
    if (n == 0)
        return 0;
    const size_t first = std::min(n, ring_.size() - head_);
    out.insert(out.end(), ring_.begin() + static_cast<std::ptrdiff_t>(head_),
               ring_.begin() + static_cast<std::ptrdiff_t>(head_ + first));
    out.insert(out.end(), ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(n - first));
    head_ = (head_ + n) % ring_.size();
    count_ -= n;
    return n;
}

}  // namespace sim
