// serve: boots the platform (registry file, USB bus, driver installation),
// wires the line behind the device (a loopback plug, an open line or a
// null modem to a second served device), serves one or two devices through
// Server (server.h), and on SIGINT or SIGTERM tears everything down, saves
// the registry and the capture, and reports what the platform counted.
//
// Runs on the main thread; Server's paragraph says which threads it starts.
#include "serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "cehost/counters.h"
#include "cehost/devmgr.h"
#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "cehost/usb_real.h"
#include "platform.h"
#include "server.h"
#include "sim/catalog.h"
#include "sim/serial_line.h"

namespace serlynx {

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char b = 1;
    ssize_t ignored = write(gSignalPipe[1], &b, 1);
    (void)ignored;
}

// Nothing behind the device: an open cable. Bytes sent are lost, inputs low.
class OpenLine : public sim::SerialLine {
  public:
    void Transmit(const uint8_t*, size_t) override {}
    void SetOutputs(bool, bool) override {}
    void SetBreak(bool) override {}
    void Configure(const sim::LineConfig&) override {}
    sim::ModemInputs Inputs() const override { return {}; }
};

// The line behind the main device, and the far device of a null modem.
struct Wiring {
    std::shared_ptr<sim::SerialLine> line, line2;  // the main device's channels
    std::shared_ptr<sim::SerialLine> farLine, farLine2;
    const sim::ModelEntry* far = nullptr;
};

bool Wire(const ServeOptions& o, Wiring* w) {
    sim::LinePacing pacing;
    pacing.paced = o.paced;
    if (o.line == "loopback") {
        // Paced, characters go round the plug at the rate the device is set
        // to, and the chip's transmit FIFO holds the host back.
        w->line = std::make_shared<sim::LoopbackPlug>(pacing);
        w->line2 = std::make_shared<sim::LoopbackPlug>(pacing);
        return true;
    }
    if (o.line == "none") {
        if (o.paced) {
            std::fprintf(stderr,
                         "serlynx serve: --paced: there is no line to pace with --line "
                         "none\n");
            return false;
        }
        w->line = std::make_shared<OpenLine>();
        w->line2 = std::make_shared<OpenLine>();
        return true;
    }
    if (o.line.rfind("null-modem:", 0) == 0) {
        const std::string name = o.line.substr(11);
        w->far = sim::FindModel(name);
        if (w->far == nullptr) {
            std::fprintf(stderr,
                         "serlynx serve: --line %s: unknown device \"%s\"; the models are: %s\n",
                         o.line.c_str(), name.c_str(), sim::ModelNames().c_str());
            return false;
        }
        // The cable joins the two first channels; second channels (of a
        // two-channel device) get plugs of their own.
        auto cable = sim::NullModem::Create(pacing);
        w->line = cable->EndA();
        w->farLine = cable->EndB();
        w->line2 = std::make_shared<sim::LoopbackPlug>(pacing);
        w->farLine2 = std::make_shared<sim::LoopbackPlug>(pacing);
        return true;
    }
    std::fprintf(stderr,
                 "serlynx serve: --line \"%s\": expected loopback, none or null-modem:NAME\n",
                 o.line.c_str());
    return false;
}

bool InstallDriver() {
    if (cehost::UsbInstallClient(kDriverLibrary))
        return true;
    std::fprintf(stderr,
                 "serlynx serve: the driver library could not be installed: is libserlynx.so "
                 "next to the serlynx executable?\n");
    return false;
}

// The real device `options.usb` names, as a model to plug on a kReal bus.
bool RealDevice(const ServeOptions& options, sim::BuiltModel* model) {
    cehost::RealUsbSelector selector;
    std::string error;
    if (!cehost::ParseRealUsbSelector(options.usb, &selector, &error)) {
        std::fprintf(stderr, "serlynx serve: --usb %s\n", error.c_str());
        return false;
    }
    const std::vector<cehost::RealUsbDevice> devices = cehost::ListRealUsbDevices();
    const int at = cehost::SelectRealUsbDevice(devices, selector, &error);
    if (at < 0) {
        std::fprintf(stderr, "serlynx serve: %s\n", error.c_str());
        return false;
    }
    auto real = std::make_shared<cehost::RealUsbDeviceModel>(devices[size_t(at)]);
    model->usb = real;
    model->stateJson = [real] {
        const cehost::RealUsbDevice& d = real->Device();
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", d.vendor, d.product);
        return std::string("{\"model\":\"usb\",\"ids\":\"") + ids + "\",\"port\":\"" + d.port +
               "\"}";
    };
    return true;
}

