// Real devices as sysfs describes them, the selector a user names one with,
// and the texts of what can go wrong when one is opened. None of this needs
// libusb: it is built on every target.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cehost/usb_real.h"

namespace cehost {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ParseHex16(const std::string& text, uint16_t* value) {
    if (text.empty() || text.size() > 4)
        return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0' || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    *value = static_cast<uint16_t>(v);
    return true;
}

// "1-2.10" sorts after "1-2.9": compare the numbers between the separators.
std::vector<int> PortKey(const RealUsbDevice& d) {
    std::vector<int> key{d.bus};
    std::string number;
    for (char c : d.port.substr(d.port.find('-') + 1) + ".") {
        if (c == '.') {
            key.push_back(std::atoi(number.c_str()));
            number.clear();
        } else {
            number += c;
        }
    }
    return key;
}

std::string Ids(uint16_t vendor, uint16_t product) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendor, product);
    return text;
}

// Offset of configuration `index` in the sysfs descriptors (the device
// descriptor comes first), or npos.
size_t ConfigOffset(const Bytes& d, uint8_t index) {
    size_t at = d.size() >= 18 ? 18 : std::string::npos;
    for (uint8_t i = 0; at != std::string::npos; i++) {
        if (at + 4 > d.size() || d[at + 1] != 2)
            return std::string::npos;
        if (i == index)
            return at;
        at += size_t(d[at + 2] | (d[at + 3] << 8));
    }
    return std::string::npos;
}

}  // namespace

bool ReadRealUsbDevice(const std::string& sysfsRoot, const std::string& name,
                       RealUsbDevice* device) {
    const fs::path dir = fs::path(sysfsRoot) / name;
    RealUsbDevice d;
    d.port = name;
    if (!ParseHex16(ReadText(dir / "idVendor"), &d.vendor) ||
        !ParseHex16(ReadText(dir / "idProduct"), &d.product))
        return false;
    ParseHex16(ReadText(dir / "bcdDevice"), &d.release);
    d.bus = std::atoi(ReadText(dir / "busnum").c_str());
    d.address = std::atoi(ReadText(dir / "devnum").c_str());
    d.manufacturer = ReadText(dir / "manufacturer");
    d.productName = ReadText(dir / "product");
    d.serial = ReadText(dir / "serial");
    d.speed = ReadText(dir / "speed");
    d.descriptors = ReadBytes(dir / "descriptors");
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", d.bus, d.address);
    d.node = node;
    std::error_code ec;
    std::vector<std::string> interfaces;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string n = entry.path().filename().string();
        if (n.rfind(name + ":", 0) == 0)
            interfaces.push_back(n);
    }
    std::sort(interfaces.begin(), interfaces.end());
    for (const std::string& n : interfaces) {
        fs::path driver = fs::read_symlink(dir / n / "driver", ec);
        if (!ec)
            d.drivers.push_back(n + " " + driver.filename().string());
    }
    *device = std::move(d);
    return true;
}

std::vector<RealUsbDevice> ListRealUsbDevices(const std::string& sysfsRoot) {
    std::vector<RealUsbDevice> devices;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysfsRoot, ec)) {
        const std::string name = entry.path().filename().string();
        // Root hubs are "usbN"; interfaces carry a colon.
        if (name.rfind("usb", 0) == 0 || name.find(':') != std::string::npos)
            continue;
        RealUsbDevice d;
        if (ReadRealUsbDevice(sysfsRoot, name, &d))
            devices.push_back(std::move(d));
    }
    std::sort(devices.begin(), devices.end(), [](const RealUsbDevice& a, const RealUsbDevice& b) {
        return PortKey(a) < PortKey(b);
    });
    return devices;
}

