// The application side: files on stream devices, and emulated processes.
//
// An application handle is a value in the core's handle table naming a
// FileHandle. Every call on it is admitted into the driver through
// EnterDriver, so once DeactivateDevice has started, calls fail with
// ERROR_DEVICE_REMOVED without reaching the driver, and CloseHandle only
// drops the record.
#include "ce/file.h"

#include <optional>
#include <vector>

#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/devmgr.h"
#include "cehost/process.h"
#include "devmgr/devmgr_internal.h"
#include "devmgr/wide.h"

namespace cedevmgr {
namespace {

thread_local ProcessState* currentProcess = nullptr;

BOOL CloseFileObject(const std::shared_ptr<void>& object);

const cehost::HandleKind* FileKind() {
    static const cehost::HandleKind* kind = cehost::RegisterHandleKind("file", &CloseFileObject);
    return kind;
}

// The handle has already left the core's table: no new call can find it.
// Calls still running on it are the driver's to end (its _Close wakes them).
BOOL CloseFileObject(const std::shared_ptr<void>& object) {
    auto f = std::static_pointer_cast<FileHandle>(object);
    {
        std::lock_guard<std::mutex> g(GetManager().lock);
        f->process->handles.erase(f->value);
    }
    DriverCall call(f->device);
    if (call.entered()) {
        cehost::DriverCodeScope driverCode;
        f->device->entry.close(f->openContext);
    }
    return TRUE;
}

void ResetDeviceManager() {
    Manager& mgr = GetManager();
    std::lock_guard<std::mutex> g(mgr.lock);
    // Forget everything the last test left; drivers are not called.
    for (auto& [token, d] : mgr.devices) {
        d->state = DeviceState::kRemoved;
        d->libraryReleased = true;
    }
    mgr.devices.clear();
    mgr.callsInside = 0;
    mgr.defaultProcess->handles.clear();
    mgr.defaultProcess->exited = false;
}

struct ResetRegistration {
    ResetRegistration() { cehost::RegisterResetHook(&ResetDeviceManager); }
} resetRegistration;

}  // namespace

Manager& GetManager() {
    static Manager* mgr = [] {
        auto* m = new Manager;  // outlives static destructors: threads may still call in
        m->defaultProcess = std::make_shared<ProcessState>();
        m->defaultProcess->id = 1;
        return m;
    }();
    return *mgr;
}

std::shared_ptr<ProcessState> CurrentProcess() {
    if (currentProcess)
        return currentProcess->shared_from_this();
    return GetManager().defaultProcess;
}

std::shared_ptr<FileHandle> EnterFile(HANDLE h) {
    auto f = std::static_pointer_cast<FileHandle>(cehost::LookupHandle(h, FileKind()));
    if (!f)
        return nullptr;  // counted, ERROR_INVALID_HANDLE set
    if (!EnterDriver(f->device)) {
        SetLastError(ERROR_DEVICE_REMOVED);
        return nullptr;
    }
    return f;
}

namespace {

// Admits a call on an application handle; leaves the driver on scope exit.
class FileCall {
  public:
    explicit FileCall(HANDLE h) : f_(EnterFile(h)) {}
    ~FileCall() {
        if (f_)
            LeaveDriver(f_->device);
    }
    FileCall(const FileCall&) = delete;
    FileCall& operator=(const FileCall&) = delete;
    explicit operator bool() const { return f_ != nullptr; }
    const StreamEntryPoints& entry() const { return f_->device->entry; }
    DWORD_PTR context() const { return f_->openContext; }

  private:
    std::shared_ptr<FileHandle> f_;
};

}  // namespace
}  // namespace cedevmgr

using namespace cedevmgr;

CEAPI HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                         LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    cehost::PlatformEntry platformCall;
    cehost::ThreadCheckpoint();
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string name = lpFileName;
    auto process = CurrentProcess();
    Manager& mgr = GetManager();
    std::shared_ptr<Device> device;
    DWORD error = ERROR_FILE_NOT_FOUND;
    {
        std::lock_guard<std::mutex> g(mgr.lock);
        if (process->exited) {
            error = ERROR_ACCESS_DENIED;
        } else {
            for (const auto& [token, d] : mgr.devices) {
                if (d->state == DeviceState::kStarting || !EqualsNoCase(d->name, name))
                    continue;
                if (d->state == DeviceState::kActive) {
                    device = d;
                } else {
                    error = ERROR_DEVICE_REMOVED;
                }
                break;
            }
        }
    }
    // Removal may start between the lookup and the admission.
    std::optional<DriverCall> call;
    if (device) {
        call.emplace(device);
        if (!call->entered())
            error = ERROR_DEVICE_REMOVED;
    }
    if (!device || !call->entered()) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // A driver that refuses without saying why must not leave a stale or zero
    // error behind the failure.
    SetLastError(ERROR_SUCCESS);
    DWORD_PTR open = 0;
    {
        cehost::DriverCodeScope driverCode;
        open = device->entry.open(device->context, dwDesiredAccess, dwShareMode);
    }
    if (open == 0) {
        DWORD e = GetLastError();
        SetLastError(e != ERROR_SUCCESS ? e : ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    auto f = std::make_shared<FileHandle>();
    f->device = device;
    f->openContext = open;
    f->process = process;
    HANDLE h = INVALID_HANDLE_VALUE;
    error = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> g(mgr.lock);
        if (device->state != DeviceState::kActive) {
            // Removal began while _Open ran: _Deinit owns the driver's record.
            error = ERROR_DEVICE_REMOVED;
        } else if (process->exited) {
            error = ERROR_ACCESS_DENIED;  // the process ended while _Open ran
        } else {
            // Under the lock, so that a close racing with the return finds
            // the handle in its process (the core never calls back under its
            // own lock).
            h = cehost::NewHandle(FileKind(), f);
            f->value = reinterpret_cast<uintptr_t>(h);
            process->handles.insert(f->value);
        }
    }
    if (error == ERROR_ACCESS_DENIED) {
        cehost::DriverCodeScope driverCode;
        device->entry.close(open);
    }
    if (error != ERROR_SUCCESS)
        SetLastError(error);
    return h;
}

