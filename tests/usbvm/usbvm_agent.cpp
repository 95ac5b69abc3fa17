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
// every standard rate. UDC-FILE and UDC-NAME unplug and replug a gadget by
// writing its UDC file; without them the host does.
//
// Lines to the host on stdout; "@wait ..." lines want one reply line on
// stdin ("ok" when the host's part went well, else what went wrong):
//   @fail TEXT                    a check failed (the run goes on where it can)
//   @wait read N SEED             the host reads N bytes of Pattern(SEED)
//   @wait write N SEED            the host writes them
//   @wait xoff|unplug|replug      the host sends XOFF, unplugs, replugs
//   @wait line RATE STOPBITS      the host checks the pty's settings
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
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

using Data = std::vector<uint8_t>;
using std::to_string;
using namespace std::chrono;
using namespace std::chrono_literals;

bool gFailed = false;

bool Fail(const std::string& text) {
    gFailed = true;
    std::cout << "@fail " << text << std::endl;
    return false;
}

// The host's part of a step: true when it answers "ok", else its answer fails the run.
bool AskHost(const std::string& what) {
    std::cout << "@wait " << what << std::endl;
    std::string reply;
    std::getline(std::cin, reply);
    return reply == "ok" || Fail(what + ": " + reply);
}

// Random bytes, the same for the same seed (run.py makes them too).
Data Pattern(uint32_t seed, size_t n) {
    std::minstd_rand random(seed);
    Data out(n);
    std::generate(out.begin(), out.end(), [&] { return uint8_t(random() >> 7); });
    return out;
}

// `got` must be `want`; else where they part is the failure.
bool Check(const std::string& what, const Data& want, const Data& got) {
    const auto at = std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first;
    return got == want ||
           Fail(what + ": got " + to_string(got.size()) + " of " + to_string(want.size()) +
                " bytes, first difference at " + to_string(at - want.begin()));
}

void CheckCounters(const char* when) {
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        Fail(std::string(when) + " the platform counted " + cehost::CountersReport());
}

// The run; everything runs on the main thread but for the blocked calls of
// Unplug and the other half of each Transfer.
struct Agent {
    std::string selector, farTty;  // farTty "host": the host is the far end
    size_t bytes;
    std::string udcFile, udcName, comName = {};
    cehost::UsbBus bus{cehost::UsbTiming::kReal};
    cehost::RealUsbDevice device{};
    std::shared_ptr<cehost::RealUsbDeviceModel> model{};
    cehost::UsbDeviceId id = 0;
    HANDLE com = INVALID_HANDLE_VALUE;
    int far = -1;  // the far tty in the guest

    bool Host() const { return farTty == "host"; }

    void SetLine(DWORD baud, BYTE stop, bool xonxoff) {
        DCB dcb{};
        GetCommState(com, &dcb);  // with the DCBlength SetCommState wants
        dcb.BaudRate = baud, dcb.StopBits = stop, dcb.fOutX = xonxoff;
        dcb.fDtrControl = DTR_CONTROL_ENABLE, dcb.fRtsControl = RTS_CONTROL_ENABLE;
        SetCommState(com, &dcb) || Fail("SetCommState " + to_string(baud) + " refused");
    }

    // Moves `data` out (`read` false), or reads as many bytes, through the port or the far tty,
    // in chunks, until done, an error, or 5 s with nothing to read; returns what moved.
    Data Move(bool port, bool read, Data data) {
        COMMTIMEOUTS t{MAXDWORD, read ? MAXDWORD : 0, read ? 5000u : 0, 0, read ? 0u : 10000};
        if (port)
            SetCommTimeouts(com, &t);
        size_t done = 0;
        for (long r = 1; done < data.size() && r > 0; done += size_t(std::max(r, 0L))) {
            const DWORD len = DWORD(std::min<size_t>(data.size() - done, 16384));
            uint8_t* at = data.data() + done;
            DWORD n = 0;
            pollfd p{far, POLLIN, 0};
            if (port && read)
                r = ReadFile(com, at, len, &n, nullptr) ? n : 0;
            else if (port)
                r = WriteFile(com, at, len, &n, nullptr) ? n : 0;
            else
                r = !read ? write(far, at, len) : poll(&p, 1, 5000) > 0 ? ::read(far, at, len) : 0;
        }
        data.resize(done);
        return data;
    }

