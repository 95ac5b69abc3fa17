#include "driver/registration/port_token.h"

#include "driver/platform/critical_section.h"

namespace {

// Token layout: bits 0-7 the slot index + 1 (never 0), bits 8-31 the slot's
// generation at registration. A slot's generation moves on at every
// registration, so a released token never matches the slot's next port.
constexpr DWORD kSlotBits = 8;
constexpr DWORD kSlotMask = (1u << kSlotBits) - 1;
constexpr DWORD kGenerationMask = 0xFFFFFFFFu >> kSlotBits;
static_assert(kPortTokenSlots <= kSlotMask, "slot index + 1 must fit in the slot bits");

constexpr DWORD kStateAttaching = 0x1;
constexpr DWORD kStateStarted = 0x2;
constexpr DWORD kStateClosed = 0x4;  // the removal has begun: no call enters

// Interval at which a removal looks again whether the attach is done.
constexpr DWORD kAttachPollMs = 1;

struct Slot {
    SerialPort* port;  // null while free
    DWORD generation;  // generation of the token now (or last) handed out
    DWORD state;       // kState* bits of the live port
    LONG calls;        // stream calls inside the live port
};

CriticalSection gLock;
Slot gSlots[kPortTokenSlots] SL_GUARDED_BY(gLock);

void Lock() SL_ACQUIRE(gLock) {
    gLock.Enter();
}
void Unlock() SL_RELEASE(gLock) {
    gLock.Leave();
}

DWORD TokenOf(DWORD index) SL_REQUIRES(gLock) {
    return (gSlots[index].generation << kSlotBits) | (index + 1);
}

// The live slot `token` names, or null. Call with gLock held.
Slot* LiveSlotLocked(DWORD token) SL_REQUIRES(gLock) {
    DWORD index = token & kSlotMask;
    if (index == 0 || index > kPortTokenSlots) {
        return nullptr;
    }
    Slot* slot = &gSlots[index - 1];
    if (slot->port == nullptr || slot->generation != (token >> kSlotBits)) {
        return nullptr;
    }
    return slot;
}

}  // namespace

void PortTokenTableCreate() {
    gLock.Create();
}

void PortTokenTableDelete() {
    gLock.Delete();
}

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
            slot.state = kStateAttaching;
            slot.calls = 0;
            token = TokenOf(i);
            break;
        }
    }
    Unlock();
    return token;
}

SerialPort* PortTokenLookup(DWORD token) {
    SerialPort* port = nullptr;
    Lock();
    if (Slot* slot = LiveSlotLocked(token)) {
        port = slot->port;
    }
    Unlock();
    return port;
}

namespace {

SerialPort* Enter(DWORD token, BOOL evenClosed) {
    SerialPort* port = nullptr;
    Lock();
    Slot* slot = LiveSlotLocked(token);
    if (slot != nullptr && (evenClosed || (slot->state & kStateClosed) == 0)) {
        ++slot->calls;
        port = slot->port;
    }
    Unlock();
    return port;
}

}  // namespace

SerialPort* PortTokenEnter(DWORD token) {
    return Enter(token, FALSE);
}

SerialPort* PortTokenEnterToDetach(DWORD token) {
    return Enter(token, TRUE);
}

void PortTokenLeave(DWORD token) {
    Lock();
    if (Slot* slot = LiveSlotLocked(token)) {
        if (slot->calls > 0) {
            --slot->calls;
        }
    }
    Unlock();
}

void PortTokenMarkStarted(DWORD token) {
    Lock();
    if (Slot* slot = LiveSlotLocked(token)) {
        slot->state |= kStateStarted;
    }
    Unlock();
}

void PortTokenAttachDone(DWORD token) {
    Lock();
    if (Slot* slot = LiveSlotLocked(token)) {
        slot->state &= ~kStateAttaching;
    }
    Unlock();
}

BOOL PortTokenWaitAttached(DWORD token, BOOL* started) {
    for (;;) {
        Lock();
        Slot* slot = LiveSlotLocked(token);
        DWORD state = slot != nullptr ? slot->state : 0;
        Unlock();
        if (slot == nullptr) {
            return FALSE;
        }
        if ((state & kStateAttaching) == 0) {
            *started = (state & kStateStarted) != 0 ? TRUE : FALSE;
            return TRUE;
        }
        Sleep(kAttachPollMs);
    }
}

BOOL PortTokenClose(DWORD token) {
    BOOL first = FALSE;
    Lock();
    Slot* slot = LiveSlotLocked(token);
    if (slot != nullptr && (slot->state & kStateClosed) == 0) {
        slot->state |= kStateClosed;
        first = TRUE;
    }
    Unlock();
    return first;
}

LONG PortTokenCallsInside(DWORD token) {
    LONG calls = 0;
    Lock();
    if (Slot* slot = LiveSlotLocked(token)) {
        calls = slot->calls;
    }
    Unlock();
    return calls;
}

void PortTokenRelease(DWORD token) {
    Lock();
    if (Slot* slot = LiveSlotLocked(token)) {
        slot->port = nullptr;
        slot->state = 0;
        slot->calls = 0;
    }
    Unlock();
}
