// The emulated loader. A library name resolves, in this order, to a table of
// entry points registered in-process, or to "lib<stem>.so" on the configured
// search path or next to the executable. One recursive lock (the loader lock)
// guards the module table and is held while a load handler runs, so a load
// handler may call GetModuleHandleW, GetProcAddressW and
// DisableThreadLibraryCalls but must not wait for another thread that loads.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ce/heap.h"
#include "ce/loader.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/loader.h"
#include "cehost/utf.h"
#include "devmgr/wide.h"

namespace {

using cedevmgr::LowerAscii;

// Module handles are tokens, never pointers: a stale one is recognised.
constexpr uintptr_t kCoredllModule = 0x6C000000u;
constexpr uintptr_t kModuleBase = 0x6D000000u;
constexpr uintptr_t kModuleStride = 0x1000u;

struct InProcessLibrary {
    std::vector<cehost::LibraryProc> procs;
    PFN_DLLMAIN dllMain = nullptr;
};

struct Module {
    std::string name;  // normalised: lower case, with extension
    void* dl = nullptr;
    std::vector<cehost::LibraryProc> procs;
    PFN_DLLMAIN dllMain = nullptr;
    int refs = 0;
};

struct LoaderState {
    std::recursive_mutex lock;
    std::map<uintptr_t, Module> modules;
    uintptr_t nextId = 1;
    std::map<std::string, InProcessLibrary> registered;
    std::set<std::string> hiddenCoredll;
    std::map<std::string, int> disabledCalls;
    int disabledTotal = 0;
    std::string libraryPath;
};

LoaderState& State() {
    static LoaderState* state = new LoaderState;  // outlives every static destructor
    return *state;
}

// "\Windows\Serlynx.DLL" -> "serlynx.dll"; a name without extension gets ".dll".
std::string NormaliseName(const std::string& raw) {
    std::string name = raw;
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    name = LowerAscii(name);
    if (name.find('.') == std::string::npos)
        name += ".dll";
    return name;
}

std::string SharedObjectName(const std::string& normalised) {
    std::string stem = normalised;
    if (stem.size() > 3 && stem.compare(stem.size() - 3, 3, ".so") == 0)
        return stem;
    size_t dot = stem.rfind('.');
    if (dot != std::string::npos)
        stem = stem.substr(0, dot);
    return "lib" + stem + ".so";
}

std::vector<std::string> SearchDirs(const LoaderState& s) {
    std::vector<std::string> dirs;
    std::string path = s.libraryPath;
    if (path.empty()) {
        const char* env = std::getenv("SERLYNX_LIBRARY_PATH");
        if (env)
            path = env;
    }
    size_t start = 0;
    while (start <= path.size() && !path.empty()) {
        size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? colon : colon - start);
        if (!dir.empty())
            dirs.push_back(dir);
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n > 0) {
        std::string self(exe, static_cast<size_t>(n));
        size_t slash = self.rfind('/');
        if (slash != std::string::npos)
            dirs.push_back(self.substr(0, slash));
    }
    return dirs;
}

