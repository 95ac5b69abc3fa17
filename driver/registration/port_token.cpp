#include "driver/registration/port_token.h"

#include "ce/sync.h"
#include "ce/thread.h"

namespace {

// Token layout: bits 0-7 the slot index + 1 (never 0), bits 8-31 the slot's
// generation at registration. A slot's generation moves on at every
// registration, so a released token never matches the slot's next port.
constexpr DWORD kSlotBits = 8;
constexpr DWORD kSlotMask = (1u << kSlotBits) - 1;
constexpr DWORD kGenerationMask = 0xFFFFFFFFu >> kSlotBits;
static_assert(kPortTokenSlots <= kSlotMask, "slot index + 1 must fit in the slot bits");

struct Slot {
    SerialPort* port;  // null while free
    DWORD generation;  // generation of the token now (or last) handed out
};

// Guarded by gLock.
Slot gSlots[kPortTokenSlots];
LONG volatile gLock = 0;

// Held only for a few loads and stores; waiters yield their time slice.
void Lock() {
    while (InterlockedExchange(&gLock, 1) != 0) {
        Sleep(0);
    }
}
void Unlock() {
    InterlockedExchange(&gLock, 0);
}

// The slot a token names, or null when the token cannot name any slot.
Slot* SlotOf(DWORD token) {
    DWORD index = token & kSlotMask;
    if (index == 0 || index > kPortTokenSlots) {
        return nullptr;
    }
    return &gSlots[index - 1];
}

}  // namespace

DWORD PortTokenRegister(SerialPort* port) {
    if (port == nullptr) {
        return 0;
    }
    DWORD token = 0;
    Lock();
    for (DWORD i = 0; i < kPortTokenSlots; ++i) {
        Slot& slot = gSlots[i];
        if (slot.port == nullptr) {
            slot.generation = (slot.generation + 1) & kGenerationMask;
            slot.port = port;
            token = (slot.generation << kSlotBits) | (i + 1);
            break;
        }
    }
    Unlock();
    return token;
}

SerialPort* PortTokenLookup(DWORD token) {
    Slot* slot = SlotOf(token);
    if (slot == nullptr) {
        return nullptr;
    }
    SerialPort* port = nullptr;
    Lock();
    if (slot->port != nullptr && slot->generation == (token >> kSlotBits)) {
        port = slot->port;
    }
    Unlock();
    return port;
}

DWORD PortTokenFind(const SerialPort* port) {
    if (port == nullptr) {
        return 0;
    }
    DWORD token = 0;
    Lock();
    for (DWORD i = 0; i < kPortTokenSlots; ++i) {
        if (gSlots[i].port == port) {
            token = (gSlots[i].generation << kSlotBits) | (i + 1);
            break;
        }
    }
    Unlock();
    return token;
}

void PortTokenRelease(DWORD token) {
    Slot* slot = SlotOf(token);
    if (slot == nullptr) {
        return;
    }
    Lock();
    if (slot->port != nullptr && slot->generation == (token >> kSlotBits)) {
        slot->port = nullptr;
    }
    Unlock();
}
