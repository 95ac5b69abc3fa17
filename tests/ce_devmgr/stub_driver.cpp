#include "stub_driver.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "cehost/core.h"
#include "cehost/loader.h"
#include "cehost/regfile.h"

namespace stub {

using namespace std::chrono_literals;

Driver& Driver::Get() {
    static Driver d;
    return d;
}

void Driver::Reset() {
    std::lock_guard<std::mutex> g(lock_);
    config_ = Config{};
    calls_.clear();
    deinitStarted_.clear();
    deinitReleased_ = false;
    readsReleased_ = false;
    lateCalls_ = 0;
}

std::vector<Call> Driver::Calls() {
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
}

std::vector<Call> Driver::CallsOf(const std::string& fn) {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<Call> out;
    for (const auto& c : calls_) {
        if (c.fn == fn)
            out.push_back(c);
    }
    return out;
}

size_t Driver::CountOf(const std::string& fn) {
    return CallsOf(fn).size();
}

bool Driver::WaitFor(const std::string& fn, size_t n) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, 10s, [&] {
        return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(),
                                                 [&](const Call& c) { return c.fn == fn; })) >= n;
    });
}

void Driver::ReleaseDeinit() {
    std::lock_guard<std::mutex> g(lock_);
    deinitReleased_ = true;
    changed_.notify_all();
}

void Driver::ReleaseReads() {
    std::lock_guard<std::mutex> g(lock_);
    readsReleased_ = true;
    changed_.notify_all();
}

void Driver::Record(Call c) {
    std::lock_guard<std::mutex> g(lock_);
    DWORD_PTR device = c.fn == "Init" || c.fn == "Deinit" || c.fn == "Open" || c.fn == "PowerUp" ||
                               c.fn == "PowerDown"
                           ? c.ctx
                           : DeviceOf(c.ctx);
    if (c.fn != "Deinit" &&
        std::find(deinitStarted_.begin(), deinitStarted_.end(), device) != deinitStarted_.end()) {
        ++lateCalls_;
    }
    calls_.push_back(std::move(c));
    changed_.notify_all();
}

DWORD_PTR Driver::Init(LPCWSTR active, LPCVOID bus) {
    Driver& d = Get();
    DWORD_PTR ctx;
    Config cfg;
    {
        std::lock_guard<std::mutex> g(d.lock_);
        cfg = d.config_;
        ctx = d.nextDevice_++;
    }
    Call c{"Init", ctx, {reinterpret_cast<uint64_t>(bus)}, {}, active ? active : u""};
    d.Record(c);
    if (cfg.failInit) {
        if (cfg.initError)
            SetLastError(cfg.initError);
        return 0;
    }
    return ctx;
}

// The stub blocks as a driver does, in a platform wait, so that under CE
// scheduling its thread gives up the CPU meanwhile.
BOOL Driver::Deinit(DWORD_PTR ctx) {
    Driver& d = Get();
    d.Record({"Deinit", ctx, {}, {}, {}});
    std::unique_lock<std::mutex> g(d.lock_);
    d.deinitStarted_.push_back(ctx);
    d.changed_.notify_all();  // wakes blocked reads
    if (d.config_.blockDeinit) {
        cehost::WaitTerminable(g, d.changed_, 10000, [&] { return d.deinitReleased_; });
    }
    return TRUE;
}

DWORD_PTR Driver::Open(DWORD_PTR ctx, DWORD access, DWORD share) {
    Driver& d = Get();
    d.Record({"Open", ctx, {access, share}, {}, {}});
    std::lock_guard<std::mutex> g(d.lock_);
    if (d.config_.failOpen) {
        if (d.config_.openError)
            SetLastError(d.config_.openError);
        return 0;
    }
    return (ctx << 8) | (d.nextOpen_++ & 0xFF);
}

BOOL Driver::Close(DWORD_PTR open) {
    Get().Record({"Close", open, {}, {}, {}});
    return TRUE;
}