void* OpenSharedObject(const LoaderState& s, const std::string& rawName,
                       const std::string& normalised) {
    if (rawName.find('/') != std::string::npos) {
        return dlopen(rawName.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    std::string file = SharedObjectName(normalised);
    for (const auto& dir : SearchDirs(s)) {
        std::string full = dir + "/" + file;
        if (access(full.c_str(), F_OK) != 0)
            continue;
        if (void* dl = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL))
            return dl;
    }
    return nullptr;
}

Module* FindModule(LoaderState& s, HMODULE h) {
    auto it = s.modules.find(reinterpret_cast<uintptr_t>(h));
    return it == s.modules.end() ? nullptr : &it->second;
}

Module* FindModuleByName(LoaderState& s, const std::string& normalised, uintptr_t* value) {
    for (auto& [v, m] : s.modules) {
        if (m.name == normalised) {
            *value = v;
            return &m;
        }
    }
    return nullptr;
}

void* LookupProc(const Module& m, const std::string& name) {
    if (m.dl)
        return dlsym(m.dl, name.c_str());
    for (const auto& p : m.procs) {
        if (p.name == name)
            return p.address;
    }
    return nullptr;
}

// The procedures of the platform's own library that drivers look up by name.
void* CoredllProc(const std::string& name) {
    static const std::map<std::string, void*> procs = {
        {"DisableThreadLibraryCalls", reinterpret_cast<void*>(&DisableThreadLibraryCalls)},
        {"CeGetThreadPriority", reinterpret_cast<void*>(&CeGetThreadPriority)},
        {"CeSetThreadPriority", reinterpret_cast<void*>(&CeSetThreadPriority)},
        {"GetThreadPriority", reinterpret_cast<void*>(&GetThreadPriority)},
        {"SetThreadPriority", reinterpret_cast<void*>(&SetThreadPriority)},
        {"GetTickCount", reinterpret_cast<void*>(&GetTickCount)},
        {"Sleep", reinterpret_cast<void*>(&Sleep)},
        {"GetLastError", reinterpret_cast<void*>(&GetLastError)},
        {"SetLastError", reinterpret_cast<void*>(&SetLastError)},
        {"LocalAlloc", reinterpret_cast<void*>(&LocalAlloc)},
        {"LocalFree", reinterpret_cast<void*>(&LocalFree)},
        {"LoadLibraryW", reinterpret_cast<void*>(&LoadLibraryW)},
        {"FreeLibrary", reinterpret_cast<void*>(&FreeLibrary)},
        {"GetProcAddressW", reinterpret_cast<void*>(&GetProcAddressW)},
        {"GetModuleHandleW", reinterpret_cast<void*>(&GetModuleHandleW)},
    };
    auto it = procs.find(name);
    return it == procs.end() ? nullptr : it->second;
}

bool IsCoredllName(const std::string& normalised) {
    return normalised == "coredll.dll";
}

void ResetLoader() {
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.registered.clear();
    s.hiddenCoredll.clear();
    s.disabledCalls.clear();
    s.disabledTotal = 0;
    s.libraryPath.clear();
    // Tables registered by the test are gone; forget modules built from them.
    // Real shared objects stay mapped (threads of a test may have ended in
    // them) but are no longer known, so the next load attaches afresh.
    s.modules.clear();
}

struct ResetRegistration {
    ResetRegistration() { cehost::RegisterResetHook(&ResetLoader); }
} resetRegistration;

}  // namespace

CEAPI HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    cehost::PlatformEntry platformCall;
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string raw = cehost::Utf8(lpLibFileName);
    std::string name = NormaliseName(raw);
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (IsCoredllName(name))
        return reinterpret_cast<HMODULE>(kCoredllModule);
    uintptr_t value = 0;
    if (Module* m = FindModuleByName(s, name, &value)) {
        ++m->refs;
        return reinterpret_cast<HMODULE>(value);
    }
    Module m;
    m.name = name;
    m.refs = 1;
    auto reg = s.registered.find(name);
    if (reg != s.registered.end()) {
        m.procs = reg->second.procs;
        m.dllMain = reg->second.dllMain;
    } else {
        m.dl = OpenSharedObject(s, raw, name);
        if (!m.dl) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        // The same file reached under another name ("x.dll", "/dir/libx.so")
        // is the same module: one record, one load handler call.
        for (auto& [v, other] : s.modules) {
            if (other.dl == m.dl) {
                dlclose(m.dl);
                ++other.refs;
                return reinterpret_cast<HMODULE>(v);
            }
        }
        m.dllMain = reinterpret_cast<PFN_DLLMAIN>(dlsym(m.dl, "DllMain"));
    }
    value = kModuleBase + s.nextId++ * kModuleStride;
    PFN_DLLMAIN dllMain = m.dllMain;
    s.modules.emplace(value, std::move(m));
    HMODULE h = reinterpret_cast<HMODULE>(value);
    if (dllMain && !dllMain(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_ATTACH, nullptr)) {
        dllMain(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_DETACH, nullptr);
        auto it = s.modules.find(value);
        if (it != s.modules.end()) {
            if (it->second.dl)
                dlclose(it->second.dl);
            s.modules.erase(it);
        }
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    return h;
}