    // Waits up to 15 s for the device to be there.
    bool FindDevice() {
        cehost::RealUsbSelector s;
        std::string error;
        for (int i = 0; cehost::ParseRealUsbSelector(selector, &s, &error) && i < 150; i++) {
            auto devices = cehost::ListRealUsbDevices();
            if (const int at = cehost::SelectRealUsbDevice(devices, s, &error); at >= 0) {
                device = devices[size_t(at)];
                model = std::make_shared<cehost::RealUsbDeviceModel>(device);
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return Fail(error);
    }

    // "INTERFACE DRIVER" for each kernel driver bound to the device's
    // interfaces ("usbfs" while this process holds it).
    std::vector<std::string> KernelDrivers() {
        cehost::RealUsbDevice now = device;
        cehost::ReadRealUsbDevice("/sys/bus/usb/devices", device.port, &now);
        return now.drivers;
    }

    // The first attach configures the device (it is then plugged again), the
    // next serves it.
    bool Attach(bool first) {
        if (first && !cehost::UsbInstallClient(serlynx::kDriverLibrary))
            return Fail("the driver library could not be installed");
        if ((id = bus.Plug(model)) != 0 && first)
            id = bus.Replug(id);
        if (id == 0 || bus.Owner(id) != u"Serlynx")
            return Fail("the driver did not take the device: " + model->ErrorText());
        for (const std::string& d : KernelDrivers())
            if (d.substr(d.find(' ') + 1) != "usbfs")
                Fail("a kernel driver is bound while the device is served: " + d);
        comName.clear();
        for (const auto& a : cehost::ActiveDevices())
            if (a.name.rfind(u"COM", 0) == 0 && !a.removing)
                comName = cehost::Utf8(a.name);
        com = CreateFileW(cehost::Utf16(comName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr);
        if (comName.empty() || com == INVALID_HANDLE_VALUE)
            return Fail("no COM port appeared, or \"" + comName + "\" did not open");
        SetLine(115200, ONESTOPBIT, false);
        return true;
    }

    // The gadget's far tty, raw, a read returning what is there; opened
    // again after an unplug (the tty hung up with the disconnect).
    bool OpenFar() {
        if (Host() || far >= 0)
            return true;
        termios t{};
        far = open(farTty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (far < 0 || tcgetattr(far, &t) != 0)
            return Fail("the far tty " + farTty + " did not open");
        cfmakeraw(&t);
        return tcsetattr(far, TCSAFLUSH, &t) == 0 ||
               Fail("the far tty " + farTty + " stays cooked");
    }

    // N random bytes out of the port to the far end and N others back, each
    // exact; the host checks and sends its part from the pattern's seed.
    void Transfer(size_t n, uint32_t seed, const std::string& when) {
        if (!OpenFar())
            return;
        const Data out = Pattern(seed, n), in = Pattern(seed + 1, n);
        const std::string count = to_string(n) + " ";
        std::thread writer([&] { Check(when + " out, written", out, Move(true, false, out)); });
        Host() ? AskHost("read " + count + to_string(seed))
               : Check(when + " out", out, Move(false, true, Data(n)));
        writer.join();
        std::thread farWriter([&] {
            Host() ? AskHost("write " + count + to_string(seed + 1))
                   : Check(when + " in, sent", in, Move(false, false, in));
        });
        Check(when + " in", in, Move(true, true, Data(n)));
        farWriter.join();
    }

    // Every standard rate with one and with two stop bits; the host reads
    // back what the chip made of each from its pty.
    void Rates() {
        for (DWORD rate : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600,
                           115200, 128000, 230400, 256000, 460800, 921600})
            for (BYTE stop : {BYTE(ONESTOPBIT), BYTE(TWOSTOPBITS)})
                SetLine(rate, stop, false),
                    AskHost("line " + to_string(rate) + (stop == TWOSTOPBITS ? " 2" : " 1"));
    }

    bool Plug(bool in) {
        if (udcFile.empty())
            return AskHost(in ? "replug" : "unplug");
        return bool(std::ofstream(udcFile) << (in ? udcName : "") << "\n") ||
               Fail(udcFile + " could not be written");
    }

    // A read, a write held by XOFF and a comm-event wait are blocked when
    // the device goes; each must return within 1.5 s, and nothing may leak.
    void Unplug() {
        if (!OpenFar())
            return;
        SetLine(115200, ONESTOPBIT, true);
        // The far end stops the port's output; the receive side takes the
        // XOFF, it is not given to readers.
        Host() ? AskHost("xoff") : Check("XOFF sent", {0x13}, Move(false, false, {0x13}));
        COMSTAT stat{};
        for (DWORD i = 0, errors; i < 50 && !stat.fXoffHold; i++)
            std::this_thread::sleep_for(20ms), ClearCommError(com, &errors, &stat);
        COMMTIMEOUTS forever{0, 0, 0, 0, 0};
        SetCommTimeouts(com, &forever);
        SetCommMask(com, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR);
        uint8_t in[64], out[64] = {'x'};
        DWORD got, put, events;
        const char* names[] = {"read", "write", "wait"};
        steady_clock::time_point ends[3], unplugged;
        auto blocked = [&](int i, auto call) {
            return std::thread([&ends, i, call] { call(), ends[i] = steady_clock::now(); });
        };
        std::thread calls[] = {blocked(0, [&] { return ReadFile(com, in, 64, &got, nullptr); }),
                               blocked(1, [&] { return WriteFile(com, out, 64, &put, nullptr); }),
                               blocked(2, [&] { return WaitCommEvent(com, &events, nullptr); })};
        std::this_thread::sleep_for(500ms);
        unplugged = steady_clock::now();
        Plug(false);
        for (int i = 0; i < 3; i++) {
            calls[i].join();
            const long ms = duration_cast<milliseconds>(ends[i] - unplugged).count();
            if (ms < 0 || ms > 1500)
                Fail(std::string("the blocked ") + names[i] + " returned " + to_string(ms) +
                     " ms after the unplug");
        }
        bus.WaitUnplugged(id, 5000) || Fail("the removal did not finish");
        CloseHandle(com), com = INVALID_HANDLE_VALUE;
        for (const auto& a : cehost::ActiveDevices())
            if (cehost::Utf8(a.name) == comName)
                Fail(comName + " is still active after the removal");
        CheckCounters("after the unplug");
    }

    int Run() {
        cehost::ResetPlatform();
        if (!FindDevice() || !Attach(true))
            return 1;
        Transfer(bytes, 1, "first");
        if (Host())
            Rates();
        Unplug();
        close(far), far = -1;  // the gadget's tty hung up
        if (Plug(true) && FindDevice() && Attach(false))
            Transfer(64 * 1024, 101, "replug");
        // At the end the device goes back to the kernel's drivers.
        if (com != INVALID_HANDLE_VALUE)
            CloseHandle(com);
        bus.Unplug(id);
        std::this_thread::sleep_for(300ms);
        if (KernelDrivers() != device.drivers)
            Fail("the kernel drivers were not given back");
        close(far);
        CheckCounters("at the end");
        return gFailed ? 1 : 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::cerr << "usage: usbvm_agent VID:PID[@PORT|#N] host|TTY BYTES [UDC-FILE UDC-NAME]\n";
        return 2;
    }
    Agent agent{argv[1], argv[2], std::stoul(argv[3]), argc == 6 ? argv[4] : "",
                argc == 6 ? argv[5] : ""};
    return agent.Run();
}
