#include "fuzz_support.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/regfile.h"

namespace fuzz {

void KeepDriverLoaded() {
    static void* handle = [] {
        Dl_info info{};
        std::string dir = ".";
        if (dladdr(reinterpret_cast<void*>(&KeepDriverLoaded), &info) && info.dli_fname) {
            std::string self = info.dli_fname;
            dir = self.substr(0, self.rfind('/'));
        }
        // The fuzz executable lives next to the driver library.
        char exe[4096] = {};
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            std::string path(exe, static_cast<size_t>(n));
            dir = path.substr(0, path.rfind('/'));
        }
        void* h = dlopen((dir + "/libserlynx.so").c_str(), RTLD_NOW);
        if (h == nullptr) {
            std::fprintf(stderr, "fuzz: cannot load the driver: %s\n", dlerror());
            std::abort();
        }
        return h;
    }();
    (void)handle;
}

void Reset() {
    cehost::ResetPlatform();
}

void CheckCounters(const char* what) {
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0) {
        std::fprintf(stderr, "fuzz: platform counters after %s: %s\n", what,
                     cehost::CountersReport().c_str());
        std::abort();
    }
}

bool Serve(cehost::UsbBus& bus, const std::shared_ptr<cehost::UsbDeviceModel>& model,
           cehost::UsbDeviceId* id) {
    *id = 0;
    if (!cehost::UsbInstallClient(u"serlynx.dll"))
        return false;
    cehost::UsbDeviceId first = bus.Plug(model);
    if (first == 0)
        return false;
    *id = bus.Replug(first);
    return *id != 0 && bus.Owner(*id) == u"Serlynx";
}

HANDLE OpenCom() {
    return CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

void ExerciseAndClose(HANDLE h) {
    DWORD written = 0;
    WriteFile(h, "at\r", 3, &written, nullptr);
    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(h, &immediate);
    char buf[16];
    DWORD got = 0;
    ReadFile(h, buf, sizeof buf, &got, nullptr);
    CloseHandle(h);
}

namespace {

const sim::ModelEntry& Entry(int kind) {
    const sim::ModelEntry* entry =
        kind >= 0 && kind < kModelKinds ? sim::FindModel(kKinds[kind]) : nullptr;
    if (entry == nullptr) {
        std::fprintf(stderr, "fuzz: no device model for kind %d\n", kind);
        std::abort();
    }
    return *entry;
}

}  // namespace

std::shared_ptr<cehost::UsbDeviceModel> MakeModel(int kind) {
    return Entry(kind)
        .Make(std::make_shared<sim::LoopbackPlug>(), std::make_shared<sim::LoopbackPlug>())
        .usb;
}

sim::DataPath DataPath(int kind) {
    return sim::DataPathOf(Entry(kind).config);
}

}  // namespace fuzz

namespace fuzz {

std::u16string ComName(int kind) {
    std::string name = "COM" + std::to_string(kind + 1) + ":";
    return std::u16string(name.begin(), name.end());
}

Fleet& Fleet::Get() {
    static Fleet* fleet = new Fleet;  // never destroyed: threads keep running to exit
    return *fleet;
}

Fleet::Fleet() {
    KeepDriverLoaded();
    Reset();
    bus_ = std::make_unique<cehost::UsbBus>();
    for (int k = 0; k < kModelKinds; ++k) {
        models_[k] = std::make_shared<ScriptedModel>(MakeModel(k));
        if (!Serve(*bus_, models_[k], &ids_[k])) {
            std::fprintf(stderr, "fuzz: device kind %d was not served\n", k);
            std::abort();
        }
        handles_[k] = CreateFileW(ComName(k).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (handles_[k] == INVALID_HANDLE_VALUE || handles_[k] == nullptr) {
            std::fprintf(stderr, "fuzz: %s does not open\n", cehost::Utf8(ComName(k)).c_str());
            std::abort();
        }
    }
}

bool Fleet::Reopen(int kind) {
    CloseHandle(handles_[kind]);
    handles_[kind] = CreateFileW(ComName(kind).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    return handles_[kind] != INVALID_HANDLE_VALUE && handles_[kind] != nullptr;
}

void Fleet::CheckAfterInput(int kind) {
    if (cehost::MisuseTotal() != 0) {
        std::fprintf(stderr, "fuzz: misuse: %s\n", cehost::CountersReport().c_str());
        std::abort();
    }
    if (!Reopen(kind)) {
        std::fprintf(stderr, "fuzz: port kind %d no longer opens\n", kind);
        std::abort();
    }
}

}  // namespace fuzz