int Serve(const ServeOptions& options) {
    Console& console = TheConsole();
    sim::BuiltModel realModel;
    if (!options.usb.empty() && !RealDevice(options, &realModel))
        return 1;
    const sim::ModelEntry* entry = options.usb.empty() ? sim::FindModel(options.device) : nullptr;
    if (entry == nullptr && options.usb.empty()) {
        std::fprintf(stderr, "serlynx serve: unknown device \"%s\"; the models are: %s\n",
                     options.device.c_str(), sim::ModelNames().c_str());
        return 2;
    }
    Wiring wiring;
    if (!Wire(options, &wiring))
        return 2;
    if (pipe2(gSignalPipe, O_CLOEXEC) != 0)
        return 1;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!options.registry.empty()) {
        if (std::filesystem::exists(options.registry)) {
            cehost::RegFileError error;
            if (!cehost::ImportRegFile(options.registry, &error)) {
                std::fprintf(stderr, "serlynx serve: %s: %s\n", options.registry.c_str(),
                             error.ToString().c_str());
                return 1;
            }
            console.Line("loaded the registry from %s", options.registry.c_str());
        } else {
            console.Line(
                "%s does not exist yet: starting with an empty registry, saved there "
                "at exit",
                options.registry.c_str());
        }
    }
    auto bus = std::make_unique<cehost::UsbBus>(options.usb.empty() ? cehost::UsbTiming::kUntimed
                                                                    : cehost::UsbTiming::kReal);
    // The traffic log grows with every transfer: keep it only when asked.
    bus->SetLogging(!options.capture.empty());

    // The far device of a null modem is served too, on the next port.
    std::vector<std::unique_ptr<Server>> servers;
    servers.push_back(std::make_unique<Server>(options, ""));
    if (wiring.far != nullptr) {
        ServeOptions far;
        far.device = wiring.far->name;
        far.host = options.host;
        far.port = options.port == 0 ? 0 : options.port + 1;
        servers.push_back(std::make_unique<Server>(far, " (far end of the null modem)"));
    }
    bool ok = InstallDriver();
    if (ok) {
        console.Line("installed the driver: %s names serlynx.dll",
                     cehost::Utf8(kCatchAllKeyPath).c_str());
        ok = servers[0]->ServeDevice(
            *bus, entry ? entry->Make(wiring.line, wiring.line2) : std::move(realModel));
    }
    // Each first attach spends the catch-all entry: arm it again.
    if (ok && servers.size() > 1)
        ok = InstallDriver() &&
             servers[1]->ServeDevice(*bus, wiring.far->Make(wiring.farLine, wiring.farLine2));
    for (auto& server : servers)
        ok = ok && server->Listen();
    ok = ok && servers[0]->OpenPty();
    int status = 0;
    if (ok) {
        for (auto& server : servers)
            server->Start();
        console.Line("ready; Ctrl-C unplugs the device and exits");
        while (true) {
            std::vector<pollfd> fds{{gSignalPipe[0], POLLIN, 0}};
            for (auto& server : servers)
                fds.push_back({server->ListenFd(), POLLIN, 0});
            int n = poll(fds.data(), fds.size(), 500);
            if (n < 0 && errno != EINTR)
                break;
            if (fds[0].revents & POLLIN)
                break;
            if (servers[0]->DeviceGone()) {
                console.EndStatus();
                console.Line(
                    "the device was unplugged and the driver removed its port; plug it in "
                    "and start serve again");
                status = 1;
                break;
            }
            for (size_t i = 0; i < servers.size(); ++i) {
                if (fds[i + 1].revents & POLLIN)
                    servers[i]->Accept();
                servers[i]->Tick();
            }
            console.Status(servers[0]->StatusText());
        }
        console.EndStatus();
        console.Line("stopping");
    } else {
        status = 1;
    }
    for (auto it = servers.rbegin(); it != servers.rend(); ++it)
        (*it)->Shutdown();
    if (!options.capture.empty()) {
        if (bus->WritePcap(options.capture)) {
            console.Line("wrote the USB traffic to %s", options.capture.c_str());
        } else {
            std::fprintf(stderr, "serlynx serve: cannot write %s\n", options.capture.c_str());
            status = 1;
        }
    }
    servers.clear();
    bus.reset();
    if (!options.registry.empty() && status == 0) {
        cehost::RegFileError error;
        if (cehost::ExportRegFile(options.registry, u"", &error)) {
            console.Line("saved the registry to %s", options.registry.c_str());
        } else {
            std::fprintf(stderr, "serlynx serve: %s: %s\n", options.registry.c_str(),
                         error.ToString().c_str());
            status = 1;
        }
    }
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0)
        std::fprintf(stderr, "serlynx serve: the platform counted misuse or leaks: %s\n",
                     cehost::CountersReport().c_str());
    return status;
}

}  // namespace

bool ParseLineFormat(const std::string& text, LineFormat* format) {
    if (text.size() < 3 || text[0] < '5' || text[0] > '8')
        return false;
    static const char kParities[] = "NOEMS";  // RFC 2217 codes 1..5 in this order
    const char* p = std::strchr(kParities, std::toupper(static_cast<unsigned char>(text[1])));
    if (p == nullptr || *p == '\0')
        return false;
    const std::string stop = text.substr(2);
    uint8_t stopCode = stop == "1"     ? rfc2217::kStopOne
                       : stop == "1.5" ? rfc2217::kStopOneAndHalf
                       : stop == "2"   ? rfc2217::kStopTwo
                                       : 0;
    if (stopCode == 0)
        return false;
    format->dataBits = static_cast<uint8_t>(text[0] - '0');
    format->parity = static_cast<uint8_t>(rfc2217::kParityNone + (p - kParities));
    format->stopBits = stopCode;
    return true;
}

int RunServe(const ServeOptions& options) {
    return Serve(options);
}

}  // namespace serlynx
