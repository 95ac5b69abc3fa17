// The traffic log written as a usbmon capture (pcap, link type 220: the
// 64-byte memory-mapped usbmon header before each packet's data).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "usbhost/host.h"

namespace cehost {
namespace {

// The Linux URB status a completion of this error would carry.
int32_t UrbStatus(DWORD error) {
    switch (error) {
        case USB_NO_ERROR:
            return 0;
        case USB_STALL_ERROR:
            return -EPIPE;
        case USB_CANCELED_ERROR:
            return -ENOENT;
        case USB_DEVICE_GONE_ERROR:
            return -ENODEV;
        case USB_DEVICE_NOT_RESPONDING_ERROR:
            return -ETIME;
        case USB_DATA_OVERRUN_ERROR:
            return -EOVERFLOW;
        case USB_DATA_UNDERRUN_ERROR:
            return -EREMOTEIO;
        case USB_CRC_ERROR:
            return -EILSEQ;
        default:
            return -EPROTO;
    }
}

template <class T>
void Put(std::string& out, T v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof(v));
}

}  // namespace

bool WriteUsbmonPcap(const std::string& path, const std::vector<UsbLogEntry>& entries) {
    std::string out;
    Put<uint32_t>(out, 0xa1b2c3d4);
    Put<uint16_t>(out, 2);
    Put<uint16_t>(out, 4);
    Put<int32_t>(out, 0);
    Put<uint32_t>(out, 0);
    Put<uint32_t>(out, 65535);
    Put<uint32_t>(out, 220);
    for (const UsbLogEntry& e : entries) {
        const uint32_t dataLen = uint32_t(std::min<size_t>(e.data.size(), 65535 - 64));
        const int64_t sec = e.timeNs / 1000000000, usec = (e.timeNs % 1000000000) / 1000;
        Put<uint32_t>(out, uint32_t(sec));
        Put<uint32_t>(out, uint32_t(usec));
        Put<uint32_t>(out, 64 + dataLen);
        Put<uint32_t>(out, 64 + dataLen);
        Put<uint64_t>(out, e.urbId);
        Put<uint8_t>(out, uint8_t(e.event));
        Put<uint8_t>(out, e.transferType);
        Put<uint8_t>(out, e.endpoint);
        Put<uint8_t>(out, e.device);
        Put<uint16_t>(out, e.bus);
        Put<int8_t>(out, e.event == 'S' && e.hasSetup ? 0 : '-');
        Put<int8_t>(out, dataLen ? 0 : (e.endpoint & 0x80 ? '<' : '>'));
        Put<int64_t>(out, sec);
        Put<int32_t>(out, int32_t(usec));
        Put<int32_t>(out, e.event == 'S' ? -115 : UrbStatus(e.error));
        Put<uint32_t>(out, e.urbLength);
        Put<uint32_t>(out, dataLen);
        if (e.event == 'S' && e.hasSetup)
            out.append(reinterpret_cast<const char*>(e.setup), 8);
        else
            out.append(8, '\0');
        Put<int32_t>(out, e.transferType == 1 ? 1 : 0);  // interval
        Put<int32_t>(out, 0);                            // start frame
        Put<uint32_t>(out, 0);                           // transfer flags
        Put<uint32_t>(out, 0);                           // iso descriptors
        out.append(reinterpret_cast<const char*>(e.data.data()), dataLen);
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

}  // namespace cehost
