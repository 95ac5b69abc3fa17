// The guest side of the USB machine tests (tests/usbvm/run.py is the host
// side): the real driver on a real device of the guest, through the
// platform's bus of real devices, exactly as `serlynx serve --usb` runs it.
//
//   usbvm_agent VID:PID[@PORT|#N] host|TTY[,TTY...] BYTES [UDC-FILE UDC-NAME]
//
// One run is one device's whole story: the first attach (the driver
// configures the device) and the configured attach (the driver serves it
// as COMn:), BYTES random bytes each way checked exactly against the far
// end, the device unplugged while a read, a write and a comm-event wait are
// blocked (each must return, and the platform must count no misuse or
// leak), the device plugged again and served again with exact data, and
// finally given back to the kernel.
//
// The far end of the serial line is a tty of the guest (a gadget's
// /dev/ttyGSn; of several, the one that hears the port) or the host
// ("host": QEMU's FTDI chip writes to a host pty), which then checks and
// sends the data and reads back the line settings the chip applied at
// standard rates. UDC-FILE and UDC-NAME unplug and replug a gadget by
// writing its UDC file; without them the host does (QEMU's device_del and
// device_add).
//
// Protocol with the host on stdin/stdout, one line each:
//   "@ready WHAT ARGS"  the agent is ready for the host's part of WHAT;
//   "@wait WHAT ARGS"   ... and waits for the host's reply line;
//   "@result KEY VALUE" a figure or finding;
//   "@fail TEXT"        a check failed (the run goes on where it can);
//   "@done ok|fail".
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ce/windows.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/devmgr.h"
#include "cehost/usb_bus.h"
#include "cehost/usb_real.h"
#include "cehost/utf.h"
#include "platform.h"

namespace {

using Clock = std::chrono::steady_clock;
using Data = std::vector<uint8_t>;

bool gFailed = false;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Fail(const std::string& text) {
    gFailed = true;
    Say("@fail %s", text.c_str());
}

std::string WaitHost(const std::string& what) {
    Say("@wait %s", what.c_str());
    std::string line;
    std::getline(std::cin, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    return line;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The data both sides derive from a seed (xorshift32, one byte a step).
Data Pattern(uint32_t seed, size_t n) {
    Data out(n);
    uint32_t x = seed ? seed : 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = uint8_t(x);
    }
    return out;
}

// "" when `got` is `want`, else where they part.
std::string Compare(const Data& want, const Data& got) {
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i])
        i++;
    return got == want
               ? ""
               : "got " + std::to_string(got.size()) + " of " + std::to_string(want.size()) +
                     " bytes, first difference at " + std::to_string(i);
}

int OpenRawTty(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

// Reads until `n` bytes came or nothing came for `idleMs`.
Data ReadFd(int fd, size_t n, int idleMs) {
    Data got;
    uint8_t buf[4096];
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, idleMs) <= 0)
            break;
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

bool WriteFd(int fd, const Data& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t r = write(fd, data.data() + done, data.size() - done);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        } else if (r <= 0) {
            return false;
        } else {
            done += size_t(r);
        }
    }
    return true;
}

Data ReadCom(HANDLE h, size_t n, int idleMs) {
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, DWORD(idleMs), 0, 0};
    SetCommTimeouts(h, &t);
    Data got, buf(16384);
    while (got.size() < n) {
        DWORD r = 0;
        if (!ReadFile(h, buf.data(), DWORD(std::min(buf.size(), n - got.size())), &r, nullptr) ||
            r == 0)
            break;
        got.insert(got.end(), buf.begin(), buf.begin() + r);
    }
    return got;
}

bool WriteCom(HANDLE h, const Data& data) {
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 10000};
    SetCommTimeouts(h, &t);
    for (size_t done = 0; done < data.size();) {
        DWORD chunk = DWORD(std::min<size_t>(data.size() - done, 16384)), w = 0;
        if (!WriteFile(h, data.data() + done, chunk, &w, nullptr) || w == 0)
            return false;
        done += w;
    }
    return true;
}

// Misuse or leaks the platform counted, as a failure.
void CheckCounters(const char* when) {
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        Fail(std::string(when) +
             " the platform counted misuse or leaks: " + cehost::CountersReport());
}

