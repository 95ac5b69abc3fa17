// The guest side of the USB machine tests (tests/usbvm/run.py is the host
// side): the real driver on a real device of the guest, through the
// platform's bus of real devices, exactly as `serlynx serve --usb` runs it.
//
//   usbvm_agent VID:PID[@PORT|#N] host|TTY BYTES [UDC-FILE UDC-NAME]
//
// One run is one device's whole story: the first attach (the driver
// configures the device) and the configured attach (the driver serves it
// as COMn:, and no kernel driver is bound), BYTES random bytes each way
// checked exactly against the far end, the device unplugged while a read, a
// write held by XOFF and a comm-event wait are blocked (each must return
// within 1.5 s, and the platform must count no misuse or leak), the device
// plugged again and served again with exact data, and finally given back
// to the kernel's drivers.
//
// The far end is a tty of the guest (a gadget's /dev/ttyGSn; of a composite
// device, the first function's, which the driver serves) or the host
// ("host": QEMU's FTDI chip writes to a host pty), which then checks and
// sends the data, and reads back the line settings the chip applied at
// every standard rate. UDC-FILE and UDC-NAME unplug and replug a gadget by writing its UDC file;
// without them the host does.
//
// Lines to the host on stdout; "@wait ..." lines want one reply line on
// stdin ("ok" when the host's part went well, else what went wrong):
//   @result TEXT                  a figure or finding
//   @fail TEXT                    a check failed (the run goes on where it can)
//   @wait read N SEED             the host reads N bytes of Pattern(SEED)
//   @wait write N SEED            the host writes them
//   @wait xoff|unplug|replug      the host sends XOFF, unplugs, replugs
//   @wait line RATE STOPBITS      the host checks the pty's settings
//   @done ok|fail
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
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

void Say(const std::string& line) {
    std::cout << line << std::endl;
}

void Fail(const std::string& text) {
    gFailed = true;
    Say("@fail " + text);
}

std::string WaitHost(const std::string& what) {
    Say("@wait " + what);
    std::string line;
    std::getline(std::cin, line);
    line.erase(line.find_last_not_of("\r\n") + 1);
    return line;
}

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Random bytes, the same for the same seed (run.py makes them too).
Data Pattern(uint32_t seed, size_t n) {
    std::minstd_rand random(seed);
    Data out(n);
    std::generate(out.begin(), out.end(), [&] { return uint8_t(random() >> 7); });
    return out;
}
// Reads until `n` bytes came or nothing came for `idleMs`.
Data ReadCom(HANDLE h, size_t n, int idleMs) {
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, DWORD(idleMs), 0, 0};
    SetCommTimeouts(h, &t);
    Data got(n);
    DWORD have = 0;
    for (DWORD r = 1; have < n && r != 0; have += r) {
        if (!ReadFile(h, got.data() + have, DWORD(std::min<size_t>(n - have, 16384)), &r, nullptr))
            break;
    }
    got.resize(have);
    return got;
}

bool WriteCom(HANDLE h, const Data& data) {
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 10000};
    SetCommTimeouts(h, &t);
    DWORD done = 0;
    for (DWORD w = 1; done < data.size() && w != 0; done += w) {
        const DWORD chunk = DWORD(std::min<size_t>(data.size() - done, 16384));
        if (!WriteFile(h, data.data() + done, chunk, &w, nullptr))
            return false;
    }
    return done == data.size();
}

// The far tty: reads until `n` bytes came or nothing came for `idleMs`.
Data ReadFd(int fd, size_t n, int idleMs) {
    Data got(n);
    size_t have = 0;
    for (pollfd p{fd, POLLIN, 0}; have < n && poll(&p, 1, idleMs) > 0;) {
        const ssize_t r = read(fd, got.data() + have, n - have);
        if (r <= 0)
            break;
        have += size_t(r);
    }
    got.resize(have);
    return got;
}

bool WriteFd(int fd, const Data& data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w <= 0)
            return false;
        done += size_t(w);
    }
    return true;
}

void CheckCounters(const char* when) {
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        Fail(std::string(when) +
             " the platform counted misuse or leaks: " + cehost::CountersReport());
}

// The run; everything runs on the main thread but for the blocked calls of
// Unplug and the other half of each Transfer.
struct Agent {
    std::string selector, farTty;  // farTty "host": the host is the far end
    size_t bytes = 0;
    std::string udcFile, udcName;
    cehost::UsbBus bus{cehost::UsbTiming::kReal};
    cehost::RealUsbDevice device{};
    std::shared_ptr<cehost::RealUsbDeviceModel> model{};
    cehost::UsbDeviceId id = 0;
    std::string comName{};
    HANDLE com = INVALID_HANDLE_VALUE;
    int far = -1;  // the far tty in the guest

    bool Host() const { return farTty == "host"; }

