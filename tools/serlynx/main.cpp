// serlynx: the command a user runs. See `serlynx --help`.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench.h"
#include "cehost/usb_real.h"
#include "commands.h"
#include "serve.h"

namespace {

const char kUsage[] =
    "usage: serlynx <command> [options]\n"
    "\n"
    "commands:\n"
    "  serve      serve a simulated adapter, or a real one (--usb), through the\n"
    "             driver as a COM port, over RFC 2217 (and optionally a pty)\n"
    "  probe      show what the driver's first attach writes for a device\n"
    "  devices    list the built-in device models (--usb: this machine's USB devices)\n"
    "  registry   export or import a registry file\n"
    "  bench      measure the driver's throughput, latency and memory on the\n"
    "             simulated buses, against the buses' own limits\n"
    "\n"
    "`serlynx <command> --help` describes each.\n";

const char kServeUsage[] =
    "usage: serlynx serve [options]\n"
    "\n"
    "Boots the emulated platform, installs the driver (libserlynx.so), plugs a\n"
    "device model, lets the first attach configure it, plugs it again so that the\n"
    "driver serves it as a COM port, and bridges that port to RFC 2217 clients\n"
    "(e.g. pyserial's rfc2217://HOST:PORT). Ctrl-C unplugs the device and exits.\n"
    "\n"
    "  --device NAME          device model (default ftdi; see `serlynx devices`)\n"
    "  --usb VID:PID[@PORT|#N]\n"
    "                         a real USB device of this machine instead of a model,\n"
    "                         by its ids (hexadecimal, as lsusb shows them); @PORT\n"
    "                         (a sysfs port such as 1-2.3) or #N (the Nth of equal\n"
    "                         devices) picks one of several. The kernel's own driver\n"
    "                         is detached while it is served and given back at exit;\n"
    "                         it needs read-write access to /dev/bus/usb/BBB/DDD.\n"
    "                         --line, --paced and --state-file do not apply\n"
    "  --rfc2217 HOST:PORT    where to listen (default 127.0.0.1:2217; port 0 picks\n"
    "                         a free one and prints it)\n"
    "  --pty PATH             also bridge to a pty; PATH becomes a symlink to it\n"
    "                         (a pty carries speed, stop bits and flow control)\n"
    "  --format DPS           line format set when the port opens (default 8N1):\n"
    "                         data bits 5-8, parity N/O/E/M/S, stop bits 1/1.5/2;\n"
    "                         a pty cannot carry data bits or parity (the kernel\n"
    "                         forces 8 bits, no parity on ptys), so set them here\n"
    "  --line loopback|none|null-modem:NAME\n"
    "                         what is behind the device: a loopback plug (default),\n"
    "                         nothing (an open cable), or a null modem to a second\n"
    "                         device model NAME, which the driver serves too (as\n"
    "                         COM2:, bridged on the next port)\n"
    "  --paced                move characters over the line at the rate and format\n"
    "                         the device is set to (default: as fast as the bus)\n"
    "  --capture FILE.pcap    write the USB traffic as a usbmon capture at exit\n"
    "  --registry FILE.reg    load the registry from FILE at start, save it at exit\n"
    "  --state-file FILE      keep FILE updated with the device's decoded state as\n"
    "                         JSON (settings as the chip took them; for tests)\n";

const char kProbeUsage[] =
    "usage: serlynx probe --device NAME\n"
    "       serlynx probe --lsusb FILE\n"
    "       serlynx probe --usb VID:PID[@PORT|#N]\n"
    "\n"
    "Runs the driver's first-attach configuration on a built-in device model, on\n"
    "a device described by `lsusb -v` output or on a real USB device of this\n"
    "machine (opened through libusb; see `serve --usb`), and prints the device key it writes\n"
    "(as .reg text), the port type, the endpoints chosen and the friendly name; for\n"
    "FTDI-type results also the baud rates the chip can and cannot represent.\n";

const char kDevicesUsage[] =
    "usage: serlynx devices [--usb]\n"
    "\n"
    "Lists the built-in device models with their ids, interfaces and endpoints,\n"
    "and the port type the driver gives each. With --usb, the same for the USB\n"
    "devices connected to this machine, with the kernel drivers bound to them:\n"
    "read from sysfs, without opening (or disturbing) any of them.\n";

const char kRegistryUsage[] =
    "usage: serlynx registry [--registry STORE.reg] export FILE\n"
    "       serlynx registry [--registry STORE.reg] import FILE\n"
    "\n"
    "Works on the registry kept in STORE (as `serve --registry` keeps it); without\n"
    "a store, on the registry of a fresh installation of the driver.\n"
    "  export FILE   writes that registry to FILE as .reg text\n"
    "  import FILE   adds FILE to it (a malformed file is refused, naming the\n"
    "                line, and nothing changes) and saves it to STORE, or prints\n"
    "                the result when there is no store\n";

const char kBenchUsage[] =
    "usage: serlynx bench [--quick] [--seconds S] [--samples N] [--only NAME]\n"
    "                     [--completion MODE] [--rx-slots N] [--json FILE]\n"
    "\n"
    "Serves simulated adapters through the driver and measures, printing each\n"
    "figure with its ratio to the limit it is held against:\n"
    "  rx       ReadFile throughput per port type, bus and ring size\n"
    "  tx       WriteFile throughput per port type and bus\n"
    "  echo     1-byte round trip through a loopback plug, against a bare\n"
    "           two-thread event ping-pong\n"
    "  memory   heap and RSS per idle open port\n"
    "  idle     CPU of an idle open port on a full- and a high-speed bus\n"
    "  scaling  aggregate receive rate of 1 to 32 ports on their own buses\n"
    "\n"
    "  --quick        a short smoke run (checks that the scenarios run)\n"
    "  --seconds S    measuring time per throughput figure (default 2)\n"
    "  --samples N    round trips per echo figure (default 2000)\n"
    "  --only NAME    only the figures whose name contains NAME: a scenario\n"
    "                 (rx), or a scenario, port and bus (\"tx ftdi full-speed\")\n"
    "  --completion MODE  when the timed buses report completed transfers:\n"
    "                 transfer (at once, the default), frame (at the end of\n"
    "                 each frame, as OHCI and UHCI do) or every:N (every N\n"
    "                 frames or microframes; EHCI's default is every:8)\n"
    "  --rx-slots N   receive transfers each port keeps queued (the device\n"
    "                 key's ReceiveSlots, 1 to 8; default 4)\n"
    "  --json FILE    also write every figure, the settings, the machine and the\n"
    "                 build as JSON to FILE (- for standard output; the text then\n"
    "                 goes to standard error); docs/performance.md describes it\n"
    "\n"
    "Figure names: rx PORT BUS RING, tx PORT BUS, echo basic BUS, echo bare,\n"
    "memory basic untimed, idle basic BUS, scaling basic full-speed N; PORT\n"
    "is basic, cdc or ftdi, BUS untimed, full-speed or high-speed, RING 4096\n"
    "or 65536 (e.g. --only \"tx basic full-speed\").\n";

int Usage(const char* text, bool error) {
    std::fputs(text, error ? stderr : stdout);
    return error ? 2 : 0;
}

int Fail(const std::string& command, const std::string& message, const char* usage) {
    std::fprintf(stderr, "serlynx %s: %s\n\n%s", command.c_str(), message.c_str(), usage);
    return 2;
}

bool IsHelp(const std::string& a) {
    return a == "--help" || a == "-h";
}

int Serve(const std::vector<std::string>& args) {
    serlynx::ServeOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (IsHelp(a))
            return Usage(kServeUsage, false);
        if (a == "--paced") {
            o.paced = true;
            continue;
        }
        static const char* kWithValue[] = {"--device",     "--rfc2217", "--pty",
                                           "--line",       "--capture", "--registry",
                                           "--state-file", "--format",  "--usb"};
        bool known = false;
        for (const char* k : kWithValue)
            known |= a == k;
        if (!known)
            return Fail("serve", "unknown option \"" + a + "\"", kServeUsage);
        if (i + 1 >= args.size())
            return Fail("serve", a + " needs a value", kServeUsage);
        const std::string& v = args[++i];
        if (a == "--device") {
            o.device = v;
        } else if (a == "--usb") {
            o.usb = v;
        } else if (a == "--rfc2217") {
            size_t colon = v.rfind(':');
            char* end = nullptr;
            long port =
                colon == std::string::npos ? -1 : std::strtol(v.c_str() + colon + 1, &end, 10);
            if (colon == std::string::npos || colon == 0 || end == v.c_str() + colon + 1 ||
                *end != '\0' || port < 0 || port > 65535)
                return Fail("serve", "--rfc2217 \"" + v + "\": expected HOST:PORT", kServeUsage);
            o.host = v.substr(0, colon);
            if (o.host == "localhost")
                o.host = "127.0.0.1";
            o.port = static_cast<int>(port);
        } else if (a == "--pty") {
            o.pty = v;
        } else if (a == "--line") {
            o.line = v;
        } else if (a == "--capture") {
            o.capture = v;
        } else if (a == "--registry") {
            o.registry = v;
        } else if (a == "--format") {
            if (!serlynx::ParseLineFormat(v, &o.format))
                return Fail("serve",
                            "--format \"" + v +
                                "\": expected data bits, parity and stop bits, e.g. 8N1, 7E1, 8O2",
                            kServeUsage);
        } else {
            o.stateFile = v;
        }
    }
    if (!o.usb.empty()) {
        cehost::RealUsbSelector selector;
        std::string error;
        if (!cehost::ParseRealUsbSelector(o.usb, &selector, &error))
            return Fail("serve", "--usb " + error, kServeUsage);
        for (const std::string& a : args)
            if (a == "--device" || a == "--line" || a == "--paced" || a == "--state-file")
                return Fail("serve", a + " is for device models; --usb serves a real device",
                            kServeUsage);
    }
    return serlynx::RunServe(o);
}

