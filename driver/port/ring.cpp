// The receive ring's arithmetic, in one place.
#include "driver/port/ring.h"

namespace {

// A take position for `position` (0..size): ringTail is never 0.
LONG TailAt(LONG position, LONG size) {
    return position == 0 ? size : position;
}

}  // namespace

DWORD ReceiveRingSize(DWORD configured, LONG slots, LONG transferSize) {
    if (configured > kMaxRingSize)
        configured = kMaxRingSize;
    const DWORD perSlot = transferSize > 0 ? static_cast<DWORD>(transferSize) : 1;
    const DWORD smallest = (slots > 0 ? static_cast<DWORD>(slots) : 1) * perSlot + 1;
    return configured < smallest ? smallest : configured;
}

BOOL RingCreate(SerialPort* port) {
    port->ring = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, port->ringSize));
    if (port->ring == nullptr)
        return FALSE;
    const LONG size = static_cast<LONG>(port->ringSize);
    port->ringHead = 0;
    port->ringTail = TailAt(0, size);
    return TRUE;
}

LONG RingHeld(const SerialPort* port) {
    const LONG held = ReadAcquire(&port->ringHead) - ReadAcquire(&port->ringTail);
    return held < 0 ? held + static_cast<LONG>(port->ringSize) : held;
}

RingWriter::RingWriter(SerialPort* port)
    : port(port),
      storage(port->ring),
      size(static_cast<LONG>(port->ringSize)),
      head(ReadNoFence(&port->ringHead)),
      stop(ReadAcquire(&port->ringTail) - 1) {}

LONG RingWriter::Free() const {
    const LONG free = stop - head;
    return free < 0 ? free + size : free;
}

DWORD RingWriter::Store(const BYTE* data, DWORD length) {
    const LONG free = Free();
    const LONG n = static_cast<DWORD>(free) < length ? free : static_cast<LONG>(length);
    const LONG toEnd = size - head;
    if (n < toEnd) {
        __builtin_memcpy(storage + head, data, static_cast<size_t>(n));
        head += n;
    } else {
        // Up to the end of the storage, the rest from its start; a block
        // that ends exactly at the end leaves the head at 0.
        __builtin_memcpy(storage + head, data, static_cast<size_t>(toEnd));
        __builtin_memcpy(storage, data + toEnd, static_cast<size_t>(n - toEnd));
        head = n - toEnd;
    }
    return static_cast<DWORD>(n);
}

bool RingWriter::Put(BYTE byte) {
    if (head == stop)
        return false;
    storage[head] = byte;
    if (++head == size)
        head = 0;
    return true;
}

void RingWriter::Publish() {
    WriteRelease(&port->ringHead, head);
}

DWORD RingTake(SerialPort* port, BYTE* out, DWORD count) {
    const LONG size = static_cast<LONG>(port->ringSize);
    const LONG head = ReadAcquire(&port->ringHead);
    LONG tail = ReadNoFence(&port->ringTail);
    LONG held = head - tail;
    if (held < 0)
        held += size;
    if (held <= 0)
        return 0;
    const DWORD n = static_cast<DWORD>(held) < count ? static_cast<DWORD>(held) : count;
    // A tail of ringSize has nothing before the end: everything comes from
    // the start.
    const DWORD beforeEnd = static_cast<DWORD>(size - tail);
    if (n <= beforeEnd) {
        __builtin_memcpy(out, port->ring + tail, n);
        tail += static_cast<LONG>(n);
    } else {
        __builtin_memcpy(out, port->ring + tail, beforeEnd);
        __builtin_memcpy(out + beforeEnd, port->ring, n - beforeEnd);
        tail = static_cast<LONG>(n - beforeEnd);
    }
    WriteRelease(&port->ringTail, tail);
    return n;
}

void RingDiscard(SerialPort* port) {
    const LONG head = ReadAcquire(&port->ringHead);
    WriteRelease(&port->ringTail, TailAt(head, static_cast<LONG>(port->ringSize)));
}
