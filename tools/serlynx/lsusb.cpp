#include "lsusb.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace serlynx {

namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// "0x067b", "255", "100mA", or a BCD release "2.00" (read as 0x0200).
bool Number(const std::string& v, unsigned* out) {
    if (v.empty())
        return false;
    size_t dot = v.find('.');
    char* end = nullptr;
    if (dot != std::string::npos) {
        std::string digits = v.substr(0, dot) + v.substr(dot + 1);
        unsigned long n = std::strtoul(digits.c_str(), &end, 16);
        if (*end != '\0' || digits.empty() || digits.size() > 4)
            return false;
        *out = static_cast<unsigned>(n);
        return true;
    }
    if (!std::isdigit(static_cast<unsigned char>(v[0])))
        return false;
    unsigned long n;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        if (!std::isxdigit(static_cast<unsigned char>(v[2])))
            return false;
        n = std::strtoul(v.c_str() + 2, &end, 16);
        if (*end != '\0')
            return false;
    } else {
        n = std::strtoul(v.c_str(), &end, 10);
        // A unit may follow decimal digits ("100mA").
        for (const char* p = end; *p != '\0'; ++p) {
            if (!std::isalpha(static_cast<unsigned char>(*p)))
                return false;
        }
    }
    if (n > 0xFFFF)
        return false;
    *out = static_cast<unsigned>(n);
    return true;
}

struct Endpoint {
    unsigned address = 0, attributes = 0, maxPacket = 0, interval = 0;
    bool haveAddress = false, haveAttributes = false;
    int line = 0;
};

struct Interface {
    unsigned number = 0, alternate = 0, numEndpoints = 0, cls = 0, subClass = 0, protocol = 0,
             iInterface = 0;
    std::vector<Endpoint> endpoints;
    int line = 0;
};

}  // namespace

