// The guest side of the USB machine tests (tests/usbvm/run.py is the host
// side): the real driver on a real device of the guest, through the
// platform's bus of real devices, exactly as `serlynx serve --usb` runs it.
//
//   usbvm_agent SELECTOR [--far TTY[,TTY...] | --far-host] [--bytes N]
//               [--udc FILE NAME] [--rates] [--seed S] [--capture FILE.pcap]
//
// One run is one device's whole story: the first attach (the driver
// configures the device) and the configured attach (the driver serves it
// as COMn:), N random bytes each way checked exactly against the far end,
// the line settings at every standard rate (--rates: the host reads back
// what the chip applied), the device unplugged while a read, a write and a
// comm-event wait are blocked (each must return within 1.5 s, and the
// platform must count no misuse or leak), the device plugged again and
// served again with exact data, and finally given back to the kernel.
//
// The far end of the serial line is a tty of the guest (a gadget's
// /dev/ttyGSn; of several, the one that hears the port) or, with
// --far-host, the host (QEMU's FTDI chip writes to a host pty): the host
// then checks and sends the data. --udc FILE NAME unplugs and replugs a
// gadget by writing its UDC file; without it the host does (QEMU's
// device_del and device_add).
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

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ce/windows.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/devmgr.h"
#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "cehost/usb_real.h"
#include "platform.h"

namespace {

using Clock = std::chrono::steady_clock;

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
    if (!std::getline(std::cin, line))
        return "";
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    return line;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The data both sides derive from a seed (xorshift32, one byte a step).
std::vector<uint8_t> Pattern(uint32_t seed, size_t n) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed ? seed : 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = uint8_t(x);
    }
    return out;
}

std::string FirstDifference(const std::vector<uint8_t>& want, const std::vector<uint8_t>& got) {
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i])
        i++;
    return "got " + std::to_string(got.size()) + " of " + std::to_string(want.size()) +
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
std::vector<uint8_t> ReadFd(int fd, size_t n, int idleMs) {
    std::vector<uint8_t> got;
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

bool WriteFd(int fd, const uint8_t* data, size_t n) {
    while (n) {
        ssize_t r = write(fd, data, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (r <= 0)
            return false;
        data += r;
        n -= size_t(r);
    }
    return true;
}

std::vector<uint8_t> ReadCom(HANDLE h, size_t n, int idleMs) {
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, DWORD(idleMs), 0, 0};
    SetCommTimeouts(h, &t);
    std::vector<uint8_t> got;
    std::vector<uint8_t> buf(16384);
    while (got.size() < n) {
        DWORD r = 0;
        if (!ReadFile(h, buf.data(), DWORD(std::min(buf.size(), n - got.size())), &r, nullptr) ||
            r == 0)
            break;
        got.insert(got.end(), buf.begin(), buf.begin() + r);
    }
    return got;
}

bool WriteCom(HANDLE h, const uint8_t* data, size_t n) {
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 10000};
    SetCommTimeouts(h, &t);
    while (n) {
        DWORD chunk = DWORD(std::min<size_t>(n, 16384)), w = 0;
        if (!WriteFile(h, data, chunk, &w, nullptr) || w == 0)
            return false;
        data += w;
        n -= w;
    }
    return true;
}

struct Options {
    std::string selector;
    std::vector<std::string> far;
    bool farHost = false;
    size_t bytes = 256 * 1024;
    std::string udcFile, udcName;
    bool rates = false;
    uint32_t seed = 1;
    std::string capture;
};

class Agent {
  public:
    explicit Agent(Options o) : o_(std::move(o)) {}
    int Run();

  private:
    bool FindDevice(int waitMs);
    bool Attach(bool first);
    bool OpenPort();
    void ClosePort();
    void Data(size_t bytes, uint32_t seed, const char* when);
    bool PickFar();
    void Rates();
    void Unplug();
    bool Unplugged(int timeoutMs);
    void Replug();
    void GiveBack();
    void Traffic();
    void SetLine(DWORD baud, BYTE stop, bool xonxoff);

    Options o_;
    cehost::UsbBus bus_{cehost::UsbTiming::kReal};
    cehost::RealUsbDevice device_;
    std::shared_ptr<cehost::RealUsbDeviceModel> model_;
    cehost::UsbDeviceId id_ = 0;
    std::string comName_;
    HANDLE com_ = INVALID_HANDLE_VALUE;
    int far_ = -1;  // the far tty in the guest
    std::string farPath_;
};

