// Activation and deactivation of stream devices.
//
// ActivateDevice reserves the device's name ("COM1:") and active key number
// under the manager's lock, then creates the active key and runs <Prefix>_Init
// without any lock, so that the driver may call back into the platform. The
// name becomes visible to CreateFileW only once _Init has returned a context.
//
// DeactivateDevice first turns the device to "removing" under the lock: from
// then on no application call is admitted into the driver. Calls already
// inside it are not waited for (the driver's _Deinit wakes them); the library
// is released by whoever leaves last, DeactivateDevice or the last of those
// calls, so its code stays mapped while anyone runs in it.
#include <string>
#include <vector>

#include "ce/devmgr.h"
#include "ce/loader.h"
#include "ce/registry.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/devmgr.h"
#include "devmgr/devmgr_internal.h"
#include "devmgr/wide.h"

namespace cedevmgr {
namespace {

// Activation handles are tokens in their own range, never pointers.
constexpr uint32_t kTokenBase = 0x00D00000u;
constexpr size_t kMaxPrefix = 8;
constexpr int kActiveNumbers = 100;

const char16_t kActiveRoot[] = u"Drivers\\Active\\";

LONG ReadString(HKEY key, const char16_t* value, std::u16string* out) {
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, value, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != REG_SZ)
        return ERROR_INVALID_PARAMETER;
    std::u16string buf(size / 2 + 1, u'\0');
    rc = RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(buf.data()), &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != REG_SZ)
        return ERROR_INVALID_PARAMETER;
    buf.resize(size / 2);
    size_t end = buf.find(u'\0');
    if (end != std::u16string::npos)
        buf.resize(end);
    *out = buf;
    return ERROR_SUCCESS;
}

void WriteString(HKEY key, const char16_t* value, const std::u16string& s) {
    RegSetValueExW(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                   static_cast<DWORD>((s.size() + 1) * 2));
}

void WriteDword(HKEY key, const char16_t* value, DWORD v) {
    RegSetValueExW(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof(v));
}

// A prefix names files "<prefix><digit>:", so it must not hold separators.
bool ValidPrefix(const std::u16string& p) {
    if (p.empty() || p.size() > kMaxPrefix)
        return false;
    for (char16_t c : p) {
        if (c == u':' || c == u'\\' || c == u'/' || c <= u' ')
            return false;
    }
    return true;
}

template <class T>
bool Resolve(HMODULE module, const std::u16string& prefix, const char16_t* suffix, T* out) {
    std::u16string name = prefix + suffix;
    // Through void (*)(), the generic function pointer type.
    *out = reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddressW(module, name.c_str())));
    return *out != nullptr;
}

bool ResolveEntryPoints(HMODULE m, const std::u16string& p, StreamEntryPoints* e) {
    return Resolve(m, p, u"_Init", &e->init) && Resolve(m, p, u"_Deinit", &e->deinit) &&
           Resolve(m, p, u"_Open", &e->open) && Resolve(m, p, u"_Close", &e->close) &&
           Resolve(m, p, u"_Read", &e->read) && Resolve(m, p, u"_Write", &e->write) &&
           Resolve(m, p, u"_Seek", &e->seek) && Resolve(m, p, u"_IOControl", &e->ioControl) &&
           Resolve(m, p, u"_PowerUp", &e->powerUp) && Resolve(m, p, u"_PowerDown", &e->powerDown);
}

bool ActiveKeyExists(int number) {
    std::u16string path = kActiveRoot;
    path += static_cast<char16_t>(u'0' + number / 10);
    path += static_cast<char16_t>(u'0' + number % 10);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Lowest free name index in the order 1..9, 0, and lowest free active key
// number. Called with the lock held.
bool ReserveNames(Manager& mgr, Device* d) {
    std::set<int> indexes;
    std::set<int> numbers;
    for (const auto& [token, other] : mgr.devices) {
        numbers.insert(other->activeNumber);
        if (EqualsNoCase(other->prefix, d->prefix))
            indexes.insert(other->nameIndex);
    }
    d->nameIndex = -1;
    for (int i : {1, 2, 3, 4, 5, 6, 7, 8, 9, 0}) {
        if (!indexes.count(i)) {
            d->nameIndex = i;
            break;
        }
    }
    d->activeNumber = -1;
    for (int n = 0; n < kActiveNumbers; ++n) {
        // A key left by someone else under the same number is not taken over.
        if (!numbers.count(n) && !ActiveKeyExists(n)) {
            d->activeNumber = n;
            break;
        }
    }
    if (d->nameIndex < 0 || d->activeNumber < 0)
        return false;
    d->name = d->prefix + static_cast<char16_t>(u'0' + d->nameIndex) + u":";
    d->activeKey = kActiveRoot;
    d->activeKey += static_cast<char16_t>(u'0' + d->activeNumber / 10);
    d->activeKey += static_cast<char16_t>(u'0' + d->activeNumber % 10);
    return true;
}

void ReleaseLibraryIfLast(const std::shared_ptr<Device>& d, std::unique_lock<std::mutex>& held) {
    bool release = d->state == DeviceState::kRemoved && d->callsInside == 0 && !d->libraryReleased;
    if (release)
        d->libraryReleased = true;
    held.unlock();
    if (release)
        FreeLibrary(d->module);
}

std::shared_ptr<Device> FindActive(Manager& mgr, HANDLE h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v < kTokenBase || v > 0xFFFFFFFFu)
        return nullptr;
    auto it = mgr.devices.find(static_cast<uint32_t>(v));
    if (it == mgr.devices.end() || it->second->state != DeviceState::kActive)
        return nullptr;
    return it->second;
}

}  // namespace

