// Shared state of the device manager: activated devices, application
// handles and processes.
//
// Locking: one mutex (Manager::lock) guards every table and every field
// marked "lock" below. It is never held while a driver entry point runs,
// while the loader runs, or while the registry is written, so a driver may
// call back into the platform (even ActivateDevice, from a USB attach) from
// any entry point.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "ce/devmgr.h"
#include "ce/loader.h"
#include "ce/types.h"

namespace cedevmgr {

struct StreamEntryPoints {
    PFN_STREAM_INIT init = nullptr;
    PFN_STREAM_DEINIT deinit = nullptr;
    PFN_STREAM_OPEN open = nullptr;
    PFN_STREAM_CLOSE close = nullptr;
    PFN_STREAM_READ read = nullptr;
    PFN_STREAM_WRITE write = nullptr;
    PFN_STREAM_SEEK seek = nullptr;
    PFN_STREAM_IOCONTROL ioControl = nullptr;
    PFN_STREAM_POWERUP powerUp = nullptr;
    PFN_STREAM_POWERDOWN powerDown = nullptr;
};

enum class DeviceState {
    kStarting,  // reserved name and key; <Prefix>_Init running
    kActive,    // calls reach the driver
    kRemoving,  // DeactivateDevice started: no new call reaches the driver
    kRemoved,   // _Deinit returned, key removed, name free
};

// One activation. Immutable after activation except the fields marked lock.
struct Device {
    uint32_t token = 0;  // activation handle and "Hnd"
    std::u16string deviceKey;
    std::u16string prefix;
    std::u16string name;       // "COM1:"
    std::u16string activeKey;  // "Drivers\Active\01"
    int nameIndex = 0;         // 1..9, 0
    int activeNumber = 0;      // NN
    DWORD clientInfo = 0;
    HMODULE module = nullptr;
    StreamEntryPoints entry;
    DWORD_PTR context = 0;  // from _Init; written before the state turns active
    // lock:
    DeviceState state = DeviceState::kStarting;
    size_t callsInside = 0;        // application calls inside the driver
    bool libraryReleased = false;  // FreeLibrary done (by the last one out)
};

struct ProcessState;

// One application handle: an open context of a device's driver. The handle
// value lives in the core's handle table; CloseHandle removes it there first.
struct FileHandle {
    uintptr_t value = 0;  // written before the handle is handed out
    std::shared_ptr<Device> device;
    DWORD_PTR openContext = 0;
    std::shared_ptr<ProcessState> process;
};

struct ProcessState : std::enable_shared_from_this<ProcessState> {
    uint32_t id = 0;
    // lock:
    bool exited = false;
    std::set<uintptr_t> handles;  // FileHandle values, in opening order
};

struct Manager {
    std::mutex lock;
    std::map<uint32_t, std::shared_ptr<Device>> devices;  // activation order
    uint32_t nextToken = 1;
    uint32_t nextProcess = 2;
    size_t callsInside = 0;  // all devices
    std::shared_ptr<ProcessState> defaultProcess;
};

Manager& GetManager();

// Admits one call into the device's driver: false once removal has started.
// Takes the lock.
bool EnterDriver(const std::shared_ptr<Device>& device);
// Ends a call admitted by EnterDriver; the last call out of a removed device
// releases its library.
void LeaveDriver(const std::shared_ptr<Device>& device);

// One call admitted into a driver, left when the guard goes out of scope
// (also when a terminated thread unwinds through it).
class DriverCall {
  public:
    explicit DriverCall(std::shared_ptr<Device> device)
        : device_(std::move(device)), entered_(EnterDriver(device_)) {}
    ~DriverCall() {
        if (entered_)
            LeaveDriver(device_);
    }
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;
    bool entered() const { return entered_; }

  private:
    std::shared_ptr<Device> device_;
    bool entered_;
};

// The application handle behind a value, with a call admitted into its
// driver. On failure sets the last error (ERROR_INVALID_HANDLE, counted as
// misuse, or ERROR_DEVICE_REMOVED) and returns null.
std::shared_ptr<FileHandle> EnterFile(HANDLE h);

std::shared_ptr<ProcessState> CurrentProcess();

}  // namespace cedevmgr