struct Options {
    std::string selector, udcFile, udcName;
    std::vector<std::string> far;
    bool farHost = false, rates = false;
    size_t bytes = 256 * 1024;
    uint32_t seed = 1;
};

// The run's state; everything runs on the main thread but for the
// blocked calls of Unplug and the readers of Transfer.
struct State {
    Options o;
    cehost::UsbBus bus{cehost::UsbTiming::kReal};
    cehost::RealUsbDevice device;
    std::shared_ptr<cehost::RealUsbDeviceModel> model;
    cehost::UsbDeviceId id = 0;
    std::string comName;
    HANDLE com = INVALID_HANDLE_VALUE;
    int far = -1;  // the far tty in the guest
};
State* g;

void SetLine(DWORD baud, BYTE stop, bool xonxoff) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(g->com, &dcb);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = stop;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = xonxoff ? TRUE : FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!SetCommState(g->com, &dcb))
        Fail("SetCommState " + std::to_string(baud) + " refused");
}

bool FindDevice(int waitMs) {
    cehost::RealUsbSelector s;
    std::string error;
    if (!cehost::ParseRealUsbSelector(g->o.selector, &s, &error)) {
        Fail(error);
        return false;
    }
    for (const auto until = Clock::now() + std::chrono::milliseconds(waitMs);;) {
        auto devices = cehost::ListRealUsbDevices();
        const int at = cehost::SelectRealUsbDevice(devices, s, &error);
        if (at >= 0) {
            g->device = devices[size_t(at)];
            g->model = std::make_shared<cehost::RealUsbDeviceModel>(g->device);
            return true;
        }
        if (Clock::now() > until) {
            Fail(error);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// The kernel drivers bound to the device's interfaces now ("usbfs" while
// this process holds it), without their interface names.
std::vector<std::string> KernelDrivers() {
    cehost::RealUsbDevice now;
    std::vector<std::string> drivers;
    if (cehost::ReadRealUsbDevice("/sys/bus/usb/devices", g->device.port, &now)) {
        for (const std::string& d : now.drivers)
            drivers.push_back(d.substr(d.find(' ') + 1));
    }
    return drivers;
}

bool Attach(bool first) {
    if (first) {
        Say("@result device %s", cehost::DescribeRealUsbDevice(g->device).c_str());
        if (!cehost::UsbInstallClient(serlynx::kDriverLibrary)) {
            Fail("the driver library could not be installed");
            return false;
        }
        cehost::UsbDeviceId id = g->bus.Plug(g->model);
        if (id == 0) {
            Fail("first attach: " + g->model->ErrorText());
            return false;
        }
        serlynx::DeviceKey key =
            serlynx::ReadDeviceKey(serlynx::DeviceKeyPath(g->model->DeviceDescriptor()));
        if (!key.present) {
            Fail("the first attach wrote no device key");
            g->bus.Unplug(id);
            return false;
        }
        Say("@result port-type %s", serlynx::PortTypeText(key.usbMode).c_str());
        Say("@result endpoints %s", serlynx::EndpointsText(key).c_str());
        Say("@result friendly-name %s", key.friendlyName.c_str());
        // While it is ours, no kernel driver may be bound to it.
        for (const std::string& d : KernelDrivers())
            if (d != "usbfs")
                Fail("a kernel driver is bound while the device is served: " + d);
        g->id = g->bus.Replug(id);
    } else {
        g->id = g->bus.Plug(g->model);
    }
    if (g->id == 0 || g->bus.Owner(g->id) != u"Serlynx") {
        Fail("the driver did not take the device on its configured attach: " +
             g->model->ErrorText());
        return false;
    }
    g->comName.clear();
    for (const auto& a : cehost::ActiveDevices())
        if (a.name.rfind(u"COM", 0) == 0 && !a.removing)
            g->comName = cehost::Utf8(a.name);
    g->com = CreateFileW(cehost::Utf16(g->comName).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
    if (g->comName.empty() || g->com == INVALID_HANDLE_VALUE) {
        Fail("no COM port appeared, or \"" + g->comName + "\" could not be opened");
        return false;
    }
    Say("@result served %s", g->comName.c_str());
    SetLine(115200, ONESTOPBIT, false);
    return true;
}

void ClosePort() {
    if (g->com != INVALID_HANDLE_VALUE)
        CloseHandle(g->com);
    g->com = INVALID_HANDLE_VALUE;
}

// Of several far ttys, the one on which bytes written to the port arrive.
bool PickFar() {
    if (g->o.farHost || g->far >= 0)
        return true;
    std::vector<int> fds;
    for (const std::string& path : g->o.far)
        fds.push_back(OpenRawTty(path));
    const Data probe{'w', 'h', 'i', 'c', 'h', '?'};
    if (!WriteCom(g->com, probe))
        Fail("the probe write failed");
    for (size_t i = 0; i < fds.size(); i++) {
        if (g->far < 0 && fds[i] >= 0 &&
            ReadFd(fds[i], probe.size(), fds.size() == 1 ? 3000 : 1500) == probe) {
            g->far = fds[i];
            Say("@result far-end %s", g->o.far[i].c_str());
        } else if (fds[i] >= 0) {
            close(fds[i]);
        }
    }
    if (g->far < 0)
        Fail("none of the far ttys received what the port sent");
    return g->far >= 0;
}

// N bytes from the port to the far end and N others back, both checked
// exactly; the far end is the host's pty with --far-host.
void Transfer(size_t bytes, uint32_t seed, const char* when) {
    if (!PickFar())
        return;
    const Data out = Pattern(seed, bytes), in = Pattern(seed + 1, bytes);
    const std::string n = std::to_string(bytes) + " ";
    auto check = [&](const char* way, const std::string& verdict, Clock::time_point t0) {
        if (!verdict.empty())
            Fail(std::string(when) + ": " + way + ": " + verdict);
        else
            Say("@result %s-%s-bytes-per-s %.0f", when, way,
                bytes * 1000.0 / Ms(Clock::now() - t0));
    };
    auto t0 = Clock::now();
    if (g->o.farHost) {
        if (WaitHost("data-out " + n + std::to_string(seed)) != "go")
            Fail("the host is not ready for data");
        t0 = Clock::now();
        if (!WriteCom(g->com, out))
            Fail(std::string(when) + ": a write to the port failed");
        const std::string verdict = WaitHost("data-out-done");
        check("out", verdict == "ok" ? "" : verdict, t0);
    } else {
        Data got;
        std::thread reader([&] { got = ReadFd(g->far, bytes, 5000); });
        if (!WriteCom(g->com, out))
            Fail(std::string(when) + ": a write to the port failed");
        reader.join();
        check("out", Compare(out, got), t0);
    }
    Data got;
    t0 = Clock::now();
    std::thread reader([&] { got = ReadCom(g->com, bytes, 5000); });
    if (g->o.farHost)
        Say("@ready data-in %s%u", n.c_str(), seed + 1);
    else if (!WriteFd(g->far, in))
        Fail(std::string(when) + ": a write to the far tty failed");
    reader.join();
    check("in", Compare(in, got), t0);
}

// Every standard rate with one and with two stop bits; the host reads back what
// the chip made of each from its pty.
void Rates() {
    for (DWORD rate : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600,
                       115200, 128000, 230400, 256000, 460800, 921600}) {
        for (BYTE stop : {BYTE(ONESTOPBIT), BYTE(TWOSTOPBITS)}) {
            SetLine(rate, stop, false);
            const std::string line =
                "line " + std::to_string(rate) + (stop == TWOSTOPBITS ? " 2" : " 1");
            const std::string reply = WaitHost(line);
            if (reply != "ok")
                Fail(line + ": " + reply);
        }
    }
    SetLine(115200, ONESTOPBIT, false);
}

// A read, a write held by XOFF and a comm-event wait are blocked when the
// device goes; each must return within 1.5 s, and nothing may leak.
void Unplug() {
    if (!PickFar())
        return;
    SetLine(115200, ONESTOPBIT, true);
    // The far end stops the port's output.
    if (g->o.farHost ? WaitHost("xoff") != "go" : !WriteFd(g->far, Data{0x13}))
        Fail("XOFF could not be sent");
    // The XOFF is taken by the receive side, not given to readers.
    for (int i = 0; i < 50; i++) {
        DWORD errors = 0;
        COMSTAT stat{};
        ClearCommError(g->com, &errors, &stat);
        if (stat.fXoffHold)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    COMMTIMEOUTS forever{0, 0, 0, 0, 0};
    SetCommTimeouts(g->com, &forever);
    SetCommMask(g->com, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR);
    uint8_t in[64], out[64] = {'x'};
    DWORD got = 0, put = 0, events = 0;
    const std::pair<const char*, std::function<BOOL()>> calls[] = {
        {"read", [&] { return ReadFile(g->com, in, sizeof in, &got, nullptr); }},
        {"write", [&] { return WriteFile(g->com, out, sizeof out, &put, nullptr); }},
        {"wait", [&] { return WaitCommEvent(g->com, &events, nullptr); }},
    };
    std::atomic<int> returned{0};
    Clock::time_point ends[3];
    BOOL results[3] = {};
    DWORD errors[3] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; i++) {
        threads.emplace_back([&, i] {
            results[i] = calls[i].second();
            errors[i] = GetLastError();
            ends[i] = Clock::now();
            ++returned;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (returned != 0)
        Fail("a blocked call returned before the unplug");
    const auto t0 = Clock::now();
    if (!g->o.udcFile.empty())
        std::ofstream(g->o.udcFile) << "\n";
    else if (WaitHost("unplug") != "go")
        Fail("the host did not unplug the device");
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < 3; i++) {
        const double ms = Ms(ends[i] - t0);
        Say("@result unplug-%s-returned-ms %.0f (result %d, error %u)", calls[i].first, ms,
            results[i], unsigned(errors[i]));
        if (ms > 1500)
            Fail(std::string("the blocked ") + calls[i].first + " returned after " +
                 std::to_string(int(ms)) + " ms");
    }
    if (!g->bus.WaitUnplugged(g->id, 5000))
        Fail("the removal did not finish");
    ClosePort();
    for (const auto& a : cehost::ActiveDevices())
        if (cehost::Utf8(a.name) == g->comName)
            Fail(g->comName + " is still active after the removal");
    CheckCounters("after the unplug");
}

void Replug() {
    // A gadget's tty hung up with the disconnect: open it again.
    if (g->far >= 0)
        close(g->far);
    g->far = -1;
    if (!g->o.udcFile.empty())
        std::ofstream(g->o.udcFile) << g->o.udcName << "\n";
    else if (WaitHost("replug") != "go")
        Fail("the host did not plug the device again");
    if (FindDevice(15000) && Attach(false))
        Transfer(64 * 1024, g->o.seed + 100, "replug");
}

// At the end the device goes back to the kernel's drivers.
void GiveBack() {
    ClosePort();
    g->bus.Unplug(g->id);
    std::vector<std::string> before;
    for (const std::string& d : g->device.drivers)
        before.push_back(d.substr(d.find(' ') + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<std::string> after = KernelDrivers();
    if (after != before)
        Fail("the kernel drivers were not given back");
    for (const std::string& d : after)
        Say("@result given-back %s", d.c_str());
}

int Run() {
    cehost::ResetPlatform();
    if (!FindDevice(10000) || !Attach(true)) {
        Say("@done fail");
        return 1;
    }
    Transfer(g->o.bytes, g->o.seed, "first");
    if (g->o.rates)
        Rates();
    Unplug();
    Replug();
    GiveBack();
    if (g->far >= 0)
        close(g->far);
    CheckCounters("at the end");
    Say("@done %s", gFailed ? "fail" : "ok");
    return gFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr,
                     "usage: usbvm_agent VID:PID[@PORT|#N] host|TTY[,TTY...] BYTES "
                     "[UDC-FILE UDC-NAME]\n");
        return 2;
    }
    State state;
    g = &state;
    Options& o = state.o;
    o.selector = argv[1];
    o.farHost = o.rates = std::string(argv[2]) == "host";
    std::stringstream far(argv[2]);
    for (std::string tty; !o.farHost && std::getline(far, tty, ',');)
        o.far.push_back(tty);
    o.bytes = std::strtoul(argv[3], nullptr, 10);
    if (argc == 6) {
        o.udcFile = argv[4];
        o.udcName = argv[5];
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return Run();
}