    void SetLine(DWORD baud, BYTE stop, bool xonxoff) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(com, &dcb);
        dcb.BaudRate = baud;
        dcb.StopBits = stop;
        dcb.fOutX = xonxoff;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        if (!SetCommState(com, &dcb))
            Fail("SetCommState " + std::to_string(baud) + " refused");
    }

    bool FindDevice(int waitMs) {
        cehost::RealUsbSelector s;
        std::string error;
        if (!cehost::ParseRealUsbSelector(selector, &s, &error))
            return Fail(error), false;
        for (const auto start = Clock::now();;) {
            auto devices = cehost::ListRealUsbDevices();
            const int at = cehost::SelectRealUsbDevice(devices, s, &error);
            if (at >= 0) {
                device = devices[size_t(at)];
                model = std::make_shared<cehost::RealUsbDeviceModel>(device);
                return true;
            }
            if (Ms(start) > waitMs)
                return Fail(error), false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    // The kernel drivers bound to the device's interfaces ("usbfs" while
    // this process holds it), without their interface names; now, or when
    // the device was found.
    std::vector<std::string> KernelDrivers(bool now) {
        cehost::RealUsbDevice d = device;
        if (now)
            cehost::ReadRealUsbDevice("/sys/bus/usb/devices", device.port, &d);
        for (std::string& driver : d.drivers)
            driver.erase(0, driver.find(' ') + 1);
        return d.drivers;
    }

    bool Attach(bool first) {
        if (first) {
            Say("@result device " + cehost::DescribeRealUsbDevice(device));
            if (!cehost::UsbInstallClient(serlynx::kDriverLibrary))
                return Fail("the driver library could not be installed"), false;
            const cehost::UsbDeviceId firstId = bus.Plug(model);
            if (firstId == 0)
                return Fail("first attach: " + model->ErrorText()), false;
            const serlynx::DeviceKey key =
                serlynx::ReadDeviceKey(serlynx::DeviceKeyPath(model->DeviceDescriptor()));
            if (!key.present)
                return bus.Unplug(firstId), Fail("the first attach wrote no device key"), false;
            Say("@result port-type " + serlynx::PortTypeText(key.usbMode));
            id = bus.Replug(firstId);
        } else {
            id = bus.Plug(model);
        }
        if (id == 0 || bus.Owner(id) != u"Serlynx")
            return Fail("the driver did not take the device: " + model->ErrorText()), false;
        // While it is ours, no kernel driver may be bound to it.
        for (const std::string& d : KernelDrivers(true))
            if (d != "usbfs")
                Fail("a kernel driver is bound while the device is served: " + d);
        comName.clear();
        for (const auto& a : cehost::ActiveDevices())
            if (a.name.rfind(u"COM", 0) == 0 && !a.removing)
                comName = cehost::Utf8(a.name);
        com = CreateFileW(cehost::Utf16(comName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr);
        if (comName.empty() || com == INVALID_HANDLE_VALUE)
            return Fail("no COM port appeared, or \"" + comName + "\" did not open"), false;
        Say("@result served " + comName);
        SetLine(115200, ONESTOPBIT, false);
        return true;
    }

    void ClosePort() {
        if (com != INVALID_HANDLE_VALUE)
            CloseHandle(com);
        com = INVALID_HANDLE_VALUE;
    }

    // The gadget's far tty, raw, a read returning what is there; opened
    // again after an unplug (the tty hung up with the disconnect).
    bool OpenFar() {
        if (Host() || far >= 0)
            return true;
        far = open(farTty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (far < 0 || tcgetattr(far, &t) != 0)
            return Fail("the far tty " + farTty + " did not open"), false;
        cfmakeraw(&t);
        t.c_cc[VMIN] = t.c_cc[VTIME] = 0;
        tcsetattr(far, TCSANOW, &t);
        tcflush(far, TCIOFLUSH);
        return true;
    }
    void CloseFar() {
        if (far >= 0)
            close(far);
        far = -1;
    }

    // `got` must be `want`; else where they part is the failure.
    void Check(const std::string& what, const Data& want, const Data& got, Clock::time_point t0) {
        const auto at = std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first;
        if (got != want)
            Fail(what + ": got " + std::to_string(got.size()) + " of " +
                 std::to_string(want.size()) + " bytes, first difference at " +
                 std::to_string(at - want.begin()));
        else
            Say("@result " + what + " bytes-per-s " +
                std::to_string(int(got.size() * 1000 / Ms(t0))));
    }

    // N random bytes out of the port to the far end and N others back, each
    // exact; the host checks and sends its part from the pattern's seed.
    void Transfer(size_t n, uint32_t seed, const std::string& when) {
        if (!OpenFar())
            return;
        const Data out = Pattern(seed, n), in = Pattern(seed + 1, n);
        const std::string count = std::to_string(n) + " ";
        auto t0 = Clock::now();
        std::thread writer([&] {
            if (!WriteCom(com, out))
                Fail(when + ": a write to the port failed");
        });
        if (!Host())
            Check(when + " out", out, ReadFd(far, n, 5000), t0);
        else if (const std::string verdict = WaitHost("read " + count + std::to_string(seed));
                 verdict != "ok")
            Fail(when + " out: " + verdict);
        writer.join();
        t0 = Clock::now();
        std::thread farWriter([&] {
            if (!(Host() ? WaitHost("write " + count + std::to_string(seed + 1)) == "ok"
                         : WriteFd(far, in)))
                Fail(when + ": the far end could not write");
        });
        const Data got = ReadCom(com, n, 5000);
        farWriter.join();
        Check(when + " in", in, got, t0);
    }

    // Every standard rate with one and with two stop bits; the host reads
    // back what the chip made of each from its pty.
    void Rates() {
        for (DWORD rate : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600,
                           115200, 128000, 230400, 256000, 460800, 921600}) {
            for (BYTE stop : {BYTE(ONESTOPBIT), BYTE(TWOSTOPBITS)}) {
                SetLine(rate, stop, false);
                const std::string line =
                    "line " + std::to_string(rate) + (stop == TWOSTOPBITS ? " 2" : " 1");
                if (const std::string reply = WaitHost(line); reply != "ok")
                    Fail(line + ": " + reply);
            }
        }
        SetLine(115200, ONESTOPBIT, false);
    }

    bool Plug(bool in) {
        if (!udcFile.empty())
            return bool(std::ofstream(udcFile) << (in ? udcName : "") << "\n");
        return WaitHost(in ? "replug" : "unplug") == "ok";
    }

    // A read, a write held by XOFF and a comm-event wait are blocked when
    // the device goes; each must return within 1.5 s, and nothing may leak.
    void Unplug() {
        if (!OpenFar())
            return;
        SetLine(115200, ONESTOPBIT, true);
        // The far end stops the port's output; the receive side takes the
        // XOFF, it is not given to readers.
        if (!(Host() ? WaitHost("xoff") == "ok" : WriteFd(far, Data{0x13})))
            Fail("XOFF could not be sent");
        COMSTAT stat{};
        for (int i = 0; i < 50 && !stat.fXoffHold; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            DWORD errors = 0;
            ClearCommError(com, &errors, &stat);
        }
        COMMTIMEOUTS forever{0, 0, 0, 0, 0};
        SetCommTimeouts(com, &forever);
        SetCommMask(com, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR);
        uint8_t in[64], out[64] = {'x'};
        DWORD got = 0, put = 0, events = 0;
        struct Blocked {
            const char* name;
            std::function<BOOL()> call;
            Clock::time_point end = {};
            std::thread thread = {};
        } calls[] = {
            {"read", [&] { return ReadFile(com, in, sizeof in, &got, nullptr); }},
            {"write", [&] { return WriteFile(com, out, sizeof out, &put, nullptr); }},
            {"wait", [&] { return WaitCommEvent(com, &events, nullptr); }},
        };
        std::atomic<int> returned{0};
        for (Blocked& c : calls) {
            c.thread = std::thread([&c, &returned] {
                c.call();
                c.end = Clock::now();
                ++returned;
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (returned != 0)
            Fail("a blocked call returned before the unplug");
        const auto t0 = Clock::now();
        if (!Plug(false))
            Fail("the device was not unplugged");
        for (Blocked& c : calls) {
            c.thread.join();
            const int ms = int(std::chrono::duration<double, std::milli>(c.end - t0).count());
            Say("@result unplug-" + std::string(c.name) + "-returned-ms " + std::to_string(ms));
            if (ms > 1500)
                Fail(std::string("the blocked ") + c.name + " returned after " +
                     std::to_string(ms) + " ms");
        }
        if (!bus.WaitUnplugged(id, 5000))
            Fail("the removal did not finish");
        ClosePort();
        for (const auto& a : cehost::ActiveDevices())
            if (cehost::Utf8(a.name) == comName)
                Fail(comName + " is still active after the removal");
        CheckCounters("after the unplug");
    }

    int Run() {
        cehost::ResetPlatform();
        if (!FindDevice(10000) || !Attach(true))
            return Say("@done fail"), 1;
        Transfer(bytes, 1, "first");
        if (Host())
            Rates();
        Unplug();
        CloseFar();
        if (!Plug(true))
            Fail("the device was not plugged again");
        else if (FindDevice(15000) && Attach(false))
            Transfer(64 * 1024, 101, "replug");
        // At the end the device goes back to the kernel's drivers.
        ClosePort();
        bus.Unplug(id);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (KernelDrivers(true) != KernelDrivers(false))
            Fail("the kernel drivers were not given back");
        CloseFar();
        CheckCounters("at the end");
        Say(gFailed ? "@done fail" : "@done ok");
        return gFailed ? 1 : 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::cerr << "usage: usbvm_agent VID:PID[@PORT|#N] host|TTY BYTES "
                     "[UDC-FILE UDC-NAME]\n";
        return 2;
    }
    Agent agent{argv[1], argv[2], std::strtoul(argv[3], nullptr, 10), argc == 6 ? argv[4] : "",
                argc == 6 ? argv[5] : ""};
    return agent.Run();
}
