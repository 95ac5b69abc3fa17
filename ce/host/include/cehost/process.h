// Emulated processes. Every application handle of the device manager
// (CreateFileW) belongs to the process current on the calling thread: the
// default process, unless the thread is inside Process::Run. Ending a process
// tells the driver of each of its handles (IOCTL_PSL_NOTIFY with a
// DEVICE_PSL_NOTIFY of dwSize 16, dwFlags DLL_PROCESS_EXITING, input length
// 16), then closes them, as the platform does when a program exits.
//
// Threads created with CreateThread start in the default process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace cedevmgr {
struct ProcessState;
}

namespace cehost {

class Process {
  public:
    Process();
    // Ends the process if Exit has not been called.
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Runs fn on the calling thread with this process as the current one;
    // the previous current process is restored afterwards.
    void Run(const std::function<void()>& fn);
    // Notifies the drivers and closes every handle the process still holds.
    // Returns once every close has returned. A second call does nothing;
    // after it CreateFileW in this process fails with ERROR_ACCESS_DENIED.
    void Exit();
    bool Exited() const;
    // The value passed as hProc in the exit notification.
    uint32_t Id() const;
    // Handles opened in this process and not yet closed.
    size_t HandleCount() const;

  private:
    std::shared_ptr<cedevmgr::ProcessState> state_;
};

// Id of the process current on the calling thread (the default process: 1).
uint32_t CurrentProcessId();

}  // namespace cehost