bool Agent::FindDevice(int waitMs) {
    cehost::RealUsbSelector s;
    std::string error;
    if (!cehost::ParseRealUsbSelector(o_.selector, &s, &error)) {
        Fail(error);
        return false;
    }
    const auto until = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        auto devices = cehost::ListRealUsbDevices();
        const int at = cehost::SelectRealUsbDevice(devices, s, &error);
        if (at >= 0) {
            device_ = devices[size_t(at)];
            model_ = std::make_shared<cehost::RealUsbDeviceModel>(device_);
            return true;
        }
        if (Clock::now() > until) {
            Fail(error);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool Agent::Attach(bool first) {
    const std::u16string keyPath = serlynx::DeviceKeyPath(model_->DeviceDescriptor());
    if (first) {
        Say("@result device %s", cehost::DescribeRealUsbDevice(device_).c_str());
        for (const std::string& d : device_.drivers)
            Say("@result kernel-driver %s", d.c_str());
        if (!cehost::UsbInstallClient(serlynx::kDriverLibrary)) {
            Fail("the driver library could not be installed");
            return false;
        }
        const auto t0 = Clock::now();
        cehost::UsbDeviceId id = bus_.Plug(model_);
        if (id == 0) {
            Fail("first attach: " + model_->ErrorText());
            return false;
        }
        serlynx::DeviceKey key = serlynx::ReadDeviceKey(keyPath);
        if (!key.present) {
            Fail("the first attach wrote no device key");
            bus_.Unplug(id);
            return false;
        }
        Say("@result first-attach-ms %.0f", Ms(Clock::now() - t0));
        Say("@result usbmode 0x%x", unsigned(key.usbMode));
        Say("@result port-type %s", serlynx::PortTypeText(key.usbMode).c_str());
        Say("@result endpoints %s", serlynx::EndpointsText(key).c_str());
        Say("@result friendly-name %s", key.friendlyName.c_str());
        // While it is ours, no kernel driver may be bound to it.
        cehost::RealUsbDevice now;
        if (cehost::ReadRealUsbDevice("/sys/bus/usb/devices", device_.port, &now)) {
            for (const std::string& d : now.drivers)
                if (d.find(" usbfs") == std::string::npos)
                    Fail("a kernel driver is bound while the device is served: " + d);
        }
        const auto t1 = Clock::now();
        id_ = bus_.Replug(id);
        if (id_ == 0) {
            Fail("configured attach: " + model_->ErrorText());
            return false;
        }
        Say("@result configured-attach-ms %.0f", Ms(Clock::now() - t1));
    } else {
        id_ = bus_.Plug(model_);
        if (id_ == 0) {
            Fail("attach after the replug: " + model_->ErrorText());
            return false;
        }
    }
    if (bus_.Owner(id_) != u"Serlynx") {
        Fail("the driver did not take the device on its configured attach");
        return false;
    }
    return OpenPort();
}

bool Agent::OpenPort() {
    comName_.clear();
    for (const auto& a : cehost::ActiveDevices())
        if (a.name.rfind(u"COM", 0) == 0 && !a.removing)
            comName_ = cehost::Utf8(a.name);
    if (comName_.empty()) {
        Fail("no COM port appeared");
        return false;
    }
    com_ = CreateFileW(cehost::Utf16(comName_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    if (com_ == INVALID_HANDLE_VALUE) {
        Fail(comName_ + " could not be opened");
        return false;
    }
    Say("@result served %s", comName_.c_str());
    SetLine(115200, ONESTOPBIT, false);
    return true;
}

void Agent::ClosePort() {
    if (com_ != INVALID_HANDLE_VALUE)
        CloseHandle(com_);
    com_ = INVALID_HANDLE_VALUE;
}

void Agent::SetLine(DWORD baud, BYTE stop, bool xonxoff) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(com_, &dcb);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = stop;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = xonxoff ? TRUE : FALSE;
    dcb.fInX = FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!SetCommState(com_, &dcb))
        Fail("SetCommState " + std::to_string(baud) + " refused");
}

// Of several far ttys, the one on which bytes written to the port arrive.
bool Agent::PickFar() {
    if (o_.farHost || far_ >= 0)
        return true;
    std::vector<int> fds;
    for (const std::string& path : o_.far) {
        int fd = OpenRawTty(path);
        if (fd < 0)
            Fail("cannot open " + path + ": " + std::strerror(errno));
        fds.push_back(fd);
    }
    const char probe[] = "which-far-end?";
    if (!WriteCom(com_, reinterpret_cast<const uint8_t*>(probe), sizeof probe - 1))
        Fail("the probe write failed");
    for (size_t i = 0; i < fds.size() && far_ < 0; i++) {
        if (fds[i] < 0)
            continue;
        auto got = ReadFd(fds[i], sizeof probe - 1, o_.far.size() == 1 ? 3000 : 1500);
        if (got.size() == sizeof probe - 1 && std::memcmp(got.data(), probe, got.size()) == 0) {
            far_ = fds[i];
            farPath_ = o_.far[i];
        }
    }
    for (int fd : fds)
        if (fd >= 0 && fd != far_)
            close(fd);
    if (far_ < 0) {
        Fail("none of the far ttys received what the port sent");
        return false;
    }
    Say("@result far-end %s", farPath_.c_str());
    return true;
}

void Agent::Data(size_t bytes, uint32_t seed, const char* when) {
    if (!PickFar())
        return;
    // Out: the port writes, the far end reads.
    const auto out = Pattern(seed, bytes);
    const auto in = Pattern(seed + 1, bytes);
    auto t0 = Clock::now();
    if (o_.farHost) {
        if (WaitHost("data-out " + std::to_string(bytes) + " " + std::to_string(seed)) != "go")
            Fail("the host is not ready for data");
        t0 = Clock::now();
        if (!WriteCom(com_, out.data(), out.size()))
            Fail(std::string(when) + ": a write to the port failed");
        const std::string verdict = WaitHost("data-out-done");
        const double ms = Ms(Clock::now() - t0);
        if (verdict != "ok")
            Fail(std::string(when) + ": port to host: " + verdict);
        else
            Say("@result %s-out-bytes-per-s %.0f", when, bytes * 1000.0 / ms);
    } else {
        std::vector<uint8_t> got;
        std::thread reader([&] { got = ReadFd(far_, bytes, 5000); });
        const bool wrote = WriteCom(com_, out.data(), out.size());
        reader.join();
        const double ms = Ms(Clock::now() - t0);
        if (!wrote)
            Fail(std::string(when) + ": a write to the port failed");
        if (got != out)
            Fail(std::string(when) + ": port to far end: " + FirstDifference(out, got));
        else
            Say("@result %s-out-bytes-per-s %.0f", when, bytes * 1000.0 / ms);
    }
    // In: the far end writes, the port reads.
    std::vector<uint8_t> got;
    t0 = Clock::now();
    if (o_.farHost) {
        std::thread reader([&] { got = ReadCom(com_, bytes, 5000); });
        Say("@ready data-in %zu %u", bytes, seed + 1);
        reader.join();
    } else {
        std::thread reader([&] { got = ReadCom(com_, bytes, 5000); });
        if (!WriteFd(far_, in.data(), in.size()))
            Fail(std::string(when) + ": a write to " + farPath_ + " failed");
        reader.join();
    }
    const double ms = Ms(Clock::now() - t0);
    if (got != in)
        Fail(std::string(when) + ": far end to port: " + FirstDifference(in, got));
    else
        Say("@result %s-in-bytes-per-s %.0f", when, bytes * 1000.0 / ms);
}

// Every standard rate with one and with two stop bits; the host reads back
// what the chip made of each from its pty.
void Agent::Rates() {
    static const DWORD kRates[] = {110,    300,    600,    1200,   2400,   4800,
                                   9600,   14400,  19200,  38400,  56000,  57600,
                                   115200, 128000, 230400, 256000, 460800, 921600};
    for (DWORD rate : kRates) {
        for (BYTE stop : {BYTE(ONESTOPBIT), BYTE(TWOSTOPBITS)}) {
            SetLine(rate, stop, false);
            const std::string reply =
                WaitHost("line " + std::to_string(rate) + " " + (stop == TWOSTOPBITS ? "2" : "1"));
            if (reply != "ok")
                Fail("line " + std::to_string(rate) + (stop == TWOSTOPBITS ? " 2" : " 1") + ": " +
                     reply);
        }
    }
    SetLine(115200, ONESTOPBIT, false);
}

bool Agent::Unplugged(int timeoutMs) {
    return bus_.WaitUnplugged(id_, timeoutMs);
}

// A read, a write held by XOFF and a comm-event wait are blocked when the
// device goes; each must return within 1.5 s, and nothing may leak.
void Agent::Unplug() {
    if (!PickFar())
        return;
    SetLine(115200, ONESTOPBIT, true);
    // The far end stops the port's output.
    const uint8_t xoff = 0x13;
    if (o_.farHost) {
        if (WaitHost("xoff") != "go")
            Fail("the host did not send XOFF");
    } else if (!WriteFd(far_, &xoff, 1)) {
        Fail("XOFF could not be sent");
    }
    // The XOFF is taken by the receive side, not given to readers.
    for (int i = 0; i < 50; i++) {
        DWORD errors = 0;
        COMSTAT stat{};
        ClearCommError(com_, &errors, &stat);
        if (stat.fXoffHold)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    COMMTIMEOUTS forever{0, 0, 0, 0, 0};
    SetCommTimeouts(com_, &forever);
    SetCommMask(com_, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR);
    struct Call {
        const char* name;
        std::atomic<bool> done{false};
        Clock::time_point end;
        BOOL result = FALSE;
        DWORD error = 0;
        DWORD events = 0;
    } calls[3];
    calls[0].name = "read";
    calls[1].name = "write";
    calls[2].name = "wait";
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        uint8_t buf[64];
        DWORD n = 0;
        calls[0].result = ReadFile(com_, buf, sizeof buf, &n, nullptr);
        calls[0].error = GetLastError();
        calls[0].end = Clock::now();
        calls[0].done = true;
    });
    threads.emplace_back([&] {
        uint8_t buf[64] = {'x'};
        DWORD n = 0;
        calls[1].result = WriteFile(com_, buf, sizeof buf, &n, nullptr);
        calls[1].error = GetLastError();
        calls[1].end = Clock::now();
        calls[1].done = true;
    });
    threads.emplace_back([&] {
        DWORD events = 0;
        calls[2].result = WaitCommEvent(com_, &events, nullptr);
        calls[2].error = GetLastError();
        calls[2].events = events;
        calls[2].end = Clock::now();
        calls[2].done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (auto& c : calls)
        if (c.done)
            Fail(std::string("the ") + c.name + " returned before the unplug");
    const auto t0 = Clock::now();
    if (!o_.udcFile.empty()) {
        std::ofstream(o_.udcFile) << "\n";
    } else if (WaitHost("unplug") != "go") {
        Fail("the host did not unplug the device");
    }
    for (auto& t : threads)
        t.join();
    for (auto& c : calls) {
        const double ms = Ms(c.end - t0);
        Say("@result unplug-%s-returned-ms %.0f (result %d, error %u, events 0x%x)", c.name, ms,
            c.result, unsigned(c.error), unsigned(c.events));
        if (ms > 1500)
            Fail(std::string("the blocked ") + c.name + " returned after " +
                 std::to_string(int(ms)) + " ms");
    }
    if (!Unplugged(5000))
        Fail("the removal did not finish");
    Say("@result removal-done-ms %.0f", Ms(Clock::now() - t0));
    ClosePort();
    for (const auto& a : cehost::ActiveDevices())
        if (cehost::Utf8(a.name) == comName_)
            Fail(comName_ + " is still active after the removal");
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        Fail("the platform counted misuse or leaks: " + cehost::CountersReport());
    else
        Say("@result unplug-leaks 0");
}

void Agent::Replug() {
    // A gadget's tty hung up with the disconnect: open it again.
    if (far_ >= 0)
        close(far_);
    far_ = -1;
    if (!o_.udcFile.empty()) {
        std::ofstream(o_.udcFile) << o_.udcName << "\n";
    } else if (WaitHost("replug") != "go") {
        Fail("the host did not plug the device again");
    }
    const auto t0 = Clock::now();
    if (!FindDevice(15000))
        return;
    if (!Attach(false))
        return;
    Say("@result replug-served-ms %.0f", Ms(Clock::now() - t0));
    Data(64 * 1024, o_.seed + 100, "replug");
}

// What went over the bus, in short: every distinct control request with
// how it ended, and the transfers that did not end cleanly, per endpoint.
void Agent::Traffic() {
    std::map<std::string, int> seen;
    std::map<uint64_t, std::string> setups;
    for (const cehost::UsbLogEntry& e : bus_.Log()) {
        char text[96];
        if (e.event == 'S' && e.hasSetup) {
            std::snprintf(text, sizeof text, "control %02x %02x %04x %04x %u", e.setup[0],
                          e.setup[1], e.setup[2] | e.setup[3] << 8, e.setup[4] | e.setup[5] << 8,
                          unsigned(e.setup[6] | e.setup[7] << 8));
            setups[e.urbId] = text;
            continue;
        }
        if (e.event != 'C')
            continue;
        auto it = setups.find(e.urbId);
        if (it != setups.end()) {
            std::snprintf(text, sizeof text, " -> error %u, %u bytes", unsigned(e.error),
                          unsigned(e.urbLength));
            seen[it->second + (e.error ? text : " -> ok")]++;
            setups.erase(it);
        } else if (e.error != USB_NO_ERROR) {
            std::snprintf(text, sizeof text, "endpoint %02x ended with error %u", e.endpoint,
                          unsigned(e.error));
            seen[text]++;
        }
    }
    for (const auto& [what, count] : seen)
        Say("@result traffic %s (x%d)", what.c_str(), count);
    if (!o_.capture.empty() && !bus_.WritePcap(o_.capture))
        Fail("cannot write " + o_.capture);
}

// At the end the device goes back to the kernel's drivers.
void Agent::GiveBack() {
    ClosePort();
    bus_.Unplug(id_);
    std::vector<std::string> before = device_.drivers;
    for (std::string& d : before)
        d = d.substr(d.find(' ') + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cehost::RealUsbDevice now;
    if (cehost::ReadRealUsbDevice("/sys/bus/usb/devices", device_.port, &now)) {
        std::vector<std::string> after;
        for (const std::string& d : now.drivers)
            after.push_back(d.substr(d.find(' ') + 1));
        if (after != before)
            Fail("the kernel drivers were not given back");
        for (const std::string& d : now.drivers)
            Say("@result given-back %s", d.c_str());
    }
}

int Agent::Run() {
    cehost::ResetPlatform();
    if (!FindDevice(10000) || !Attach(true)) {
        Say("@done fail");
        return 1;
    }
    Data(o_.bytes, o_.seed, "first");
    if (o_.rates)
        Rates();
    Unplug();
    Replug();
    Traffic();
    GiveBack();
    if (far_ >= 0)
        close(far_);
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        Fail("at the end the platform counted misuse or leaks: " + cehost::CountersReport());
    Say("@done %s", gFailed ? "fail" : "ok");
    return gFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "usbvm_agent: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return args[++i];
        };
        if (a == "--far") {
            std::string v = value();
            for (size_t at = 0; at != std::string::npos;) {
                size_t comma = v.find(',', at);
                o.far.push_back(v.substr(at, comma == std::string::npos ? comma : comma - at));
                at = comma == std::string::npos ? comma : comma + 1;
            }
        } else if (a == "--far-host") {
            o.farHost = true;
        } else if (a == "--bytes") {
            o.bytes = std::strtoul(value().c_str(), nullptr, 10);
        } else if (a == "--seed") {
            o.seed = uint32_t(std::strtoul(value().c_str(), nullptr, 10));
        } else if (a == "--udc") {
            o.udcFile = value();
            o.udcName = value();
        } else if (a == "--capture") {
            o.capture = value();
        } else if (a == "--rates") {
            o.rates = true;
        } else if (o.selector.empty() && a[0] != '-') {
            o.selector = a;
        } else {
            std::fprintf(stderr, "usbvm_agent: unknown argument \"%s\"\n", a.c_str());
            return 2;
        }
    }
    if (o.selector.empty() || (o.far.empty() && !o.farHost)) {
        std::fprintf(stderr,
                     "usage: usbvm_agent VID:PID[@PORT|#N] (--far TTY[,TTY...] | --far-host) "
                     "[--bytes N] [--seed S] [--udc FILE NAME] [--rates]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return Agent(o).Run();
}
