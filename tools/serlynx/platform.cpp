#include "platform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "cehost/regfile.h"
#include "driver/registration/key_path.h"
#include "driver/variants/usb_mode.h"

namespace serlynx {

namespace {

std::string Hex2(DWORD v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(v & 0xFF));
    return text;
}

}  // namespace

std::u16string DeviceKeyPath(const cehost::Bytes& d) {
    auto word = [&](size_t at) {
        return static_cast<WORD>(d.size() > at + 1 ? d[at] | (d[at + 1] << 8) : 0);
    };
    WCHAR path[kKeyPathChars];
    if (!BuildDeviceKeyPath(word(8), word(10), word(12), kDriverId, path, kKeyPathChars))
        return u"";
    return path;
}

DeviceKey ReadDeviceKey(const std::u16string& path) {
    DeviceKey key;
    key.path = path;
    key.present = cehost::RegKeyExists(path);
    if (!key.present)
        return key;
    key.usbMode = cehost::RegReadDword(path, kValueUsbMode).value_or(0);
    key.classEndpoint = cehost::RegReadDword(path, kValueClassEndp).value_or(0);
    key.receiveEndpoint = cehost::RegReadDword(path, kValueReceiveEndp).value_or(0);
    key.sendEndpoint = cehost::RegReadDword(path, kValueSendEndp).value_or(0);
    key.friendlyName = cehost::Utf8(cehost::RegReadString(path, kValueFriendlyName).value_or(u""));
    key.regText = cehost::ExportRegText(path);
    return key;
}

std::string PortTypeText(DWORD usbMode) {
    // A port type added to the driver needs its text here.
    static_assert(kPortTypeCount == kPortTypeRcs310 + 1, "PortTypeText lacks a port type");
    const DWORD type = usbMode & kUsbModeTypeMask;
    std::string text = std::to_string(type) + " (";
    switch (type) {
        case kPortTypeBasic:
            text += "SerialPort: a bulk pair, no control protocol";
            break;
        case kPortTypeCdc:
            text += (usbMode & kUsbModeCdcStatusCts) ? "CdcPort: CTS read from the status bitmap"
                                                     : "CdcPort: abstract control model";
            if (usbMode & kUsbModeNoLineCoding)
                text += ", no line coding sent";
            break;
        case kPortTypeWmc:
            text += "WmcPort: two channels";
            break;
        case kPortTypeFtdi:
            text += (usbMode & kUsbModeFtdiNoHeader) ? "FtdiPort: divisor chip"
                                                     : "FtdiHeaderPort: rate codes";
            break;
        case kPortTypeRcs310:
            text += "Rcs310Port: writes as vendor requests";
            break;
        default:
            text += "no port: the attach is refused";
            break;
    }
    char word[16];
    std::snprintf(word, sizeof word, "0x%x", static_cast<unsigned>(usbMode));
    return text + ", UsbMode " + word + ")";
}

std::string EndpointsText(const DeviceKey& key) {
    std::string text;
    auto add = [&](const char* what, DWORD address) {
        if ((address & 0xFF) == 0)
            return;
        text += (text.empty() ? "" : ", ") + std::string(what) + " " + Hex2(address);
    };
    add("bulk-IN", key.receiveEndpoint);
    add("bulk-OUT", key.sendEndpoint);
    add("status interrupt-IN", key.classEndpoint);
    add("second bulk-IN", key.receiveEndpoint >> 8);
    add("second bulk-OUT", key.sendEndpoint >> 8);
    return text.empty() ? "none" : text;
}

std::vector<RateFit> FtdiRateFits(DWORD usbMode) {
    static const uint32_t kRates[] = {
        300,   600,    1200,   2400,   4800,   9600,   14400,  19200,   28800,   38400,   57600,
        76800, 115200, 230400, 250000, 460800, 500000, 921600, 1000000, 1500000, 2000000, 3000000};
    std::vector<RateFit> fits;
    if ((usbMode & kUsbModeFtdiNoHeader) == 0) {
        // Rate codes: ten rates exactly, everything else falls back to 9600.
        static const uint32_t kCoded[] = {300,  600,   1200,  2400,  4800,
                                          9600, 19200, 38400, 57600, 115200};
        for (uint32_t rate : kRates) {
            RateFit fit{rate, 9600, 5, false};
            for (uint16_t code = 0; code < 10; ++code) {
                if (kCoded[code] == rate) {
                    fit.actual = rate;
                    fit.wValue = code;
                    fit.exact = true;
                }
            }
            fits.push_back(fit);
        }
        return fits;
    }
    for (uint32_t rate : kRates)
        fits.push_back(FtdiRateFit(rate, usbMode));
    return fits;
}