bool ParseRealUsbSelector(const std::string& text, RealUsbSelector* selector, std::string* error) {
    const std::string expected =
        "expected VID:PID (hexadecimal, as lsusb shows them), VID:PID@PORT (a sysfs port "
        "such as 1-2.3) or VID:PID#N (the Nth such device)";
    RealUsbSelector s;
    std::string ids = text;
    const size_t at = text.find_first_of("@#");
    if (at != std::string::npos) {
        ids = text.substr(0, at);
        const std::string rest = text.substr(at + 1);
        if (text[at] == '@') {
            // bus-port[.port...]
            const bool shaped = !rest.empty() && rest.find('-') != std::string::npos &&
                                rest.find_first_not_of("0123456789-.") == std::string::npos &&
                                rest.front() != '-' && rest.back() != '-' && rest.back() != '.';
            if (!shaped) {
                *error = "\"" + text + "\": \"" + rest + "\" is not a USB port; " + expected;
                return false;
            }
            s.port = rest;
        } else {
            char* end = nullptr;
            long n = std::strtol(rest.c_str(), &end, 10);
            if (rest.empty() || *end != '\0' || n < 1 || n > 127) {
                *error = "\"" + text + "\": \"" + rest + "\" is not a device number (1, 2...); " +
                         expected;
                return false;
            }
            s.index = static_cast<int>(n);
        }
    }
    const size_t colon = ids.find(':');
    if (colon == std::string::npos || !ParseHex16(ids.substr(0, colon), &s.vendor) ||
        !ParseHex16(ids.substr(colon + 1), &s.product)) {
        *error = "\"" + text + "\": " + expected;
        return false;
    }
    *selector = s;
    return true;
}

int SelectRealUsbDevice(const std::vector<RealUsbDevice>& devices, const RealUsbSelector& selector,
                        std::string* error) {
    std::vector<int> matches;
    for (size_t i = 0; i < devices.size(); i++)
        if (devices[i].vendor == selector.vendor && devices[i].product == selector.product)
            matches.push_back(int(i));
    const std::string ids = Ids(selector.vendor, selector.product);
    auto listing = [&](const std::vector<int>& which) {
        std::string text;
        for (int i : which)
            text += "\n  " + DescribeRealUsbDevice(devices[size_t(i)]);
        return text;
    };
    if (matches.empty()) {
        std::vector<int> all;
        for (size_t i = 0; i < devices.size(); i++)
            all.push_back(int(i));
        *error = "no USB device " + ids + " is connected" +
                 (all.empty() ? std::string(" (this machine shows no USB device at all)")
                              : "; connected are:" + listing(all));
        return -1;
    }
    if (!selector.port.empty()) {
        for (int i : matches)
            if (devices[size_t(i)].port == selector.port)
                return i;
        *error = "no USB device " + ids + " on port " + selector.port +
                 "; there are:" + listing(matches);
        return -1;
    }
    if (selector.index > 0) {
        if (size_t(selector.index) <= matches.size())
            return matches[size_t(selector.index) - 1];
        *error = "there are only " + std::to_string(matches.size()) + " USB devices " + ids + ":" +
                 listing(matches);
        return -1;
    }
    if (matches.size() > 1) {
        *error = std::to_string(matches.size()) + " USB devices " + ids +
                 " are connected; pick one with " + ids + "@PORT or " + ids +
                 "#N:" + listing(matches);
        return -1;
    }
    return matches[0];
}

std::string DescribeRealUsbDevice(const RealUsbDevice& d) {
    std::string text = Ids(d.vendor, d.product) + " at " + d.port + " (" + d.node + ")";
    std::string names = d.manufacturer;
    if (!d.productName.empty())
        names += (names.empty() ? "" : " ") + ("\"" + d.productName + "\"");
    if (!names.empty())
        text += ", " + names;
    return text;
}

std::string RealUsbErrorText(RealUsbError error, const RealUsbDevice& d,
                             const std::string& detail) {
    const std::string what = DescribeRealUsbDevice(d);
    const std::string why = detail.empty() ? "" : " (" + detail + ")";
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04x", d.vendor);
    const std::string vendor = ids;
    std::snprintf(ids, sizeof ids, "%04x", d.product);
    const std::string product = ids;
    switch (error) {
        case RealUsbError::kNone:
            return "";
        case RealUsbError::kNoPermission: {
            RealUsbDevice named = d;
            named.node.clear();
            std::string who = DescribeRealUsbDevice(named);
            who.erase(who.find(" ()"), 3);
            return "no permission to open " + d.node + ", the usbfs node of " + who + why +
                   ". Serving a device needs read-write access to its node: run as root, "
                   "or grant it for now with `sudo chmod a+rw " +
                   d.node +
                   "` (until the device is replugged), or for good with a udev rule such as\n"
                   "  SUBSYSTEM==\"usb\", ATTR{idVendor}==\"" +
                   vendor + "\", ATTR{idProduct}==\"" + product +
                   "\", MODE=\"0660\", GROUP=\"plugdev\"\n"
                   "in /etc/udev/rules.d/70-serlynx.rules, then `sudo udevadm control "
                   "--reload && sudo udevadm trigger` and make sure you are in the plugdev "
                   "group.";
        }
        case RealUsbError::kBusy:
            return what + " is busy: another program has claimed one of its interfaces" + why +
                   ". Close the program that uses it (another serlynx, a libusb tool, a "
                   "virtual machine it is passed through to) and try again.";
        case RealUsbError::kNotFound:
            return "no such USB device is connected: " + what + why +
                   ". `serlynx devices --usb` lists what is connected.";
        case RealUsbError::kGone:
            return what + " went away while it was being opened" + why +
                   ". Check the cable and plug it in again.";
        case RealUsbError::kUnsupported:
            return "real USB devices cannot be served by this build" + why +
                   ": it needs libusb-1.0 (Debian's libusb-1.0-0-dev, installed by "
                   "scripts/deps.sh) when it is built.";
        case RealUsbError::kFailed:
            return what + " could not be opened" + why + ".";
    }
    return "";
}

