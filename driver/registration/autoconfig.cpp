#include "driver/registration/autoconfig.h"

#include "ce/registry.h"
#include "ce/thread.h"
#include "ce/wstr.h"
#include "driver/registration/key_path.h"
#include "driver/registration/registry_io.h"
#include "driver/registration/registry_values.h"
#include "driver/variants/catalog.h"

namespace {

constexpr BYTE kClassCommunication = 2;  // CDC communication interface
constexpr BYTE kClassCdcData = 10;       // CDC data interface
constexpr BYTE kSubclassAcm = 2;         // abstract control model
constexpr BYTE kSubclassWmc = 11;        // wireless handset control model

// Interrupt status endpoints of at least this packet size carry a full
// SERIAL_STATE notification (8-byte header + 2-byte bitmap).
constexpr WORD kFullStatusPacket = 10;
constexpr WORD kPacketSizeMask = 0x7FF;

constexpr WORD kLanguageEnglishUs = 0x0409;
// Longest string descriptor the name buffer takes whole, header included.
constexpr BYTE kMaxStringDescriptor = 126;

struct Candidate {
    DWORD score;
    BYTE address;
};

// Best candidates per endpoint kind. Score 0 means "none": every real
// endpoint scores at least 1.
struct Candidates {
    Candidate interruptIn;
    Candidate bulkIn[2];  // best, second
    Candidate bulkOut[2];
};

// The endpoints of one interface that the scoring looks at: at most one of
// each kind, or the interface is left out.
struct InterfaceEndpoints {
    LPCUSB_ENDPOINT interruptIn;
    LPCUSB_ENDPOINT bulkIn;
    LPCUSB_ENDPOINT bulkOut;
};

bool SortEndpoints(const USB_INTERFACE& iface, InterfaceEndpoints* sorted) {
    *sorted = InterfaceEndpoints{};
    if (iface.lpEndpoints == nullptr) {
        return true;
    }
    for (UCHAR i = 0; i < iface.Descriptor.bNumEndpoints; ++i) {
        const USB_ENDPOINT& endpoint = iface.lpEndpoints[i];
        bool in = (endpoint.Descriptor.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
        BYTE type = endpoint.Descriptor.bmAttributes & USB_ENDPOINT_TYPE_MASK;
        LPCUSB_ENDPOINT* slot = nullptr;
        if (in && type == USB_ENDPOINT_TYPE_INTERRUPT) {
            slot = &sorted->interruptIn;
        } else if (in && type == USB_ENDPOINT_TYPE_BULK) {
            slot = &sorted->bulkIn;
        } else if (!in && type == USB_ENDPOINT_TYPE_BULK) {
            slot = &sorted->bulkOut;
        } else {
            continue;
        }
        if (*slot != nullptr) {
            return false;  // two of a kind: not a serial data interface we can tell apart
        }
        *slot = &endpoint;
    }
    return true;
}

DWORD ScoreInterruptIn(const USB_INTERFACE_DESCRIPTOR& iface, const InterfaceEndpoints& eps) {
    DWORD score =
        (eps.interruptIn->Descriptor.wMaxPacketSize & kPacketSizeMask) < kFullStatusPacket ? 1 : 3;
    if (eps.bulkIn != nullptr && eps.bulkOut != nullptr && iface.bNumEndpoints == 3) {
        score += 1;
    }
    if (iface.bNumEndpoints == 1) {
        score += 5;
    }
    if (iface.bInterfaceClass == kClassCommunication) {
        score += 20;
        if (iface.bInterfaceSubClass == kSubclassAcm) {
            score += 10;
        }
    }
    return score;
}

// Scores a bulk endpoint against its partner of the other direction in the
// same interface (null when there is none).
DWORD ScoreBulk(const USB_INTERFACE_DESCRIPTOR& iface, LPCUSB_ENDPOINT endpoint,
                LPCUSB_ENDPOINT partner, BYTE savedSubclass) {
    DWORD score = 1;
    if (partner != nullptr) {
        BYTE difference =
            endpoint->Descriptor.bEndpointAddress ^ partner->Descriptor.bEndpointAddress;
        score = difference == USB_ENDPOINT_DIRECTION_MASK ? 3 : 2;
        if (iface.bNumEndpoints == 2) {
            score += 2;
        }
    }
    if (iface.bInterfaceClass == kClassCdcData) {
        score += 20;
        if (savedSubclass == kSubclassAcm) {
            score += 10;
        } else if (savedSubclass == kSubclassWmc) {
            score += 5;
        }
    }
    if (iface.bInterfaceClass == kClassCommunication) {
        score += 1;
    }
    return score;
}

// Strict comparisons: of equal scores the endpoint met first stays.
void OfferBulk(Candidate pair[2], DWORD score, BYTE address) {
    if (score > pair[0].score) {
        pair[1] = pair[0];
        pair[0] = Candidate{score, address};
    } else if (score > pair[1].score) {
        pair[1] = Candidate{score, address};
    }
}

void ScoreConfiguration(LPCUSB_CONFIGURATION config, Candidates* best) {
    *best = Candidates{};
    if (config == nullptr || config->lpInterfaces == nullptr) {
        return;
    }
    BYTE savedSubclass = 0;
    for (DWORD i = 0; i < config->dwNumInterfaces; ++i) {
        const USB_INTERFACE& iface = config->lpInterfaces[i];
        const USB_INTERFACE_DESCRIPTOR& desc = iface.Descriptor;
        if (desc.bAlternateSetting != 0) {
            continue;
        }
        // A communication interface raises the data interfaces after it,
        // even when its own endpoints are then left out.
        if (desc.bInterfaceClass == kClassCommunication) {
            savedSubclass = desc.bInterfaceSubClass;
        }
        InterfaceEndpoints eps;
        if (!SortEndpoints(iface, &eps)) {
            continue;
        }
        if (eps.interruptIn != nullptr) {
            DWORD score = ScoreInterruptIn(desc, eps);
            if (score > best->interruptIn.score) {
                best->interruptIn = Candidate{score, eps.interruptIn->Descriptor.bEndpointAddress};
            }
        }
        if (eps.bulkIn != nullptr) {
            OfferBulk(best->bulkIn, ScoreBulk(desc, eps.bulkIn, eps.bulkOut, savedSubclass),
                      eps.bulkIn->Descriptor.bEndpointAddress);
        }
        if (eps.bulkOut != nullptr) {
            OfferBulk(best->bulkOut, ScoreBulk(desc, eps.bulkOut, eps.bulkIn, savedSubclass),
                      eps.bulkOut->Descriptor.bEndpointAddress);
        }
    }
}

// One synchronous string-descriptor read into `buffer`. Returns the number
// of bytes moved, or -1 when no transfer was returned.
long ReadStringDescriptor(USB_HANDLE device, LPCUSB_FUNCS funcs, BYTE index, WORD length,
                          void* buffer) {
    USB_TRANSFER transfer =
        funcs->lpGetDescriptor(device, nullptr, nullptr, 0, USB_STRING_DESCRIPTOR_TYPE, index,
                               kLanguageEnglishUs, length, buffer);
    if (transfer == nullptr) {
        return -1;
    }
    DWORD moved = 0;
    funcs->lpGetTransferStatus(transfer, &moved, nullptr);
    funcs->lpCloseTransfer(transfer);
    return static_cast<long>(moved);
}

// Reads the device's product (or manufacturer) string into `name`; FALSE on
// any failure. The descriptor lands whole in a 128-byte buffer, its text from
// byte 2, so a name of at most 62 characters comes out.
BOOL ReadDeviceString(USB_HANDLE device, LPCUSB_FUNCS funcs, const USB_DEVICE_DESCRIPTOR& desc,
                      LPWSTR name) {
    BYTE index = desc.iProduct != 0 ? desc.iProduct : desc.iManufacturer;
    if (index == 0 || funcs == nullptr || funcs->lpGetDescriptor == nullptr) {
        return FALSE;
    }
    WCHAR buffer[kFriendlyNameChars] = {};
    BYTE* bytes = reinterpret_cast<BYTE*>(buffer);
    if (ReadStringDescriptor(device, funcs, index, 2, buffer) != 2) {
        return FALSE;
    }
    BYTE length = bytes[0];
    // A descriptor shorter than its own header names nothing.
    if (length < 2 || length > kMaxStringDescriptor) {
        return FALSE;
    }
    long moved = ReadStringDescriptor(device, funcs, index, length, buffer);
    // The second read must deliver the whole descriptor, as its header now says.
    if (moved < 0 || moved != bytes[0] || bytes[0] < 2 || bytes[0] > length) {
        return FALSE;
    }
    size_t chars = bytes[0] / 2 - 1;  // an odd last byte is dropped
    for (size_t i = 0; i < chars; ++i) {
        name[i] = buffer[1 + i];
    }
    name[chars] = 0;
    return TRUE;
}

}  // namespace

void ChooseEndpoints(LPCUSB_DEVICE device, EndpointChoice* choice) {
    Candidates best;
    ScoreConfiguration(device != nullptr ? device->lpActiveConfig : nullptr, &best);

    choice->classEndp = best.interruptIn.address;
    choice->receiveEndp = best.bulkIn[0].address;
    choice->sendEndp = best.bulkOut[0].address;
    if (best.bulkIn[0].score == 0) {
        // No bulk-IN at all: the interrupt endpoint carries the data.
        choice->receiveEndp = best.interruptIn.address;
        choice->classEndp = 0;
    }
    if (best.interruptIn.score >= 20 && best.bulkIn[1].score >= 20 && best.bulkOut[1].score >= 20) {
        choice->usbMode = kPortTypeWmc;
        choice->receiveEndp = best.bulkIn[0].address | (DWORD{best.bulkIn[1].address} << 8);
        choice->sendEndp = best.bulkOut[0].address | (DWORD{best.bulkOut[1].address} << 8);
    } else if (choice->classEndp != 0) {
        choice->usbMode = kPortTypeCdc;
        // The single-interface chip with status 0x81, data 0x83/0x02 reports
        // CTS in bit 7 of its SERIAL_STATE.
        if (device->lpActiveConfig->dwNumInterfaces == 1 && choice->classEndp == 0x81 &&
            choice->receiveEndp == 0x83 && choice->sendEndp == 0x02) {
            choice->usbMode |= kUsbModeCdcStatusCts;
        }
    } else {
        choice->usbMode = kPortTypeBasic;
    }
    // Devices whose ids fix the port type (or a flag) whatever their layout.
    if (device != nullptr) {
        choice->usbMode = ApplyDeviceOverrides(device->Descriptor.idVendor,
                                               device->Descriptor.idProduct, choice->usbMode);
    }
}

size_t BuildFriendlyName(USB_HANDLE device, LPCUSB_FUNCS funcs, LPCUSB_DEVICE info, DWORD usbMode,
                         LPWSTR name) {
    if (info == nullptr || !ReadDeviceString(device, funcs, info->Descriptor, name)) {
        CeWcsCopy(name, kFriendlyNameChars, kDefaultFriendlyName);
    }
    size_t length = CeWcsLen(name);
    LPCWSTR suffix = FriendlyNameSuffix(usbMode);
    if (length + CeWcsLen(suffix) + 1 < kFriendlyNameChars) {
        length = CeWcsAppend(name, kFriendlyNameChars, suffix);
    }
    return length;
}

void ConfigureFirstAttach(USB_HANDLE device, LPCUSB_FUNCS funcs, LPCWSTR driverId,
                          LPCWSTR catchAllPath) {
    HKEY catchAll = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, catchAllPath, 0, 0, &catchAll) != ERROR_SUCCESS) {
        return;
    }
    // "Dll" is read through a 126-byte window: names of up to 62 characters.
    // One unit more in the buffer holds the terminator of a value stored
    // without one.
    WCHAR dll[64] = {};
    DWORD type = REG_NONE;
    DWORD size = 126;
    if (RegQueryValueEx(catchAll, kValueDll, nullptr, &type, reinterpret_cast<LPBYTE>(dll),
                        &size) == ERROR_SUCCESS &&
        type == REG_SZ && size <= 126) {
        dll[size / 2] = 0;
    } else {
        dll[0] = 0;
    }
    DWORD installTime = 0;
    DWORD elapsed = 0xFFFFFFFF;
    if (ReadDwordValue(catchAll, kValueInstallTime, &installTime)) {
        elapsed = GetTickCount() - installTime;  // unsigned: a tick wrap is harmless
    }
    // The entry is spent by this attach whatever it leads to.
    RegDeleteValue(catchAll, kValueDll);
    RegDeleteValue(catchAll, kValueInstallTime);
    RegCloseKey(catchAll);

    if (elapsed >= kFirstAttachWindowMs || dll[0] == 0) {
        return;
    }
    LPCUSB_DEVICE info = funcs->lpGetDeviceInfo(device);
    if (info == nullptr) {
        return;
    }
    WCHAR path[kKeyPathChars];
    if (!BuildDeviceKeyPath(info->Descriptor.idVendor, info->Descriptor.idProduct,
                            info->Descriptor.bcdDevice, driverId, path, kKeyPathChars)) {
        return;
    }
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &key, &disposition) !=
        ERROR_SUCCESS) {
        return;
    }
    WriteStringValue(key, kValueDll, dll);
    WriteStringValue(key, kValuePrefix, kPrefixCom);
    WriteStringValue(key, kValueTsp, kTspUnimodem);
    WriteDwordValue(key, kValueDeviceType, kDeviceTypeModem);

    EndpointChoice choice;
    ChooseEndpoints(info, &choice);
    WriteDwordValue(key, kValueClassEndp, choice.classEndp);
    WriteDwordValue(key, kValueReceiveEndp, choice.receiveEndp);
    WriteDwordValue(key, kValueSendEndp, choice.sendEndp);
    WriteDwordValue(key, kValueUsbMode, choice.usbMode);

    WCHAR name[kFriendlyNameChars];
    BuildFriendlyName(device, funcs, info, choice.usbMode, name);
    WriteStringValue(key, kValueFriendlyName, name);
    RegCloseKey(key);
}
