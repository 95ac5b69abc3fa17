// The receive ring: a port's `ring` of `ringSize` bytes with its two
// indices, `ringHead` (the next store position) and `ringTail` (the next
// take position). Everything that stores into it, takes from it, empties it
// or measures it goes through this header, which alone knows its rules:
//
//   - ringHead lies in 0..ringSize-1 and wraps to 0 instead of reaching
//     ringSize. ringTail lies in 1..ringSize and is never 0: ringSize reads
//     as position 0, so a reader that stops at the end of the storage leaves
//     it there, and emptying the ring while the head is at 0 puts it there.
//   - Held = head - tail, free = tail - head - 1, each plus ringSize when
//     negative (signed 32-bit). The position before the tail is never
//     written, so the ring holds at most ringSize - 1 bytes.
//
// Threads: one producer, the port's worker thread [worker], which alone
// moves ringHead (RingWriter), and one consumer, the owner of the receive
// side [app] (a reader, or a receive purge: stream.h's claim protocol makes
// it one thread at a time), which alone moves ringTail (RingTake,
// RingDiscard). No lock: each side reads the other's index once per
// operation with ReadAcquire and publishes its own with WriteRelease after
// the bytes are stored or taken, so a stale look only understates what the
// other side has done (less free space, fewer bytes held). RingHeld may be
// asked on any thread. RingCreate runs [attach] in PortInit, before the
// worker thread exists.
#pragma once

#include "driver/port/port.h"

// ---- Size ------------------------------------------------------------------

// Largest ring: "ReceiveBuffer" values above it are cut to it. 1 MiB holds
// close to a second of what a full-speed bulk pipe can deliver (about
// 1.2 MB/s) and minutes at common line rates (91 s at 115200 baud), far more
// than a reader that keeps up needs; it keeps the signed 32-bit ring
// arithmetic far from overflow and a port's local-heap allocation sane.
constexpr DWORD kMaxRingSize = 1024 * 1024;

// The ring a port runs with for a configured size: at most kMaxRingSize,
// and at least what lets every receive slot be queued at once (the ring
// holds one byte less than its size, and a transfer is issued only when the
// free space covers every queued transfer at the full transfer size):
// slots x transferSize + 1. Smaller values would issue fewer transfers or,
// at or below one transfer, none at all.
DWORD ReceiveRingSize(DWORD configured, LONG slots, LONG transferSize);

// [attach] Allocates the storage of ringSize bytes (not cleared) and makes
// the ring empty. FALSE, with `ring` null, when there is no memory.
BOOL RingCreate(SerialPort* port);

// ---- Either side -------------------------------------------------------------

// Bytes held (0 .. ringSize - 1), from one look at each index.
LONG RingHeld(const SerialPort* port);

// ---- Producer [worker] -------------------------------------------------------

// Stores the bytes of one block: made with one look at ringTail, it stores
// from ringHead on, and Publish hands what it stored to the consumer.
class RingWriter {
  public:
    explicit RingWriter(SerialPort* port);
    RingWriter(const RingWriter&) = delete;
    RingWriter& operator=(const RingWriter&) = delete;

    // Bytes that may still be stored.
    LONG Free() const;
    // Stores the first bytes of `data`, as many as are free, in at most two
    // copies; the rest are dropped. Returns the number stored.
    DWORD Store(const BYTE* data, DWORD length);
    // Stores one byte; false (the byte dropped) when the ring is full.
    bool Put(BYTE byte);
    // Moves ringHead past the bytes stored so far: the consumer may take
    // them.
    void Publish();

  private:
    SerialPort* port;
    BYTE* storage;
    LONG size;
    LONG head;  // next store position, 0..size-1
    LONG stop;  // ringTail - 1 as looked at: the position never written
};

// ---- Consumer [app, owner of the receive side] -------------------------------

// Copies up to `count` held bytes into `out`, in at most two copies, and
// moves ringTail past them. The number taken (0 when none is held).
DWORD RingTake(SerialPort* port, BYTE* out, DWORD count);
// Drops every byte held: ringTail to ringHead (ringSize when that is 0).
void RingDiscard(SerialPort* port);