CEAPI BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                    LPDWORD lpNumberOfBytesRead, void* lpOverlapped) {
    cehost::PlatformEntry platformCall;
    cehost::ThreadCheckpoint();
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    if (lpOverlapped) {  // no overlapped I/O on this platform
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FileCall call(hFile);
    if (!call)
        return FALSE;
    DWORD n = 0;
    {
        cehost::DriverCodeScope driverCode;
        n = call.entry().read(call.context(), lpBuffer, nNumberOfBytesToRead);
    }
    if (n == 0xFFFFFFFFu)
        return FALSE;  // the driver's last error stands
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = n;
    return TRUE;
}

CEAPI BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                     LPDWORD lpNumberOfBytesWritten, void* lpOverlapped) {
    cehost::PlatformEntry platformCall;
    cehost::ThreadCheckpoint();
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    if (lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FileCall call(hFile);
    if (!call)
        return FALSE;
    DWORD n = 0;
    {
        cehost::DriverCodeScope driverCode;
        n = call.entry().write(call.context(), lpBuffer, nNumberOfBytesToWrite);
    }
    if (n == 0xFFFFFFFFu)
        return FALSE;
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = n;
    return TRUE;
}

CEAPI BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                           DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                           LPDWORD lpBytesReturned, void* lpOverlapped) {
    cehost::PlatformEntry platformCall;
    cehost::ThreadCheckpoint();
    if (lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FileCall call(hDevice);
    if (!call)
        return FALSE;
    // The caller's count goes to the driver as it is: a request that reports
    // no count leaves it untouched.
    cehost::DriverCodeScope driverCode;
    return call.entry().ioControl(call.context(), dwIoControlCode, static_cast<PBYTE>(lpInBuffer),
                                  nInBufferSize, static_cast<PBYTE>(lpOutBuffer), nOutBufferSize,
                                  lpBytesReturned)
               ? TRUE
               : FALSE;
}

CEAPI DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LPLONG, DWORD dwMoveMethod) {
    cehost::PlatformEntry platformCall;
    cehost::ThreadCheckpoint();
    FileCall call(hFile);
    if (!call)
        return 0xFFFFFFFFu;
    cehost::DriverCodeScope driverCode;
    return call.entry().seek(call.context(), lDistanceToMove, dwMoveMethod);
}

// ---- Processes --------------------------------------------------------------

namespace cehost {

Process::Process() : state_(std::make_shared<cedevmgr::ProcessState>()) {
    Manager& mgr = GetManager();
    std::lock_guard<std::mutex> g(mgr.lock);
    state_->id = mgr.nextProcess++;
}

Process::~Process() {
    Exit();
}

void Process::Run(const std::function<void()>& fn) {
    ProcessState* previous = currentProcess;
    currentProcess = state_.get();
    struct Restore {
        ProcessState* p;
        ~Restore() { currentProcess = p; }
    } restore{previous};
    fn();
}

void Process::Exit() {
    Manager& mgr = GetManager();
    std::vector<uintptr_t> handles;
    {
        std::lock_guard<std::mutex> g(mgr.lock);
        if (state_->exited)
            return;
        state_->exited = true;
        handles.assign(state_->handles.begin(), state_->handles.end());
    }
    // First every driver hears that the process is going, so that calls
    // its threads still run are ended; then the handles are closed.
    DEVICE_PSL_NOTIFY notify = {};
    notify.dwSize = DEVICE_PSL_NOTIFY_TARGET_SIZE;
    notify.dwFlags = DLL_PROCESS_EXITING;
    notify.hProc = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(state_->id));
    notify.hThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()));
    for (uintptr_t v : handles) {
        auto f = std::static_pointer_cast<FileHandle>(
            PeekHandle(reinterpret_cast<HANDLE>(v), FileKind()));
        if (!f)
            continue;
        DriverCall call(f->device);
        if (!call.entered())
            continue;
        DEVICE_PSL_NOTIFY copy = notify;  // the driver may scribble on its input
        cehost::DriverCodeScope driverCode;
        f->device->entry.ioControl(f->openContext, IOCTL_PSL_NOTIFY, reinterpret_cast<PBYTE>(&copy),
                                   DEVICE_PSL_NOTIFY_TARGET_SIZE, nullptr, 0, nullptr);
    }
    for (uintptr_t v : handles) {
        HANDLE h = reinterpret_cast<HANDLE>(v);
        if (PeekHandle(h, FileKind()))
            CloseHandle(h);
    }
}

bool Process::Exited() const {
    std::lock_guard<std::mutex> g(GetManager().lock);
    return state_->exited;
}

uint32_t Process::Id() const {
    return state_->id;
}

size_t Process::HandleCount() const {
    std::lock_guard<std::mutex> g(GetManager().lock);
    return state_->handles.size();
}

uint32_t CurrentProcessId() {
    return CurrentProcess()->id;
}

size_t OpenFileHandleCount() {
    return LiveHandleCount(FileKind());
}

}  // namespace cehost
