#include "stub_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace stub {
namespace {

struct State {
    std::mutex lock;
    std::condition_variable changed;
    Config config;
    std::vector<Call> calls;
    std::vector<DWORD_PTR> deinitStarted;
    DWORD_PTR nextDevice = 0x10, nextOpen = 1;
    bool released = false;
    int late = 0;
} s;

bool DeinitStarted(DWORD_PTR device) {
    return std::count(s.deinitStarted.begin(), s.deinitStarted.end(), device) > 0;
}

Config Record(Call c, DWORD_PTR device) {
    std::lock_guard<std::mutex> g(s.lock);
    if (c.fn != "Deinit" && DeinitStarted(device))
        ++s.late;
    s.calls.push_back(std::move(c));
    s.changed.notify_all();
    return s.config;
}

template <class Pred>
void Block(Pred pred) {
    std::unique_lock<std::mutex> g(s.lock);
    s.changed.wait_for(g, std::chrono::seconds(10), pred);
}

DWORD_PTR Init(LPCWSTR active, LPCVOID bus) {
    // A driver finds its port through "ClientInfo", already there in _Init.
    DWORD info = 0, size = 4;
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, active, 0, 0, &k) == ERROR_SUCCESS) {
        RegQueryValueExW(k, u"ClientInfo", nullptr, nullptr, reinterpret_cast<BYTE*>(&info), &size);
        RegCloseKey(k);
    }
    DWORD_PTR ctx;
    {
        std::lock_guard<std::mutex> g(s.lock);
        ctx = s.nextDevice++;
    }
    Config cfg = Record({"Init", ctx, {reinterpret_cast<uint64_t>(bus), info}, {}, active}, ctx);
    if (!cfg.failInit)
        return ctx;
    if (cfg.error)
        SetLastError(cfg.error);
    return 0;
}

BOOL Deinit(DWORD_PTR ctx) {
    Config cfg = Record({"Deinit", ctx, {}, {}, {}}, ctx);
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.deinitStarted.push_back(ctx);
        s.changed.notify_all();  // wakes blocked reads
    }
    if (cfg.blockDeinit)
        Block([] { return s.released; });
    return TRUE;
}

DWORD_PTR Open(DWORD_PTR ctx, DWORD access, DWORD share) {
    Config cfg = Record({"Open", ctx, {access, share}, {}, {}}, ctx);
    if (!cfg.failOpen) {
        std::lock_guard<std::mutex> g(s.lock);
        return (ctx << 8) | (s.nextOpen++ & 0xFF);
    }
    if (cfg.error)
        SetLastError(cfg.error);
    return 0;
}

BOOL Close(DWORD_PTR open) {
    Record({"Close", open, {}, {}, {}}, DeviceOf(open));
    return TRUE;
}

DWORD Read(DWORD_PTR open, LPVOID buf, DWORD n) {
    Config cfg =
        Record({"Read", open, {reinterpret_cast<uint64_t>(buf), n}, {}, {}}, DeviceOf(open));
    if (cfg.holdReads) {
        Block([] { return s.released; });
        return 0;
    }
    if (cfg.blockReads) {
        Block([open] { return DeinitStarted(DeviceOf(open)); });
        SetLastError(ERROR_INVALID_HANDLE);
        return 0xFFFFFFFFu;
    }
    std::memset(buf, 'r', n);
    return n;
}

DWORD Write(DWORD_PTR open, LPCVOID buf, DWORD n) {
    const auto* p = static_cast<const uint8_t*>(buf);
    Record({"Write", open, {n}, std::vector<uint8_t>(p, p + n), {}}, DeviceOf(open));
    return n;
}

DWORD Seek(DWORD_PTR open, LONG amount, DWORD type) {
    Record({"Seek", open, {static_cast<uint64_t>(amount), type}, {}, {}}, DeviceOf(open));
    return 0x5EEC;
}

BOOL IOControl(DWORD_PTR open, DWORD code, PBYTE in, DWORD inLen, PBYTE out, DWORD outLen,
               PDWORD actual) {
    Config cfg = Record({"IOControl",
                         open,
                         {code, inLen, outLen, reinterpret_cast<uint64_t>(out)},
                         std::vector<uint8_t>(in, in + (in ? inLen : 0)),
                         {}},
                        DeviceOf(open));
    if (cfg.failIoctl) {
        SetLastError(cfg.error);
        return FALSE;
    }
    for (DWORD i = 0; out && i < outLen; ++i)  // 0x40, 0x41, ...: tells where each came from
        out[i] = static_cast<BYTE>(0x40 + i);
    if (actual)
        *actual = outLen;
    return TRUE;
}

DWORD Power(DWORD_PTR) {
    return 1;
}

}  // namespace

Config& Configure() {
    return s.config;
}

void Reset() {
    std::lock_guard<std::mutex> g(s.lock);
    s.config = Config{};
    s.calls.clear();
    s.deinitStarted.clear();
    s.released = false;
    s.late = 0;
}

std::vector<Call> Calls(const std::string& fn) {
    std::lock_guard<std::mutex> g(s.lock);
    std::vector<Call> out;
    for (const auto& c : s.calls)
        if (fn.empty() || c.fn == fn)
            out.push_back(c);
    return out;
}

bool WaitFor(const std::string& fn, size_t n) {
    std::unique_lock<std::mutex> g(s.lock);
    return s.changed.wait_for(g, std::chrono::seconds(10), [&] {
        return static_cast<size_t>(std::count_if(s.calls.begin(), s.calls.end(),
                                                 [&](const Call& c) { return c.fn == fn; })) >= n;
    });
}

void Release() {
    std::lock_guard<std::mutex> g(s.lock);
    s.released = true;
    s.changed.notify_all();
}

int LateCalls() {
    std::lock_guard<std::mutex> g(s.lock);
    return s.late;
}

void RegisterStub(const std::string& library, const std::string& prefix,
                  const std::vector<cehost::LibraryProc>& replace) {
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
