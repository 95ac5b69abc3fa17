// A stand-in stream driver for the device manager's tests: its entry points
// record every call with its arguments, and a test decides what they return
// and whether reads block.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ce/windows.h"

namespace stub {

struct Call {
    std::string fn;     // "Init", "Open", "Read", ...
    DWORD_PTR ctx = 0;  // device or open context the call was made on
    std::vector<uint64_t> args;
    std::vector<uint8_t> data;  // input bytes (Write, IOControl)
    std::u16string text;        // Init's active key path
};

struct Config {
    bool failInit = false;
    DWORD initError = 0;  // set before a failed Init returns
    bool failOpen = false;
    DWORD openError = 0;
    bool blockReads = false;   // Read waits until its device is deinitialised
    bool holdReads = false;    // Read waits until ReleaseReads(), whatever happens
    bool blockDeinit = false;  // Deinit waits until ReleaseDeinit()
    BOOL ioctlResult = TRUE;
    DWORD ioctlError = 0;  // set when ioctlResult is FALSE
    DWORD readResult = 0;  // 0: the requested count
    DWORD readError = 0;   // set when readResult is 0xFFFFFFFF
};

class Driver {
  public:
    static Driver& Get();

    // Clears the log and the configuration.
    void Reset();
    Config& config() { return config_; }
    std::vector<Call> Calls();
    std::vector<Call> CallsOf(const std::string& fn);
    size_t CountOf(const std::string& fn);
    // Calls that entered the driver on a device whose Deinit had started.
    int lateCalls() const { return lateCalls_.load(); }

    // Blocks until n calls of fn have been recorded (generous timeout).
    bool WaitFor(const std::string& fn, size_t n);
    void ReleaseDeinit();
    void ReleaseReads();

    // Entry points (the prefix is added by the test's library registration).
    static DWORD_PTR Init(LPCWSTR active, LPCVOID bus);
    static BOOL Deinit(DWORD_PTR ctx);
    static DWORD_PTR Open(DWORD_PTR ctx, DWORD access, DWORD share);
    static BOOL Close(DWORD_PTR open);
    static DWORD Read(DWORD_PTR open, LPVOID buf, DWORD n);
    static DWORD Write(DWORD_PTR open, LPCVOID buf, DWORD n);
    static DWORD Seek(DWORD_PTR open, LONG amount, DWORD type);
    static BOOL IOControl(DWORD_PTR open, DWORD code, PBYTE in, DWORD inLen, PBYTE out,
                          DWORD outLen, PDWORD actual);
    static DWORD PowerUp(DWORD_PTR ctx);
    static DWORD PowerDown(DWORD_PTR ctx);

    // Device context of an open context.
    static DWORD_PTR DeviceOf(DWORD_PTR open) { return open >> 8; }

  private:
    void Record(Call c);
    bool DeinitStarted(DWORD_PTR device);

    std::mutex lock_;
    std::condition_variable changed_;
    Config config_;
    std::vector<Call> calls_;
    std::vector<DWORD_PTR> deinitStarted_;
    DWORD_PTR nextDevice_ = 0x10;
    DWORD_PTR nextOpen_ = 1;
    bool deinitReleased_ = false;
    bool readsReleased_ = false;
    std::atomic<int> lateCalls_{0};
};

// Registers the stub as an in-process library under `library` with entry
// points named <prefix>_Init ...; `omit` leaves one of them out.
void RegisterStub(const std::string& library, const std::string& prefix,
                  const std::string& omit = "");

// Writes a device key with "Dll" and "Prefix" (REG_SZ).
void WriteDeviceKey(const std::u16string& key, const std::u16string& dll,
                    const std::u16string& prefix);

}  // namespace stub
