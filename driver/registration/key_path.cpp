#include "driver/registration/key_path.h"

#include "ce/wstr.h"
#include "driver/registration/registry_values.h"

namespace {

// Appends to a bounded UTF-16 buffer and remembers whether anything was cut.
struct PathWriter {
    LPWSTR buffer;
    size_t capacity;
    bool overflow;

    void Append(LPCWSTR text) {
        if (CeWcsAppend(buffer, capacity, text) >= capacity) {
            overflow = true;
        }
    }
    void AppendNumber(DWORD value) {
        WCHAR digits[16];
        CeWcsFromUInt(digits, sizeof(digits) / sizeof(digits[0]), value);
        Append(digits);
    }
    void AppendGroup(DWORD first, DWORD second, DWORD third) {
        Append(u"\\");
        if (first == USB_NO_INFO) {
            Append(kDefaultGroup);
            return;
        }
        AppendNumber(first);
        if (second == USB_NO_INFO) {
            return;
        }
        Append(u"_");
        AppendNumber(second);
        if (third != USB_NO_INFO) {
            Append(u"_");
            AppendNumber(third);
        }
    }
};

}  // namespace

BOOL BuildClientKeyPath(LPCUSB_DRIVER_SETTINGS settings, LPCWSTR driverId, LPWSTR path,
                        size_t capacity) {
    if (path == nullptr || capacity == 0) {
        return FALSE;
    }
    path[0] = 0;
    if (settings == nullptr || driverId == nullptr) {
        return FALSE;
    }
    PathWriter writer{path, capacity, false};
    writer.Append(kLoadClientsRoot);
    writer.AppendGroup(settings->dwVendorId, settings->dwProductId, settings->dwReleaseNumber);
    writer.AppendGroup(settings->dwDeviceClass, settings->dwDeviceSubClass,
                       settings->dwDeviceProtocol);
    writer.AppendGroup(settings->dwInterfaceClass, settings->dwInterfaceSubClass,
                       settings->dwInterfaceProtocol);
    writer.Append(u"\\");
    writer.Append(driverId);
    if (writer.overflow) {
        path[0] = 0;
        return FALSE;
    }
    return TRUE;
}

BOOL BuildDeviceKeyPath(WORD vendor, WORD product, WORD release, LPCWSTR driverId, LPWSTR path,
                        size_t capacity) {
    USB_DRIVER_SETTINGS settings;
    settings.dwCount = sizeof(settings);
    settings.dwVendorId = vendor;
    settings.dwProductId = product;
    settings.dwReleaseNumber = release;
    settings.dwDeviceClass = USB_NO_INFO;
    settings.dwDeviceSubClass = USB_NO_INFO;
    settings.dwDeviceProtocol = USB_NO_INFO;
    settings.dwInterfaceClass = USB_NO_INFO;
    settings.dwInterfaceSubClass = USB_NO_INFO;
    settings.dwInterfaceProtocol = USB_NO_INFO;
    return BuildClientKeyPath(&settings, driverId, path, capacity);
}

BOOL IsCatchAllSettings(LPCUSB_DRIVER_SETTINGS settings) {
    return settings->dwVendorId == USB_NO_INFO && settings->dwDeviceClass == USB_NO_INFO &&
           settings->dwInterfaceClass == USB_NO_INFO;
}
