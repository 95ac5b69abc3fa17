// The port-type catalog's rows and the lookups over them.
#include "driver/variants/catalog.h"

#include "driver/port/port.h"
#include "driver/variants/cdc_port.h"
#include "driver/variants/ftdi_port.h"
#include "driver/variants/rcs310_port.h"
#include "driver/variants/wmc_port.h"

namespace {

// Plain functions, not one template: GCC's undefined-behaviour sanitizer
// build does not take a function template's address as a constant, and
// CatalogIsWhole below checks every row's function at compile time.
SerialPort* CreateBasic(DWORD /*usbMode*/) {
    return new SerialPort;
}

SerialPort* CreateCdc(DWORD /*usbMode*/) {
    return new CdcPort;
}

SerialPort* CreateWmc(DWORD /*usbMode*/) {
    return new WmcPort;
}

SerialPort* CreateRcs310(DWORD /*usbMode*/) {
    return new Rcs310Port;
}

SerialPort* CreateFtdi(DWORD usbMode) {
    if ((usbMode & kUsbModeFtdiNoHeader) != 0)
        return new FtdiPort;
    return new FtdiHeaderPort;
}

// Line coding has a code for each of the DCB's values it accepts; a device
// that takes no line coding is sent none of them.
BOOL CdcFormatFits(DWORD usbMode, const DCB& dcb) {
    return (usbMode & kUsbModeNoLineCoding) != 0 || CdcLineCodingFits(dcb);
}

BOOL FtdiFormatFits(DWORD /*usbMode*/, const DCB& dcb) {
    return FtdiDataFormatFits(dcb);
}

void BindWmcSecondChannel(SerialPort* port, LPCUSB_ENDPOINT receive, LPCUSB_ENDPOINT send) {
    WmcPort* wmc = static_cast<WmcPort*>(port);
    wmc->secondary.receiveEndpoint = receive;
    wmc->secondary.sendEndpoint = send;
}

// The chip maker whose adapters are all driven by vendor requests. Its
// 0x8372 adapters frame every write with a header byte; the others take
// plain data and a baud-rate divisor.
constexpr DeviceOverride kFtdiDevices[] = {
    {0x0403, 0x8372, 0, FALSE},
    {0x0403, kAnyProduct, kUsbModeFtdiNoHeader, FALSE},
};

// The reader that takes its host-to-device data as vendor requests.
constexpr DeviceOverride kRcs310Devices[] = {
    {0x054C, 0x006C, 0, FALSE},
};

// A handset whose CDC interface must never be sent SET_LINE_CODING.
constexpr DeviceOverride kCdcDevices[] = {
    {0x0482, 0x0203, kUsbModeNoLineCoding, TRUE},
};

template <DWORD N>
constexpr DWORD CountOf(const DeviceOverride (&)[N]) {
    return N;
}

}  // namespace

// Members left out are null: no variant suffix, every data format kept, one
// channel, no device listed.
constexpr PortTypeEntry kPortTypes[kPortTypeCount] = {
    {.type = kPortTypeBasic, .create = CreateBasic, .suffix = u",basic"},
    {.type = kPortTypeCdc,
     .create = CreateCdc,
     .suffix = u",cdc",
     .variantSuffix = u",pl2303",
     .lineFormatFits = CdcFormatFits,
     .overrides = kCdcDevices,
     .overrideCount = CountOf(kCdcDevices)},
    {.type = kPortTypeWmc,
     .create = CreateWmc,
     .suffix = u",wmc",
     .lineFormatFits = CdcFormatFits,
     .bindSecondChannel = BindWmcSecondChannel},
    {.type = kPortTypeFtdi,
     .create = CreateFtdi,
     .suffix = u",ftdi",
     .lineFormatFits = FtdiFormatFits,
     .overrides = kFtdiDevices,
     .overrideCount = CountOf(kFtdiDevices)},
    {.type = kPortTypeRcs310,
     .create = CreateRcs310,
     .suffix = u",rcs310",
     .overrides = kRcs310Devices,
     .overrideCount = CountOf(kRcs310Devices)},
};

namespace {

// One row per type, at its type's index, each with a suffix; an override
// sets flags only (the type is its row's). Every row has its class: `create`
// is a reference, so a type added to usb_mode.h without its row does not
// compile.
constexpr bool CatalogIsWhole() {
    for (DWORD i = 0; i < kPortTypeCount; ++i) {
        const PortTypeEntry& row = kPortTypes[i];
        if (row.type != i || row.suffix == nullptr)
            return false;
        if ((row.overrides == nullptr) != (row.overrideCount == 0))
            return false;
        for (DWORD o = 0; o < row.overrideCount; ++o) {
            if ((row.overrides[o].flags & kUsbModeTypeMask) != 0)
                return false;
        }
    }
    return true;
}
static_assert(CatalogIsWhole(), "kPortTypes needs one whole row per port type, in type order");

bool Matches(const DeviceOverride& o, WORD vendor, WORD product) {
    return o.vendor == vendor && (o.product == kAnyProduct || o.product == product);
}

}  // namespace

const PortTypeEntry* PortTypeOf(DWORD usbMode) {
    DWORD type = usbMode & kUsbModeTypeMask;
    return type < kPortTypeCount ? &kPortTypes[type] : nullptr;
}

DWORD ApplyDeviceOverrides(WORD vendor, WORD product, DWORD usbMode) {
    BOOL typeSet = FALSE;
    DWORD added = 0;
    for (const PortTypeEntry& row : kPortTypes) {
        for (DWORD i = 0; i < row.overrideCount; ++i) {
            const DeviceOverride& o = row.overrides[i];
            if (!Matches(o, vendor, product))
                continue;
            if (o.addFlagsOnly) {
                added |= o.flags;
            } else if (!typeSet) {
                usbMode = row.type | o.flags;
                typeSet = TRUE;
            }
        }
    }
    return usbMode | added;
}

LPCWSTR FriendlyNameSuffix(DWORD usbMode) {
    const PortTypeEntry* row = PortTypeOf(usbMode);
    if (row == nullptr)
        row = &kPortTypes[kPortTypeBasic];
    if ((usbMode & kUsbModeVariant) != 0 && row->variantSuffix != nullptr)
        return row->variantSuffix;
    return row->suffix;
}
