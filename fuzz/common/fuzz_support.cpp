#include "fuzz_support.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "cehost/core.h"
#include "cehost/counters.h"

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
    // The fuzz executable lives next to the driver library.
    static void* const handle = dlopen(
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "libserlynx.so").c_str(),
        RTLD_NOW);
    if (handle == nullptr)
        Finding("cannot load the driver: %s", dlerror());
}

void CheckCounters(const char* what) {
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        Finding("platform counters after %s: %s", what, cehost::CountersReport().c_str());
}

namespace {

// Installs the driver and serves `model` (comtest::ServeTwice): the
// configured attach's device, 0 when the driver did not take it.
cehost::UsbDeviceId Serve(cehost::UsbBus& bus, const std::shared_ptr<cehost::UsbDeviceModel>& model,
                          const std::function<void(const std::u16string&)>& between) {
    if (!cehost::UsbInstallClient(u"serlynx.dll"))
        Finding("the driver could not be installed");
    return comtest::ServeTwice(bus, model, between);
}

// Opens "COM<kind + 1>:" for reading and writing (kind < 9: one digit); null
// or INVALID_HANDLE_VALUE on failure.
HANDLE OpenCom(int kind) {
    const char16_t name[] = {u'C', u'O', u'M', static_cast<char16_t>(u'1' + kind), u':', 0};
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool Opened(HANDLE h) {
    return h != INVALID_HANDLE_VALUE && h != nullptr;
}

}  // namespace

void AttachAndUse(const std::shared_ptr<cehost::UsbDeviceModel>& model,
                  const std::function<void(const std::u16string&)>& between, const char* what) {
    KeepDriverLoaded();
    cehost::ResetPlatform();
    {
        cehost::UsbBus bus;
        HANDLE h = Serve(bus, model, between) != 0 ? OpenCom(0) : INVALID_HANDLE_VALUE;
        if (Opened(h)) {
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
        if (ids[k] == 0 || !Opened(handles[k] = OpenCom(k)))
            Finding("device kind %d (%s) was not served as COM%d:", k, kKinds[k], k + 1);
    }
}

void Fleet::CheckAfterInput(int kind) {
    if (cehost::MisuseTotal() != 0)
        Finding("misuse: %s", cehost::CountersReport().c_str());
    CloseHandle(handles[kind]);
    if (!Opened(handles[kind] = OpenCom(kind)))
        Finding("port kind %d no longer opens", kind);
}

}  // namespace fuzz