int Probe(const std::vector<std::string>& args) {
    std::string device, lsusb, usb;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (IsHelp(a))
            return Usage(kProbeUsage, false);
        const bool known = a == "--device" || a == "--lsusb" || a == "--usb";
        if (known && i + 1 < args.size()) {
            (a == "--device" ? device : a == "--lsusb" ? lsusb : usb) = args[++i];
            continue;
        }
        if (known)
            return Fail("probe", a + " needs a value", kProbeUsage);
        return Fail("probe", "unknown option \"" + a + "\"", kProbeUsage);
    }
    if (int(!device.empty()) + int(!lsusb.empty()) + int(!usb.empty()) != 1)
        return Fail("probe", "give exactly one of --device NAME, --lsusb FILE and --usb VID:PID",
                    kProbeUsage);
    if (!usb.empty()) {
        cehost::RealUsbSelector selector;
        std::string error;
        if (!cehost::ParseRealUsbSelector(usb, &selector, &error))
            return Fail("probe", "--usb " + error, kProbeUsage);
        return serlynx::RunProbeUsb(usb);
    }
    return device.empty() ? serlynx::RunProbeLsusb(lsusb) : serlynx::RunProbeModel(device);
}

int Registry(const std::vector<std::string>& args) {
    std::string store;
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        if (IsHelp(args[i]))
            return Usage(kRegistryUsage, false);
        if (args[i] == "--registry") {
            if (i + 1 >= args.size())
                return Fail("registry", "--registry needs a value", kRegistryUsage);
            store = args[++i];
            continue;
        }
        if (args[i].rfind("--", 0) == 0)
            return Fail("registry", "unknown option \"" + args[i] + "\"", kRegistryUsage);
        rest.push_back(args[i]);
    }
    if (rest.size() != 2 || (rest[0] != "export" && rest[0] != "import"))
        return Fail("registry", "expected `export FILE` or `import FILE`", kRegistryUsage);
    return serlynx::RunRegistry(rest[0], rest[1], store);
}

