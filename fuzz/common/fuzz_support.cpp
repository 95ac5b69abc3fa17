#include "fuzz_support.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/utf.h"

namespace fuzz {

void Finding(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("fuzz: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

void KeepDriverLoaded() {
    static void* handle = [] {
        // The fuzz executable lives next to the driver library.
        char exe[4096] = {};
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
        path = path.substr(0, path.rfind('/') + 1) + "libserlynx.so";
        void* h = dlopen(path.c_str(), RTLD_NOW);
        if (h == nullptr)
            Finding("cannot load the driver: %s", dlerror());
        return h;
    }();
    (void)handle;
}

void CheckCounters(const char* what) {
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        Finding("platform counters after %s: %s", what, cehost::CountersReport().c_str());
}

HANDLE OpenCom(const std::u16string& name) {
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

namespace {

// Installs the driver, plugs the model for its first attach, runs `between`
// and plugs it again: the configured attach's device, 0 when the driver did
// not take it.
cehost::UsbDeviceId Serve(cehost::UsbBus& bus, const std::shared_ptr<cehost::UsbDeviceModel>& model,
                          const std::function<void()>& between) {
    if (!cehost::UsbInstallClient(u"serlynx.dll"))
        Finding("the driver could not be installed");
    cehost::UsbDeviceId first = bus.Plug(model);
    if (between)
        between();
    cehost::UsbDeviceId id = first != 0 ? bus.Replug(first) : 0;
    return id != 0 && bus.Owner(id) == u"Serlynx" ? id : 0;
}

std::u16string ComName(int kind) {  // kind < 9: one digit
    return u"COM" + std::u16string(1, static_cast<char16_t>(u'1' + kind)) + u":";
}

}  // namespace

void AttachAndUse(const std::shared_ptr<cehost::UsbDeviceModel>& model,
                  const std::function<void()>& between, const char* what) {
    KeepDriverLoaded();
    cehost::ResetPlatform();
    {
        cehost::UsbBus bus;
        HANDLE h = Serve(bus, model, between) != 0 ? OpenCom() : INVALID_HANDLE_VALUE;
        if (h != INVALID_HANDLE_VALUE && h != nullptr) {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            GetCommState(h, &dcb);
            SetCommState(h, &dcb);
            DWORD done = 0;
            WriteFile(h, "at\r", 3, &done, nullptr);
            COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
            SetCommTimeouts(h, &immediate);
            char buf[16];
            ReadFile(h, buf, sizeof buf, &done, nullptr);
            CloseHandle(h);
        }
    }  // the bus unplugs every device
    CheckCounters(what);
}

Fleet& Fleet::Get() {
    static Fleet* fleet = new Fleet;  // never destroyed: threads keep running to exit
    return *fleet;
}

Fleet::Fleet() {
    KeepDriverLoaded();
    cehost::ResetPlatform();
    bus = std::make_unique<cehost::UsbBus>();
    for (int k = 0; k < kModelKinds; ++k) {
        models[k] = std::make_shared<ScriptedModel>(badtest::MakeChip(kKinds[k]));
        ids[k] = Serve(*bus, models[k], nullptr);
        handles[k] = OpenCom(ComName(k));
        if (ids[k] == 0 || handles[k] == INVALID_HANDLE_VALUE || handles[k] == nullptr)
            Finding("device kind %d was not served as %s", k, cehost::Utf8(ComName(k)).c_str());
    }
}

void Fleet::CheckAfterInput(int kind) {
    if (cehost::MisuseTotal() != 0)
        Finding("misuse: %s", cehost::CountersReport().c_str());
    CloseHandle(handles[kind]);
    handles[kind] = OpenCom(ComName(kind));
    if (handles[kind] == INVALID_HANDLE_VALUE || handles[kind] == nullptr)
        Finding("port kind %d no longer opens", kind);
}

}  // namespace fuzz
