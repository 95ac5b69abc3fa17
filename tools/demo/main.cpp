// serlynx-demo: shows the emulated Windows CE platform at work.
//
// It builds a registry, installs a tiny loopback stream driver ("ECHO": what
// is written to it can be read back) as an in-process library, has the device
// manager activate it, talks to it as an application would (CreateFile,
// WriteFile, ReadFile and the Comm API), removes it again and prints the
// registry as .reg text. Exits 0 when every step behaved and the platform
// counted no misuse or leak.
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "ce/windows.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/devmgr.h"
#include "cehost/loader.h"
#include "cehost/regfile.h"

namespace {

// ---- The loopback driver --------------------------------------------------

struct EchoDevice {
    std::mutex lock;
    std::deque<char> loop;  // bytes written and not yet read
    DCB dcb = {};
};

struct EchoOpen {
    EchoDevice* device;
};

DWORD_PTR EchoInit(LPCWSTR, LPCVOID) {
    auto* d = new EchoDevice;
    d->dcb.DCBlength = sizeof(DCB);
    d->dcb.BaudRate = 9600;
    d->dcb.ByteSize = 8;
    return reinterpret_cast<DWORD_PTR>(d);
}

BOOL EchoDeinit(DWORD_PTR ctx) {
    delete reinterpret_cast<EchoDevice*>(ctx);
    return TRUE;
}

DWORD_PTR EchoOpenFn(DWORD_PTR ctx, DWORD, DWORD) {
    return reinterpret_cast<DWORD_PTR>(new EchoOpen{reinterpret_cast<EchoDevice*>(ctx)});
}

BOOL EchoClose(DWORD_PTR open) {
    delete reinterpret_cast<EchoOpen*>(open);
    return TRUE;
}

DWORD EchoRead(DWORD_PTR open, LPVOID buf, DWORD n) {
    EchoDevice* d = reinterpret_cast<EchoOpen*>(open)->device;
    std::lock_guard<std::mutex> g(d->lock);
    DWORD count = 0;
    char* out = static_cast<char*>(buf);
    while (count < n && !d->loop.empty()) {
        out[count++] = d->loop.front();
        d->loop.pop_front();
    }
    return count;
}

DWORD EchoWrite(DWORD_PTR open, LPCVOID buf, DWORD n) {
    EchoDevice* d = reinterpret_cast<EchoOpen*>(open)->device;
    std::lock_guard<std::mutex> g(d->lock);
    const char* in = static_cast<const char*>(buf);
    d->loop.insert(d->loop.end(), in, in + n);
    return n;
}

DWORD EchoSeek(DWORD_PTR, LONG, DWORD) {
    return 0xFFFFFFFFu;
}

BOOL EchoIOControl(DWORD_PTR open, DWORD code, PBYTE in, DWORD inLen, PBYTE out, DWORD outLen,
                   PDWORD actual) {
    EchoDevice* d = reinterpret_cast<EchoOpen*>(open)->device;
    std::lock_guard<std::mutex> g(d->lock);
    switch (code) {
        case IOCTL_PSL_NOTIFY:
            return TRUE;
        case IOCTL_SERIAL_SET_DCB:
            if (!in || inLen < sizeof(DCB))
                break;
            std::memcpy(&d->dcb, in, sizeof(DCB));
            return TRUE;
        case IOCTL_SERIAL_GET_DCB:
            if (!out || !actual || outLen < sizeof(DCB))
                break;
            std::memcpy(out, &d->dcb, sizeof(DCB));
            *actual = sizeof(DCB);
            return TRUE;
        case IOCTL_SERIAL_GET_COMMSTATUS: {
            if (!out || !actual || outLen < sizeof(SERIAL_DEV_STATUS))
                break;
            SERIAL_DEV_STATUS s = {};
            s.ComStat.cbInQue = static_cast<DWORD>(d->loop.size());
            std::memcpy(out, &s, sizeof(s));
            *actual = sizeof(s);
            return TRUE;
        }
        default:
            break;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

DWORD EchoPower(DWORD_PTR) {
    return 1;
}

// ---- The tour ---------------------------------------------------------------

int failures = 0;

void Step(bool ok, const std::string& what) {
    std::printf("  %s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok)
        ++failures;
}

std::string Narrow(const std::u16string& s) {
    return cehost::Utf8(s);
}

}  // namespace

int main() {
    std::printf("Serlynx platform demo: an emulated Windows CE device manager at work.\n\n");
    cehost::ResetPlatform();

    std::printf("1. Registry: describing a loopback device under Drivers\\BuiltIn\\Echo.\n");
    cehost::RegFileError error;
    bool ok = cehost::ImportRegText(
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Echo]\n"
        "\"Dll\"=\"echo.dll\"\n"
        "\"Prefix\"=\"ECHO\"\n"
        "\"FriendlyName\"=\"Loopback test port\"\n",
        &error);
    Step(ok, ok ? "imported a .reg text naming library echo.dll and prefix ECHO"
                : "the .reg text was refused: " + error.ToString());

    std::printf("\n2. Loader: registering echo.dll, a driver built into this program.\n");
    cehost::RegisterLibrary("echo.dll", {{"ECHO_Init", &EchoInit},
                                         {"ECHO_Deinit", &EchoDeinit},
                                         {"ECHO_Open", &EchoOpenFn},
                                         {"ECHO_Close", &EchoClose},
                                         {"ECHO_Read", &EchoRead},
                                         {"ECHO_Write", &EchoWrite},
                                         {"ECHO_Seek", &EchoSeek},
                                         {"ECHO_IOControl", &EchoIOControl},
                                         {"ECHO_PowerUp", &EchoPower},
                                         {"ECHO_PowerDown", &EchoPower}});

    std::printf("\n3. Device manager: activating the device.\n");
    HANDLE device = ActivateDevice(u"Drivers\\BuiltIn\\Echo", 0);
    Step(device != nullptr, "ActivateDevice returned an activation handle");
    auto active = cehost::ActiveDevices();
    std::u16string activeKey = active.empty() ? u"" : active[0].activeKey;
    if (!active.empty()) {
        std::printf("       it is now %s, described by this active key:\n\n%s\n",
                    Narrow(active[0].name).c_str(), cehost::ExportRegText(activeKey).c_str());
    }

    std::printf("4. Application: opening ECHO1: and talking to it.\n");
    HANDLE port =
        CreateFileW(u"ECHO1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Step(port != INVALID_HANDLE_VALUE, "CreateFile(\"ECHO1:\") opened the port");

    // Each call runs before its line is printed, so the line can show results.
    DCB dcb = {};
    ok = GetCommState(port, &dcb);
    dcb.BaudRate = 115200;
    ok = ok && SetCommState(port, &dcb);
    DCB check = {};
    ok = ok && GetCommState(port, &check) && check.BaudRate == 115200;
    Step(ok, "SetCommState: the port now runs at " + std::to_string(check.BaudRate) + " baud");

    const char message[] = "Hello from the emulated platform";
    DWORD written = 0;
    ok = WriteFile(port, message, sizeof(message) - 1, &written, nullptr) &&
         written == sizeof(message) - 1;
    Step(ok, "WriteFile sent " + std::to_string(written) + " bytes");

    DWORD errors = 0;
    COMSTAT stat = {};
    ok = ClearCommError(port, &errors, &stat) && stat.cbInQue == written;
    Step(ok, "ClearCommError: " + std::to_string(stat.cbInQue) + " bytes wait to be read");

    char buffer[64] = {};
    DWORD got = 0;
    ok = ReadFile(port, buffer, sizeof(buffer) - 1, &got, nullptr) && got == written &&
         std::string(buffer) == message;
    Step(ok, "ReadFile returned \"" + std::string(buffer, got) + "\"");

    Step(CloseHandle(port), "CloseHandle closed the port");

    std::printf("\n5. Device manager: removing the device.\n");
    Step(DeactivateDevice(device), "DeactivateDevice ran ECHO_Deinit");
    Step(!activeKey.empty() && !cehost::RegKeyExists(activeKey), "its active key is gone");
    HANDLE again = CreateFileW(u"ECHO1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Step(again == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND,
         "ECHO1: can no longer be opened");

    std::printf("\n6. The whole registry as .reg text:\n\n%s", cehost::ExportRegText().c_str());

    cehost::SweepLeaks();
    ok = cehost::MisuseTotal() == 0 && cehost::LeakTotal() == 0;
    Step(ok, "the platform counted no misuse and no leak (" + cehost::CountersReport() + ")");
    std::printf("\n%s\n", failures == 0 ? "Everything worked." : "Some steps failed.");
    return failures == 0 ? 0 : 1;
}
