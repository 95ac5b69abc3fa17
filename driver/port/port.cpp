// Allocation of port objects and the small helpers every class shares.
#include "driver/port/port.h"

void* SerialPort::operator new(size_t size) noexcept {
    return LocalAlloc(LMEM_FIXED, size);
}

void SerialPort::operator delete(void* block) noexcept {
    if (block != nullptr)
        LocalFree(block);
}

// Every port class has a trivial destructor (plain fields only), so the
// object ends with its storage.
void PortDelete(SerialPort* port) {
    SerialPort::operator delete(port);
}

SerialPort* OwnerPort(SerialPort* port) {
    return port->parent != nullptr ? port->parent : port;
}

void PortLoadDcb(SerialPort* port, DCB* out) {
    LockGuard guard(port->deviceLock);
    *out = port->dcb;
}

void PortStoreDcb(SerialPort* port, const DCB* in) {
    {
        LockGuard guard(port->deviceLock);
        port->dcb = *in;
    }
    // A writer held back by output flow control looks at the gate again:
    // settings that turn that flow control off release it at once.
    SetEvent(port->writeEvent);
}

DWORD EndpointPacketSize(LPCUSB_ENDPOINT endpoint) {
    return endpoint->Descriptor.wMaxPacketSize & 0x7FFu;
}

// PortDelete releases the storage without running a destructor.
static_assert(__has_trivial_destructor(SerialPort), "port fields are plain data");