bool ParseLsusb(const std::string& text, LsusbDevice* out, std::string* error) {
    enum class Section { kNone, kDevice, kConfig, kInterface, kEndpoint, kOther, kDone };
    Section section = Section::kNone;
    std::map<std::string, unsigned> dev, cfg;
    int deviceLine = 0, configLine = 0, configs = 0;
    std::vector<Interface> interfaces;
    std::map<uint8_t, std::string> strings;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    auto fail = [&](int at, const std::string& why) {
        *error = "line " + std::to_string(at) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string t = Trim(line);
        if (t.empty() || section == Section::kDone)
            continue;
        if (t.back() == ':') {
            if (t == "Device Descriptor:") {
                if (deviceLine != 0) {
                    section = Section::kDone;  // a second device: only the first is read
                    continue;
                }
                deviceLine = lineNo;
                section = Section::kDevice;
            } else if (t == "Configuration Descriptor:") {
                if (deviceLine == 0)
                    return fail(lineNo, "a configuration before any \"Device Descriptor:\"");
                section = ++configs == 1 ? Section::kConfig : Section::kOther;
                if (configs == 1)
                    configLine = lineNo;
            } else if (t == "Interface Descriptor:") {
                if (configs == 0)
                    return fail(lineNo, "an interface outside any \"Configuration Descriptor:\"");
                if (configs == 1) {
                    interfaces.push_back(Interface{});
                    interfaces.back().line = lineNo;
                    section = Section::kInterface;
                } else {
                    section = Section::kOther;
                }
            } else if (t == "Endpoint Descriptor:") {
                if (configs == 1) {
                    if (interfaces.empty())
                        return fail(lineNo, "an endpoint outside any \"Interface Descriptor:\"");
                    interfaces.back().endpoints.push_back(Endpoint{});
                    interfaces.back().endpoints.back().line = lineNo;
                    section = Section::kEndpoint;
                } else {
                    section = Section::kOther;
                }
            } else if (t.rfind("Device Qualifier", 0) == 0 ||
                       t.rfind("Binary Object Store", 0) == 0) {
                section = Section::kDone;
            } else if (section != Section::kNone) {
                section = Section::kOther;  // class-specific and the like
            }
            continue;
        }
        if (section == Section::kNone || section == Section::kOther)
            continue;
        std::istringstream fields(t);
        std::string name, value;
        fields >> name >> value;
        std::string rest;
        std::getline(fields, rest);
        rest = Trim(rest);
        static const char* kDeviceFields[] = {
            "bcdUSB",          "bDeviceClass", "bDeviceSubClass", "bDeviceProtocol",
            "bMaxPacketSize0", "idVendor",     "idProduct",       "bcdDevice",
            "iManufacturer",   "iProduct",     "iSerial",         "bNumConfigurations"};
        static const char* kConfigFields[] = {"bNumInterfaces", "bConfigurationValue",
                                              "bmAttributes", "MaxPower", "iConfiguration"};
        static const char* kInterfaceFields[] = {
            "bInterfaceNumber",   "bAlternateSetting",  "bNumEndpoints", "bInterfaceClass",
            "bInterfaceSubClass", "bInterfaceProtocol", "iInterface"};
        static const char* kEndpointFields[] = {"bEndpointAddress", "bmAttributes",
                                                "wMaxPacketSize", "bInterval"};
        auto known = [&](const auto& list) {
            for (const char* f : list) {
                if (name == f)
                    return true;
            }
            return false;
        };
        bool isKnown = (section == Section::kDevice && known(kDeviceFields)) ||
                       (section == Section::kConfig && known(kConfigFields)) ||
                       (section == Section::kInterface && known(kInterfaceFields)) ||
                       (section == Section::kEndpoint && known(kEndpointFields));
        if (!isKnown)
            continue;
        unsigned n = 0;
        if (!Number(value, &n))
            return fail(lineNo, name + ": \"" + value + "\" is not a number");
        // Word fields: ids, BCD versions, wMaxPacketSize and the like, and
        // MaxPower (in mA); every other field is one byte of a descriptor.
        const bool word = name.rfind("bcd", 0) == 0 || name.rfind("id", 0) == 0 || name[0] == 'w' ||
                          name == "MaxPower";
        if (!word && n > 0xFF)
            return fail(lineNo, name + ": " + value + " does not fit in a byte");
        switch (section) {
            case Section::kDevice:
                dev[name] = n;
                if ((name == "iManufacturer" || name == "iProduct" || name == "iSerial") &&
                    n != 0 && n < 256 && !rest.empty())
                    strings[static_cast<uint8_t>(n)] = rest;
                break;
            case Section::kConfig:
                cfg[name] = n;
                break;
            case Section::kInterface: {
                Interface& i = interfaces.back();
                if (name == "bInterfaceNumber")
                    i.number = n;
                else if (name == "bAlternateSetting")
                    i.alternate = n;
                else if (name == "bNumEndpoints")
                    i.numEndpoints = n;
                else if (name == "bInterfaceClass")
                    i.cls = n;
                else if (name == "bInterfaceSubClass")
                    i.subClass = n;
                else if (name == "bInterfaceProtocol")
                    i.protocol = n;
                else if (name == "iInterface")
                    i.iInterface = n;
                break;
            }
            case Section::kEndpoint: {
                Endpoint& e = interfaces.back().endpoints.back();
                if (name == "bEndpointAddress") {
                    e.address = n;
                    e.haveAddress = true;
                } else if (name == "bmAttributes") {
                    e.attributes = n;
                    e.haveAttributes = true;
                } else if (name == "wMaxPacketSize") {
                    e.maxPacket = n;
                } else if (name == "bInterval") {
                    e.interval = n;
                }
                break;
            }
            default:
                break;
        }
    }
    if (deviceLine == 0)
        return fail(lineNo + 1 > 1 ? lineNo : 1,
                    "no \"Device Descriptor:\" line: this is not `lsusb -v` output");
    for (const char* f : {"idVendor", "idProduct"}) {
        if (!dev.count(f))
            return fail(deviceLine, std::string("the device descriptor has no ") + f);
    }
    for (const Interface& i : interfaces) {
        if (i.endpoints.size() != i.numEndpoints)
            return fail(i.line, "interface " + std::to_string(i.number) + " declares " +
                                    std::to_string(i.numEndpoints) + " endpoints but " +
                                    std::to_string(i.endpoints.size()) +
                                    " are listed (is the text cut short?)");
        for (const Endpoint& e : i.endpoints) {
            if (!e.haveAddress || !e.haveAttributes)
                return fail(e.line, "an endpoint without bEndpointAddress or bmAttributes");
        }
    }
    auto d = [&](const char* f, unsigned fallback = 0) {
        auto it = dev.find(f);
        return it == dev.end() ? fallback : it->second;
    };
    auto byte = [](unsigned v) { return static_cast<uint8_t>(v); };
    out->device = cehost::usbdesc::Device(
        static_cast<uint16_t>(d("bcdUSB", 0x200)), byte(d("bDeviceClass")),
        byte(d("bDeviceSubClass")), byte(d("bDeviceProtocol")), byte(d("bMaxPacketSize0", 64)),
        static_cast<uint16_t>(d("idVendor")), static_cast<uint16_t>(d("idProduct")),
        static_cast<uint16_t>(d("bcdDevice")), byte(d("iManufacturer")), byte(d("iProduct")),
        byte(d("iSerial")));
    out->configuration.clear();
    if (configLine != 0) {
        cehost::Bytes body;
        for (const Interface& i : interfaces) {
            cehost::usbdesc::AppendInterface(body, byte(i.number), byte(i.alternate),
                                             byte(i.numEndpoints), byte(i.cls), byte(i.subClass),
                                             byte(i.protocol), byte(i.iInterface));
            for (const Endpoint& e : i.endpoints)
                cehost::usbdesc::AppendEndpoint(body, byte(e.address), byte(e.attributes),
                                                static_cast<uint16_t>(e.maxPacket),
                                                byte(e.interval));
        }
        if (body.size() + 9 > 0xFFFF)
            return fail(configLine,
                        "the configuration is longer than a descriptor can say "
                        "(65535 bytes)");
        unsigned power = cfg.count("MaxPower") ? cfg["MaxPower"] : 100;
        out->configuration = cehost::usbdesc::Configuration(
            byte(cfg.count("bNumInterfaces") ? cfg["bNumInterfaces"] : 1),
            byte(cfg.count("bConfigurationValue") ? cfg["bConfigurationValue"] : 1), body,
            byte(cfg.count("bmAttributes") ? cfg["bmAttributes"] : 0x80),
            byte(std::min(power / 2, 255u)));
    }
    out->strings = std::move(strings);
    return true;
}

cehost::Bytes LsusbModel::StringDescriptor(uint8_t index, uint16_t) {
    if (index == 0)
        return cehost::usbdesc::Languages({0x0409});
    auto it = device_.strings.find(index);
    if (it == device_.strings.end())
        return {};
    // A string descriptor holds at most 126 characters.
    return cehost::usbdesc::String(it->second.substr(0, 126));
}

}  // namespace serlynx