int Bench(const std::vector<std::string>& args) {
    serlynx::BenchOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (IsHelp(a))
            return Usage(kBenchUsage, false);
        if (a == "--quick") {
            o.quick = true;
            continue;
        }
        if (a != "--seconds" && a != "--samples" && a != "--only" && a != "--completion" &&
            a != "--rx-slots" && a != "--json")
            return Fail("bench", "unknown option \"" + a + "\"", kBenchUsage);
        if (i + 1 >= args.size())
            return Fail("bench", a + " needs a value", kBenchUsage);
        const std::string& v = args[++i];
        if (a == "--only") {
            o.only = v;
            continue;
        }
        if (a == "--json") {
            o.json = v;
            continue;
        }
        if (a == "--completion") {
            if (v == "transfer") {
                o.completion = cehost::UsbCompletion::kPerTransfer;
            } else if (v == "frame") {
                o.completion = cehost::UsbCompletion::kEndOfFrame;
            } else {
                char* end = nullptr;
                const long n = v.rfind("every:", 0) == 0 ? std::strtol(v.c_str() + 6, &end, 10) : 0;
                if (end == nullptr || end == v.c_str() + 6 || *end != '\0' || n < 1 || n > 1024)
                    return Fail("bench",
                                "--completion \"" + v +
                                    "\": expected transfer, frame or every:N (N from 1 to 1024)",
                                kBenchUsage);
                o.completion = cehost::UsbCompletion::kEveryFrames;
                o.completionFrames = static_cast<int>(n);
            }
            continue;
        }
        if (a == "--rx-slots") {
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (end == v.c_str() || *end != '\0' || n < 1 || n > 8)
                return Fail("bench", "--rx-slots \"" + v + "\": expected 1 to 8", kBenchUsage);
            o.rxSlots = static_cast<int>(n);
            continue;
        }
        char* end = nullptr;
        const double value = std::strtod(v.c_str(), &end);
        const double most = a == "--seconds" ? 3600 : 1e7;
        if (end == v.c_str() || *end != '\0' || !(value > 0) || value > most)
            return Fail("bench", a + " \"" + v + "\": expected a positive number", kBenchUsage);
        if (a == "--seconds")
            o.seconds = value;
        else
            o.echoSamples = static_cast<int>(value);
    }
    return serlynx::RunBench(o);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage(kUsage, true);
    const std::string command = args[0];
    args.erase(args.begin());
    if (IsHelp(command) || command == "help")
        return Usage(kUsage, false);
    if (command == "serve")
        return Serve(args);
    if (command == "probe")
        return Probe(args);
    if (command == "devices") {
        if (!args.empty() && IsHelp(args[0]))
            return Usage(kDevicesUsage, false);
        if (args.size() == 1 && args[0] == "--usb")
            return serlynx::RunDevicesUsb();
        if (!args.empty())
            return Fail("devices", "takes no arguments but --usb", kDevicesUsage);
        return serlynx::RunDevices();
    }
    if (command == "registry")
        return Registry(args);
    if (command == "bench")
        return Bench(args);
    std::fprintf(stderr, "serlynx: unknown command \"%s\"\n\n%s", command.c_str(), kUsage);
    return 2;
}