bool EnterDriver(const std::shared_ptr<Device>& device) {
    std::lock_guard<std::mutex> g(GetManager().lock);
    if (device->state != DeviceState::kActive)
        return false;
    ++device->callsInside;
    ++GetManager().callsInside;
    return true;
}

void LeaveDriver(const std::shared_ptr<Device>& device) {
    std::unique_lock<std::mutex> g(GetManager().lock);
    --device->callsInside;
    --GetManager().callsInside;
    ReleaseLibraryIfLast(device, g);
}

}  // namespace cedevmgr

using namespace cedevmgr;

CEAPI HANDLE ActivateDevice(LPCWSTR lpszDevKey, DWORD dwClientInfo) {
    cehost::PlatformEntry platformCall;
    cehost::ThreadCheckpoint();
    if (!lpszDevKey || !*lpszDevKey) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto d = std::make_shared<Device>();
    d->deviceKey = lpszDevKey;
    d->clientInfo = dwClientInfo;

    std::u16string dll;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, lpszDevKey, 0, 0, &key);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return nullptr;
    }
    rc = ReadString(key, u"Dll", &dll);
    if (rc == ERROR_SUCCESS)
        rc = ReadString(key, u"Prefix", &d->prefix);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && (dll.empty() || !ValidPrefix(d->prefix))) {
        rc = ERROR_INVALID_PARAMETER;
    }
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return nullptr;
    }

    d->module = LoadLibraryW(dll.c_str());
    if (!d->module)
        return nullptr;  // the loader's error stands
    if (!ResolveEntryPoints(d->module, d->prefix, &d->entry)) {
        FreeLibrary(d->module);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }

    Manager& mgr = GetManager();
    bool reserved;
    {
        std::lock_guard<std::mutex> g(mgr.lock);
        reserved = ReserveNames(mgr, d.get());
        if (reserved) {
            d->token = kTokenBase + mgr.nextToken++;
            mgr.devices.emplace(d->token, d);
        }
    }
    if (!reserved) {
        // All ten names of the prefix, or every active key number, are taken.
        FreeLibrary(d->module);
        SetLastError(ERROR_ALREADY_EXISTS);
        return nullptr;
    }

    auto undo = [&](DWORD error) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, d->activeKey.c_str());
        {
            std::lock_guard<std::mutex> g(mgr.lock);
            mgr.devices.erase(d->token);
            d->state = DeviceState::kRemoved;
            d->libraryReleased = true;
        }
        FreeLibrary(d->module);
        SetLastError(error);
        return nullptr;
    };

    HKEY active = nullptr;
    rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, d->activeKey.c_str(), 0, nullptr, 0, 0, nullptr,
                         &active, nullptr);
    if (rc != ERROR_SUCCESS)
        return undo(static_cast<DWORD>(rc));
    WriteString(active, u"Key", d->deviceKey);
    WriteString(active, u"Name", d->name);
    WriteDword(active, u"Hnd", d->token);
    WriteDword(active, u"ClientInfo", dwClientInfo);
    RegCloseKey(active);

    // A driver that fails without saying why must not leave a stale or zero
    // error behind a failed activation.
    SetLastError(ERROR_SUCCESS);
    DWORD_PTR context = 0;
    {
        cehost::DriverCodeScope driverCode;
        context = d->entry.init(d->activeKey.c_str(), nullptr);
    }
    if (context == 0) {
        DWORD error = GetLastError();
        return undo(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    }
    {
        std::lock_guard<std::mutex> g(mgr.lock);
        d->context = context;
        d->state = DeviceState::kActive;
    }
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(d->token));
}

CEAPI BOOL DeactivateDevice(HANDLE hDevice) {
    cehost::PlatformEntry platformCall;
    cehost::ThreadCheckpoint();
    Manager& mgr = GetManager();
    std::shared_ptr<Device> d;
    {
        std::lock_guard<std::mutex> g(mgr.lock);
        d = FindActive(mgr, hDevice);
        if (d)
            d->state = DeviceState::kRemoving;
    }
    if (!d) {
        cehost::CountMisuse("devmgr.device.invalid");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Calls already inside the driver are not waited for: _Deinit wakes them.
    {
        cehost::DriverCodeScope driverCode;
        d->entry.deinit(d->context);
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, d->activeKey.c_str());
    std::unique_lock<std::mutex> g(mgr.lock);
    mgr.devices.erase(d->token);
    d->state = DeviceState::kRemoved;
    ReleaseLibraryIfLast(d, g);
    return TRUE;
}

namespace cehost {

std::vector<ActiveDeviceInfo> ActiveDevices() {
    Manager& mgr = GetManager();
    std::lock_guard<std::mutex> g(mgr.lock);
    std::vector<ActiveDeviceInfo> out;
    for (const auto& [token, d] : mgr.devices) {
        if (d->state == DeviceState::kStarting)
            continue;
        out.push_back({d->name, d->activeKey, d->deviceKey, d->state == DeviceState::kRemoving});
    }
    return out;
}

size_t CallsInDrivers() {
    Manager& mgr = GetManager();
    std::lock_guard<std::mutex> g(mgr.lock);
    return mgr.callsInside;
}

}  // namespace cehost
