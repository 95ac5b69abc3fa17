// Client drivers: installation, and the search of "Drivers\USB\LoadClients"
// for the clients a newly attached device is offered to.
#include <cstring>
#include <thread>

#include "ce/registry.h"
#include "cehost/core.h"
#include "usbhost/host.h"

namespace cehost {
namespace {

const char16_t kLoadClients[] = u"Drivers\\USB\\LoadClients\\";

std::u16string Dec(unsigned v) {
    std::string s = std::to_string(v);
    return std::u16string(s.begin(), s.end());
}

// "a_b_c", "a_b" and "a" for a group of three numbers.
std::vector<std::u16string> Shorter(unsigned a, unsigned b, unsigned c) {
    return {Dec(a) + u"_" + Dec(b) + u"_" + Dec(c), Dec(a) + u"_" + Dec(b), Dec(a)};
}

// Fills three settings members from one group component ("Default" or up
// to three decimal numbers joined by '_').
void ParseGroup(const std::u16string& group, DWORD* out) {
    out[0] = out[1] = out[2] = USB_NO_INFO;
    if (group == u"Default")
        return;
    int i = 0;
    DWORD v = 0;
    bool digits = false;
    for (char16_t ch : group) {
        if (ch >= u'0' && ch <= u'9') {
            v = v * 10 + (ch - u'0');
            digits = true;
        } else if (ch == u'_' && digits && i < 2) {
            out[i++] = v;
            v = 0;
            digits = false;
        } else {
            return;
        }
    }
    if (digits)
        out[i] = v;
}

struct Candidate {
    std::u16string groups[3];
    const USB_INTERFACE* iface;
};

// Most specific first: vendor_product_release, vendor_product, vendor; then
// the device class (when the device gives one) and shorter; then each
// interface of the active configuration with its class and shorter; the
// catch-all last.
std::vector<Candidate> Candidates(const UsbDevice& d) {
    const USB_DEVICE_DESCRIPTOR& dd = d.record.Descriptor;
    std::vector<Candidate> out;
    for (auto& g : Shorter(dd.idVendor, dd.idProduct, dd.bcdDevice))
        out.push_back({{g, u"Default", u"Default"}, nullptr});
    if (dd.bDeviceClass != 0)
        for (auto& g : Shorter(dd.bDeviceClass, dd.bDeviceSubClass, dd.bDeviceProtocol))
            out.push_back({{u"Default", g, u"Default"}, nullptr});
    if (const USB_CONFIGURATION* c = d.record.lpActiveConfig) {
        for (DWORD i = 0; i < c->dwNumInterfaces; i++) {
            const USB_INTERFACE& itf = c->lpInterfaces[i];
            if (itf.Descriptor.bAlternateSetting != 0)
                continue;
            for (auto& g :
                 Shorter(itf.Descriptor.bInterfaceClass, itf.Descriptor.bInterfaceSubClass,
                         itf.Descriptor.bInterfaceProtocol))
                out.push_back({{u"Default", u"Default", g}, &itf});
        }
    }
    out.push_back({{u"Default", u"Default", u"Default"}, nullptr});
    return out;
}

std::vector<std::u16string> SubKeys(const std::u16string& path) {
    std::vector<std::u16string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(reinterpret_cast<const char16_t*>(name), cch);
    }
    RegCloseKey(key);
    return names;
}

bool ReadDll(const std::u16string& path, std::u16string& dll) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return false;
    WCHAR buf[260] = {};
    DWORD type = 0, cb = sizeof(buf) - sizeof(WCHAR);
    LONG r = RegQueryValueExW(key, u"Dll", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &cb);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || type != REG_SZ)
        return false;
    dll.assign(reinterpret_cast<const char16_t*>(buf));
    return !dll.empty();
}

template <class F>
bool CallEntry(const std::u16string& library, const char16_t* entry, F&& call) {
    bool result = false;
    std::thread t([&] {
        HMODULE h = LoadLibraryW(reinterpret_cast<LPCWSTR>(library.c_str()));
        if (!h)
            return;
        FARPROC p = GetProcAddressW(h, entry);
        if (p) {
            cehost::DriverCodeScope driverCode(cehost::kUsbHostPriority);
            result = call(p);
        }
        FreeLibrary(h);
    });
    t.join();
    return result;
}

}  // namespace

void UsbBusImpl::OfferToClients(const std::shared_ptr<UsbDevice>& d) {
    for (const Candidate& c : Candidates(*d)) {
        const std::u16string base =
            kLoadClients + c.groups[0] + u"\\" + c.groups[1] + u"\\" + c.groups[2];
        // Names first: a client may rewrite the keys while it is called.
        for (const std::u16string& id : SubKeys(base)) {
            std::u16string dll;
            if (!ReadDll(base + u"\\" + id, dll))
                continue;
            {
                std::lock_guard<std::mutex> g(mu);
                if (d->gone)
                    return;
            }
            HMODULE h = LoadLibraryW(reinterpret_cast<LPCWSTR>(dll.c_str()));
            if (!h)
                continue;
            auto attach = reinterpret_cast<LPUSB_DEVICE_ATTACH>(
                reinterpret_cast<void*>(GetProcAddressW(h, u"USBDeviceAttach")));
            if (!attach) {
                FreeLibrary(h);
                continue;
            }
            USB_DRIVER_SETTINGS s{};
            s.dwCount = sizeof(s);
            ParseGroup(c.groups[0], &s.dwVendorId);
            ParseGroup(c.groups[1], &s.dwDeviceClass);
            ParseGroup(c.groups[2], &s.dwInterfaceClass);
            {
                // The library stays loaded while the device is attached.
                std::lock_guard<std::mutex> g(mu);
                if (d->removed) {
                    FreeLibrary(h);
                    return;
                }
                d->modules.push_back(h);
                d->attaching = true;
            }
            BOOL accept = FALSE;
            BOOL ok = FALSE;
            {
                DriverCodeScope driverCode(kUsbHostPriority);
                ok = attach(static_cast<USB_HANDLE>(d->handle), UsbFunctions(), c.iface,
                            reinterpret_cast<LPCWSTR>(id.c_str()), &accept, &s, 0);
            }
            std::lock_guard<std::mutex> g(mu);
            d->attaching = false;
            doneCv.notify_all();
            if (ok && accept) {
                d->owner = id;
                return;
            }
        }
    }
}

bool UsbInstallClient(const std::u16string& library) {
    return CallEntry(library, u"USBInstallDriver", [&](FARPROC p) {
        return reinterpret_cast<LPUSB_INSTALL_DRIVER>(reinterpret_cast<void*>(p))(
                   reinterpret_cast<LPCWSTR>(library.c_str())) != FALSE;
    });
}

bool UsbUninstallClient(const std::u16string& library) {
    return CallEntry(library, u"USBUnInstallDriver", [&](FARPROC p) {
        return reinterpret_cast<LPUSB_UNINSTALL_DRIVER>(reinterpret_cast<void*>(p))() != FALSE;
    });
}

}  // namespace cehost