RateFit FtdiRateFit(uint32_t requested, DWORD usbMode) {
    // The driver sends q = clock / rate eighths of a divisor of the chip's
    // base clock (clock / 8), keeping only the highest of the three
    // sub-integer bits and at most the largest divisor the field holds.
    // Below a divisor of 2 the chip has only 0 (the base rate), 1 (two
    // thirds of it) and 2 (half of it); the driver sends the one whose rate
    // is nearest. A rate of 0 stands for 9600.
    const uint64_t clock = (usbMode & kUsbModeFtdiSlowClock) ? 6000000 : 24000000;
    const uint64_t base = clock / 8;
    const uint64_t rate = requested != 0 ? requested : 9600;
    uint64_t q = std::min<uint64_t>(clock / rate, 0x3FFF * 8 + 4);
    if (q < 16)
        q = rate >= base / 6 * 5 ? 0 : rate >= base / 12 * 7 ? 8 : 16;
    const uint32_t code = (q & 4) ? 0x4000 : (q & 2) ? 0x8000 : (q & 1) ? 0xC000 : 0;
    const uint32_t eighthsPart = (q & 4) ? 4 : (q & 2) ? 2 : (q & 1) ? 1 : 0;
    const uint64_t integer = q >> 3;
    const uint64_t eighths = integer * 8 + eighthsPart;
    RateFit fit;
    fit.requested = requested;
    fit.wValue = static_cast<uint16_t>(code | integer);
    // A divisor of 0 runs at the base rate, exactly 1 at two thirds of it.
    if (eighths == 0) {
        fit.actual = static_cast<uint32_t>(base);
        fit.exact = fit.actual == rate;
    } else if (eighths == 8) {
        fit.actual = static_cast<uint32_t>(clock / 12);
        fit.exact = clock % 12 == 0 && fit.actual == rate;
    } else {
        fit.actual = static_cast<uint32_t>(std::llround(double(clock) / double(eighths)));
        fit.exact = clock % eighths == 0 && clock / eighths == rate;
    }
    return fit;
}

bool ProbeModel(cehost::UsbBus& bus, const std::shared_ptr<cehost::UsbDeviceModel>& model,
                DeviceKey* key, std::string* error) {
    const std::u16string path = DeviceKeyPath(model->DeviceDescriptor());
    // A key left by an earlier probe would be read as this one's result.
    cehost::RegDeleteTree(path);
    if (!cehost::UsbInstallClient(kDriverLibrary)) {
        *error = "the driver library could not be installed (is libserlynx.so next to serlynx?)";
        return false;
    }
    cehost::UsbDeviceId id = bus.Plug(model);
    if (id == 0) {
        *error = "the device could not be enumerated (no device descriptor)";
        return false;
    }
    *key = ReadDeviceKey(path);
    bus.Unplug(id);
    if (!key->present) {
        *error = "the first attach wrote no device key for " + cehost::Utf8(path);
        return false;
    }
    return true;
}

std::string DescribeDescriptors(cehost::UsbDeviceModel& model) {
    std::ostringstream o;
    cehost::Bytes d = model.DeviceDescriptor();
    char ids[64];
    if (d.size() >= 18) {
        std::snprintf(ids, sizeof ids, "%04x:%04x release %x.%02x", d[8] | d[9] << 8,
                      d[10] | d[11] << 8, d[13], d[12]);
        o << "  id " << ids << "\n";
    }
    cehost::Bytes c = model.ConfigurationDescriptor(0);
    size_t at = 0;
    while (at + 2 <= c.size() && c[at] >= 2) {
        const uint8_t length = c[at], type = c[at + 1];
        if (at + length > c.size())
            break;
        if (type == 4 && length >= 9) {
            o << "  interface " << int(c[at + 2]);
            if (c[at + 3] != 0)
                o << " alternate " << int(c[at + 3]);
            o << ": class " << int(c[at + 5]) << " subclass " << int(c[at + 6]) << "\n";
        } else if (type == 5 && length >= 7) {
            static const char* kinds[] = {"control", "isochronous", "bulk", "interrupt"};
            const uint8_t address = c[at + 2];
            o << "    " << kinds[c[at + 3] & 3] << ((address & 0x80) ? "-IN " : "-OUT ")
              << Hex2(address) << ", " << ((c[at + 4] | c[at + 5] << 8) & 0x7FF)
              << "-byte packets\n";
        }
        at += length;
    }
    return o.str();
}

}  // namespace serlynx