DWORD RealTransferError(RealTransferEnd how, bool in, bool control, uint32_t moved, uint32_t length,
                        DWORD flags, DWORD cancelError) {
    switch (how) {
        case RealTransferEnd::kCompleted:
            // A bulk or interrupt read that ended short is an underrun
            // unless the issuer allowed it; control reads may be short.
            if (in && !control && moved < length && !(flags & USB_SHORT_TRANSFER_OK))
                return USB_DATA_UNDERRUN_ERROR;
            return USB_NO_ERROR;
        case RealTransferEnd::kCancelled:
            return cancelError;
        case RealTransferEnd::kStall:
            return USB_STALL_ERROR;
        case RealTransferEnd::kNoDevice:
            return USB_DEVICE_GONE_ERROR;
        case RealTransferEnd::kOverflow:
            return USB_DATA_OVERRUN_ERROR;
        case RealTransferEnd::kTimedOut:
        case RealTransferEnd::kError:
            return USB_DEVICE_NOT_RESPONDING_ERROR;
    }
    return USB_DEVICE_NOT_RESPONDING_ERROR;
}

RealUsbDeviceModel::RealUsbDeviceModel(RealUsbDevice device) : device_(std::move(device)) {}

Bytes RealUsbDeviceModel::DeviceDescriptor() {
    const Bytes& d = device_.descriptors;
    return d.size() >= 18 ? Bytes(d.begin(), d.begin() + 18) : Bytes{};
}

Bytes RealUsbDeviceModel::ConfigurationDescriptor(uint8_t index) {
    const Bytes& d = device_.descriptors;
    const size_t at = ConfigOffset(d, index);
    if (at == std::string::npos)
        return {};
    const size_t total = size_t(d[at + 2] | (d[at + 3] << 8));
    if (at + total > d.size())
        return {};
    return Bytes(d.begin() + long(at), d.begin() + long(at + total));
}

// Only the texts sysfs keeps: the device's manufacturer, product and serial
// number, under the indexes its descriptor gives them.
Bytes RealUsbDeviceModel::StringDescriptor(uint8_t index, uint16_t language) {
    const Bytes d = DeviceDescriptor();
    if (d.size() < 18)
        return {};
    if (index == 0)
        return usbdesc::Languages({0x0409});
    if (language != 0x0409)
        return {};
    const std::string* text = index == d[14]   ? &device_.manufacturer
                              : index == d[15] ? &device_.productName
                              : index == d[16] ? &device_.serial
                                               : nullptr;
    return text && !text->empty() ? usbdesc::String(*text) : Bytes{};
}

std::string RealUsbDeviceModel::Name() const {
    return "usb " + Ids(device_.vendor, device_.product) + " at " + device_.port;
}

RealUsbError RealUsbDeviceModel::Error() const {
    std::lock_guard<std::mutex> g(mu_);
    return error_;
}

std::string RealUsbDeviceModel::ErrorText() const {
    std::lock_guard<std::mutex> g(mu_);
    return RealUsbErrorText(error_, device_, detail_);
}

void RealUsbDeviceModel::SetError(RealUsbError error, const std::string& detail) {
    std::lock_guard<std::mutex> g(mu_);
    error_ = error;
    detail_ = detail;
}

}  // namespace cehost