CEAPI BOOL FreeLibrary(HMODULE hLibModule) {
    cehost::PlatformEntry platformCall;
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (reinterpret_cast<uintptr_t>(hLibModule) == kCoredllModule)
        return TRUE;
    Module* m = FindModule(s, hLibModule);
    if (!m) {
        cehost::CountMisuse("loader.module.invalid");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--m->refs > 0)
        return TRUE;
    if (m->dllMain)
        m->dllMain(reinterpret_cast<HINSTANCE>(hLibModule), DLL_PROCESS_DETACH, nullptr);
    // The load handler may have looked modules up; find the record again.
    auto it = s.modules.find(reinterpret_cast<uintptr_t>(hLibModule));
    if (it != s.modules.end()) {
        if (it->second.dl)
            dlclose(it->second.dl);
        s.modules.erase(it);
    }
    return TRUE;
}

CEAPI HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    cehost::PlatformEntry platformCall;
    if (!lpModuleName || !*lpModuleName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name = NormaliseName(cehost::Utf8(lpModuleName));
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (IsCoredllName(name))
        return reinterpret_cast<HMODULE>(kCoredllModule);
    uintptr_t value = 0;
    if (FindModuleByName(s, name, &value))
        return reinterpret_cast<HMODULE>(value);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

CEAPI FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
    cehost::PlatformEntry platformCall;
    // Small values are ordinals, which no library here exports.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(lpProcName ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name = cehost::Utf8(lpProcName);
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    void* proc = nullptr;
    if (reinterpret_cast<uintptr_t>(hModule) == kCoredllModule) {
        if (!s.hiddenCoredll.count(name))
            proc = CoredllProc(name);
    } else {
        Module* m = FindModule(s, hModule);
        if (!m) {
            cehost::CountMisuse("loader.module.invalid");
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        proc = LookupProc(*m, name);
    }
    if (!proc) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(proc);
}

CEAPI BOOL DisableThreadLibraryCalls(HMODULE hLibModule) {
    cehost::PlatformEntry platformCall;
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    Module* m = FindModule(s, hLibModule);
    if (!m) {
        cehost::CountMisuse("loader.module.invalid");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ++s.disabledCalls[m->name];
    ++s.disabledTotal;
    return TRUE;
}

namespace cehost {

void RegisterLibrary(const std::string& name, const std::vector<LibraryProc>& procs,
                     PFN_DLLMAIN dllMain) {
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.registered[NormaliseName(name)] = InProcessLibrary{procs, dllMain};
}

void UnregisterLibrary(const std::string& name) {
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.registered.erase(NormaliseName(name));
}

void SetLibraryPath(const std::string& dirs) {
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.libraryPath = dirs;
}

void HideCoredllProc(const std::string& name) {
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.hiddenCoredll.insert(name);
}

void RestoreCoredllProcs() {
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    s.hiddenCoredll.clear();
}

int LibraryRefCount(const std::string& name) {
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    uintptr_t value = 0;
    Module* m = FindModuleByName(s, NormaliseName(name), &value);
    return m ? m->refs : 0;
}

int ThreadLibraryCallsDisabled(const std::string& name) {
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    auto it = s.disabledCalls.find(NormaliseName(name));
    return it == s.disabledCalls.end() ? 0 : it->second;
}

int DisableThreadLibraryCallsTotal() {
    LoaderState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    return s.disabledTotal;
}

}  // namespace cehost
