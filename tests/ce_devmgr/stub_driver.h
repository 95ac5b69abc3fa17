// A stand-in stream driver for the device manager's tests, and their
// fixture. The stub's entry points record every call; a test decides whether
// reads and _Deinit block.
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

// Records a call; `open` tells a call on an open handle. Returns its context.
inline DWORD_PTR Record(Call c, bool open = true) {
    std::lock_guard<std::mutex> g(s.lock);
    s.late += open && s.deinitStarted;
    s.deinitStarted |= c.fn == "Deinit";
    s.calls.push_back(c);
    s.changed.notify_all();
    return c.ctx;
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

inline DWORD_PTR Init(LPCWSTR, LPCVOID) {
    return Record({"Init", s.next++}, false);
}

inline BOOL Deinit(DWORD_PTR ctx) {
    Record({"Deinit", ctx}, false);
    if (s.blockDeinit)
        Block([] { return s.released; });
    return TRUE;
}

inline DWORD_PTR Open(DWORD_PTR ctx, DWORD, DWORD) {
    return Record({"Open", ctx}) << 8 | 1;
}

inline BOOL Close(DWORD_PTR open) {
    return Record({"Close", open}) != 0;
}

inline DWORD Read(DWORD_PTR open, LPVOID, DWORD n) {
    Record({"Read", open});
    if (s.holdReads || s.blockReads) {
        Block([] { return s.released || (s.blockReads && s.deinitStarted); });
        SetLastError(ERROR_INVALID_HANDLE);
        return s.holdReads ? 0 : 0xFFFFFFFFu;
    }
    return n;
}

inline DWORD Write(DWORD_PTR open, LPCVOID, DWORD n) {
    Record({"Write", open});
    return n;
}

inline BOOL IOControl(DWORD_PTR open, DWORD code, PBYTE, DWORD, PBYTE, DWORD, PDWORD) {
    Record({code == IOCTL_PSL_NOTIFY ? "PslNotify" : "IOControl", open});
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

inline DWORD Seek(DWORD_PTR, LONG, DWORD) {
    return 0;
}
inline DWORD Power(DWORD_PTR) {
    return 1;
}

// Registers the stub as `library` with entry points <prefix>_Init ...;
// `replace` swaps some ({"_Init", &MyInit}); a null address leaves one out.
inline void RegisterStub(const std::string& library, const std::string& prefix,
                         const std::vector<cehost::LibraryProc>& replace = {}) {
    std::vector<cehost::LibraryProc> procs = {
        {"_Init", &Init},     {"_Deinit", &Deinit},   {"_Open", &Open}, {"_Close", &Close},
        {"_Read", &Read},     {"_Write", &Write},     {"_Seek", &Seek}, {"_IOControl", &IOControl},
        {"_PowerUp", &Power}, {"_PowerDown", &Power},
    };
    std::vector<cehost::LibraryProc> named;
    for (auto p : procs) {
        for (const auto& r : replace)
            if (r.name == p.name)
                p.address = r.address;
        p.name = prefix + p.name;
        if (p.address)
            named.push_back(p);
    }
    cehost::RegisterLibrary(library, named);
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
        DeviceKey(kDevKey, u"stub.dll", u"COM");
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
    static void DeviceKey(const std::u16string& key, const std::u16string& dll,
                          const std::u16string& prefix) {
        cehost::RegWriteString(key, u"Dll", dll);
        cehost::RegWriteString(key, u"Prefix", prefix);
    }
    static size_t ActiveKeys() { return cehost::RegSubkeyNames(u"Drivers\\Active").size(); }
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
