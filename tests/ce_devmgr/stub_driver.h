// A stand-in stream driver for the device manager's tests (and the attach
// tests' stream device), and the device manager tests' fixture. The stub's
// entry points record every call; a test decides whether reads and _Deinit
// block until Release().
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "ce/windows.h"
#include "cehost/devmgr.h"
#include "cehost/loader.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"

namespace stub {

struct Call {
    std::string fn;     // "Init", "Open", "Read", ...
    DWORD_PTR ctx = 0;  // device context (Init, Deinit, Open) or open context
};

inline struct State {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Call> calls;
    // holdReads, blockDeinit: reads and _Deinit wait until Release().
    bool holdReads = false, blockDeinit = false, deinitStarted = false, released = false;
    int late = 0;  // calls on an open handle that entered after a _Deinit started
} s;

inline void Reset() {
    std::lock_guard<std::mutex> g(s.lock);
    s.calls.clear();
    s.holdReads = s.blockDeinit = s.deinitStarted = s.released = (s.late = 0);
}

// Calls of `fn` so far (of any entry point: "").
inline long Count(const std::string& fn = "") {
    std::lock_guard<std::mutex> g(s.lock);
    return fn.empty() ? long(s.calls.size()) : std::ranges::count(s.calls, fn, &Call::fn);
}

// Waits (generously) until `pred`, under the lock, in a platform wait as a
// driver blocks: under CE scheduling the thread gives up the CPU meanwhile.
template <class Pred>
bool Block(Pred pred) {
    std::unique_lock<std::mutex> g(s.lock);
    return cehost::WaitTerminable(g, s.changed, 10000, pred);
}

inline bool WaitFor(const std::string& fn, long n) {
    return Block([&] { return std::ranges::count(s.calls, fn, &Call::fn) >= n; });
}

inline void Release() {
    std::lock_guard<std::mutex> g(s.lock);
    s.released = true;
    s.changed.notify_all();
}

// The entry points. Record notes a call (`open`: on an open handle) and
// returns its context.
struct Entry {
    static DWORD_PTR Record(Call c, bool open = true) {
        std::lock_guard<std::mutex> g(s.lock);
        s.late += open && s.deinitStarted;
        s.deinitStarted |= c.fn == "Deinit";
        s.calls.push_back(c);
        s.changed.notify_all();
        return c.ctx;
    }
    static DWORD_PTR Init(LPCWSTR, LPCVOID) { return Record({"Init", 0x10}, false); }
    static BOOL Deinit(DWORD_PTR ctx) {
        Record({"Deinit", ctx}, false);
        return !s.blockDeinit || Block([] { return s.released; });
    }
    static DWORD_PTR Open(DWORD_PTR ctx, DWORD, DWORD) { return Record({"Open", ctx}) << 8 | 1; }
    static BOOL Close(DWORD_PTR open) { return Record({"Close", open}) != 0; }
    static DWORD Read(DWORD_PTR open, LPVOID, DWORD n) {
        Record({"Read", open});
        return s.holdReads ? Block([] { return s.released; }), 0 : n;
    }
    static DWORD Write(DWORD_PTR open, LPCVOID, DWORD n) { return Record({"Write", open}), n; }
    static BOOL IOControl(DWORD_PTR h, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD) {
        return Record({"IOControl", h}), FALSE;
    }
    static DWORD Other(DWORD_PTR, LONG, DWORD) { return 0; }
};

// Registers the stub as `library` with entry points <prefix>_Init ...
inline void RegisterStub(const std::string& library, const std::string& prefix) {
    using E = Entry;
    std::vector<cehost::LibraryProc> procs = {
        {"_Init", &E::Init},      {"_Deinit", &E::Deinit},       {"_Open", &E::Open},
        {"_Close", &E::Close},    {"_Read", &E::Read},           {"_Write", &E::Write},
        {"_Seek", &E::Other},     {"_IOControl", &E::IOControl}, {"_PowerUp", &E::Other},
        {"_PowerDown", &E::Other}};
    for (auto& p : procs)
        p.name = prefix + p.name;
    cehost::RegisterLibrary(library, procs);
}

}  // namespace stub

// A clean platform, the stub registered as "stub.dll" with prefix COM, and
// one device key, activated and open as COM1:.
class DevmgrTest : public PlatformTest {
  protected:
    static constexpr const char16_t* kDevKey = u"Drivers\\Test\\Dev";

    void SetUp() override {
        PlatformTest::SetUp();
        stub::Reset();
        stub::RegisterStub("stub.dll", "COM");
        cehost::RegWriteString(kDevKey, u"Dll", u"stub.dll");
        cehost::RegWriteString(kDevKey, u"Prefix", u"COM");
        dev_ = ActivateDevice(kDevKey, 0);
        file_ = Open();
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        stub::Release();
        if (dev_)
            DeactivateDevice(dev_);
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
        EXPECT_EQ(stub::s.late, 0) << "a call reached a driver being removed";
        PlatformTest::TearDown();
    }
    static HANDLE Open() {
        return CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }

    HANDLE dev_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};
