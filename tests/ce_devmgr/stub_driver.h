// A stand-in stream driver for the device manager's tests (and the attach
// tests' stream device), and the device manager tests' fixture. The stub's
// entry points record every call; a test decides whether reads and _Deinit
// block.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "ce/windows.h"
#include "cehost/core.h"
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
    bool blockReads = false;   // Read waits until a _Deinit starts
    bool holdReads = false;    // Read waits until Release(), whatever happens
    bool blockDeinit = false;  // _Deinit waits until Release()
    bool deinitStarted = false, released = false;
    int late = 0;  // calls on an open handle that entered after a _Deinit started
    std::atomic<DWORD_PTR> next{0x10};  // device contexts
} s;

inline void Reset() {
    std::lock_guard<std::mutex> g(s.lock);
    s.calls.clear();
    s.blockReads = s.holdReads = s.blockDeinit = s.deinitStarted = s.released = false;
    s.late = 0;
}

inline std::vector<Call> Calls(const std::string& fn = "") {
    std::lock_guard<std::mutex> g(s.lock);
    std::vector<Call> out;
    std::copy_if(s.calls.begin(), s.calls.end(), std::back_inserter(out),
                 [&](const Call& c) { return fn.empty() || c.fn == fn; });
    return out;
}

// Waits (generously) until `pred`, under the lock, in a platform wait as a
// driver blocks: under CE scheduling the thread gives up the CPU meanwhile.
template <class Pred>
bool Block(Pred pred) {
    std::unique_lock<std::mutex> g(s.lock);
    return cehost::WaitTerminable(g, s.changed, 10000, pred);
}

inline bool WaitFor(const std::string& fn, size_t n) {
    return Block([&] {
        return size_t(std::count_if(s.calls.begin(), s.calls.end(),
                                    [&](const Call& c) { return c.fn == fn; })) >= n;
    });
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
    static DWORD_PTR Init(LPCWSTR, LPCVOID) { return Record({"Init", s.next++}, false); }
    static BOOL Deinit(DWORD_PTR ctx) {
        Record({"Deinit", ctx}, false);
        if (s.blockDeinit)
            Block([] { return s.released; });
        return TRUE;
    }
    static DWORD_PTR Open(DWORD_PTR ctx, DWORD, DWORD) { return Record({"Open", ctx}) << 8 | 1; }
    static BOOL Close(DWORD_PTR open) { return Record({"Close", open}) != 0; }
    static DWORD Read(DWORD_PTR open, LPVOID, DWORD n) {
        Record({"Read", open});
        if (!s.holdReads && !s.blockReads)
            return n;
        Block([] { return s.released || (s.blockReads && s.deinitStarted); });
        SetLastError(ERROR_INVALID_HANDLE);
        return s.holdReads ? 0 : 0xFFFFFFFFu;
    }
    static DWORD Write(DWORD_PTR open, LPCVOID, DWORD n) { return Record({"Write", open}), n; }
    static BOOL IOControl(DWORD_PTR open, DWORD code, PBYTE, DWORD, PBYTE, DWORD, PDWORD) {
        Record({code == IOCTL_PSL_NOTIFY ? "PslNotify" : "IOControl", open});
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    static DWORD Seek(DWORD_PTR, LONG, DWORD) { return 0; }
    static DWORD Power(DWORD_PTR) { return 1; }
};

// Registers the stub as `library` with entry points <prefix>_Init ...;
// `replace` swaps some ({"_Init", &MyInit}).
inline void RegisterStub(const std::string& library, const std::string& prefix,
                         const std::vector<cehost::LibraryProc>& replace = {}) {
    using E = Entry;
    std::vector<cehost::LibraryProc> procs = {
        {"_Init", &E::Init},       {"_Deinit", &E::Deinit},       {"_Open", &E::Open},
        {"_Close", &E::Close},     {"_Read", &E::Read},           {"_Write", &E::Write},
        {"_Seek", &E::Seek},       {"_IOControl", &E::IOControl}, {"_PowerUp", &E::Power},
        {"_PowerDown", &E::Power},
    };
    for (auto& p : procs) {
        for (const auto& r : replace)
            p.address = r.name == p.name ? r.address : p.address;
        p.name = prefix + p.name;
    }
    cehost::RegisterLibrary(library, procs);
}

}  // namespace stub

// A clean platform, the stub registered as "stub.dll" with prefix COM, and
// one device key; Start activates it and opens COM1:.
class DevmgrTest : public PlatformTest {
  protected:
    static constexpr const char16_t* kDevKey = u"Drivers\\Test\\Dev";

    void SetUp() override {
        PlatformTest::SetUp();
        stub::Reset();
        stub::RegisterStub("stub.dll", "COM");
        cehost::RegWriteString(kDevKey, u"Dll", u"stub.dll");
        cehost::RegWriteString(kDevKey, u"Prefix", u"COM");
    }
    void TearDown() override {
        stub::Release();
        if (dev_)
            DeactivateDevice(dev_);
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
        EXPECT_LE(stub::s.late, allowedLateCalls_) << "a call reached a driver being removed";
        PlatformTest::TearDown();
    }
    void Start() {
        dev_ = ActivateDevice(kDevKey, 0);
        file_ = Open();
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }
    static HANDLE Open(const char16_t* name = u"COM1:") {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }

    HANDLE dev_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    // A call admitted before removal started may still reach the driver's
    // code after _Deinit has begun (one per racing thread at most).
    int allowedLateCalls_ = 0;
};
