// A stand-in stream driver for the device manager's tests: its entry points
// record every call with its arguments, and a test decides whether they fail
// and whether reads and _Deinit block.
#pragma once

#include <string>
#include <vector>

#include "ce/windows.h"
#include "cehost/loader.h"

namespace stub {

struct Call {
    std::string fn;     // "Init", "Open", "Read", ...
    DWORD_PTR ctx = 0;  // device context (Init, Deinit, Open) or open context
    std::vector<uint64_t> args;
    std::vector<uint8_t> data;  // input bytes (Write, IOControl)
    std::u16string text;        // Init: its active key path
};

struct Config {
    bool failInit = false, failOpen = false, failIoctl = false;
    DWORD error = 0;           // last error a failing Init, Open or IOControl sets
    bool blockReads = false;   // Read waits until its device's _Deinit starts
    bool holdReads = false;    // Read waits until Release(), whatever happens
    bool blockDeinit = false;  // _Deinit waits until Release()
};

Config& Configure();  // cleared by Reset()
void Reset();
std::vector<Call> Calls(const std::string& fn = "");
bool WaitFor(const std::string& fn, size_t n);  // n calls of fn (generous timeout)
void Release();                                 // lets held reads and _Deinit go
int LateCalls();  // calls that entered on a device whose _Deinit had started
inline DWORD_PTR DeviceOf(DWORD_PTR open) {
    return open >> 8;
}

// Registers the stub as `library` with entry points <prefix>_Init ...;
// `replace` swaps some ({"_Init", &MyInit}); a null address leaves one out.
void RegisterStub(const std::string& library, const std::string& prefix,
                  const std::vector<cehost::LibraryProc>& replace = {});

}  // namespace stub