DWORD Driver::Read(DWORD_PTR open, LPVOID buf, DWORD n) {
    Driver& d = Get();
    d.Record({"Read", open, {reinterpret_cast<uint64_t>(buf), n}, {}, {}});
    std::unique_lock<std::mutex> g(d.lock_);
    if (d.config_.holdReads) {
        cehost::WaitTerminable(g, d.changed_, 10000, [&] { return d.readsReleased_; });
        return 0;
    }
    if (d.config_.blockReads) {
        bool woken = cehost::WaitTerminable(g, d.changed_, 10000, [&] {
            return std::find(d.deinitStarted_.begin(), d.deinitStarted_.end(), DeviceOf(open)) !=
                   d.deinitStarted_.end();
        });
        SetLastError(woken ? ERROR_INVALID_HANDLE : ERROR_GEN_FAILURE);
        return 0xFFFFFFFFu;
    }
    if (d.config_.readResult == 0xFFFFFFFFu) {
        SetLastError(d.config_.readError);
        return 0xFFFFFFFFu;
    }
    DWORD count = d.config_.readResult ? d.config_.readResult : n;
    if (buf)
        std::memset(buf, 'r', std::min(count, n));
    return count;
}

DWORD Driver::Write(DWORD_PTR open, LPCVOID buf, DWORD n) {
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    Get().Record({"Write", open, {n}, std::vector<uint8_t>(p, p + (p ? n : 0)), {}});
    return n;
}

DWORD Driver::Seek(DWORD_PTR open, LONG amount, DWORD type) {
    Get().Record(
        {"Seek", open, {static_cast<uint64_t>(static_cast<int64_t>(amount)), type}, {}, {}});
    return 0x5EEC;
}

BOOL Driver::IOControl(DWORD_PTR open, DWORD code, PBYTE in, DWORD inLen, PBYTE out, DWORD outLen,
                       PDWORD actual) {
    Driver& d = Get();
    d.Record(
        {"IOControl",
         open,
         {code, inLen, outLen, reinterpret_cast<uint64_t>(out), reinterpret_cast<uint64_t>(actual)},
         std::vector<uint8_t>(in, in + (in ? inLen : 0)),
         {}});
    Config cfg;
    {
        std::lock_guard<std::mutex> g(d.lock_);
        cfg = d.config_;
    }
    if (!cfg.ioctlResult) {
        SetLastError(cfg.ioctlError);
        return FALSE;
    }
    // Output: bytes 0x40, 0x41, ... so a caller can tell where each came from.
    if (out) {
        for (DWORD i = 0; i < outLen; ++i)
            out[i] = static_cast<BYTE>(0x40 + i);
        if (actual)
            *actual = outLen;
    }
    return TRUE;
}

DWORD Driver::PowerUp(DWORD_PTR ctx) {
    Get().Record({"PowerUp", ctx, {}, {}, {}});
    return 1;
}

DWORD Driver::PowerDown(DWORD_PTR ctx) {
    Get().Record({"PowerDown", ctx, {}, {}, {}});
    return 1;
}

void RegisterStub(const std::string& library, const std::string& prefix, const std::string& omit) {
    std::vector<cehost::LibraryProc> procs = {
        {"_Init", &Driver::Init},       {"_Deinit", &Driver::Deinit},
        {"_Open", &Driver::Open},       {"_Close", &Driver::Close},
        {"_Read", &Driver::Read},       {"_Write", &Driver::Write},
        {"_Seek", &Driver::Seek},       {"_IOControl", &Driver::IOControl},
        {"_PowerUp", &Driver::PowerUp}, {"_PowerDown", &Driver::PowerDown},
    };
    std::vector<cehost::LibraryProc> named;
    for (auto& p : procs) {
        if (prefix + p.name == omit)
            continue;
        p.name = prefix + p.name;
        named.push_back(p);
    }
    cehost::RegisterLibrary(library, named);
}

void WriteDeviceKey(const std::u16string& key, const std::u16string& dll,
                    const std::u16string& prefix) {
    cehost::RegWriteString(key, u"Dll", dll);
    cehost::RegWriteString(key, u"Prefix", prefix);
}

}  // namespace stub
