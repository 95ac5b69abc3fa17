#include "bench.h"

#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/devmgr.h"
#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "git_revision.h"
#include "platform.h"
#include "sim/catalog.h"
#include "sim/serial_line.h"

namespace serlynx {

namespace {

using Clock = std::chrono::steady_clock;
using cehost::UsbTiming;

// Payload a bus carries at most: 19 bulk packets of 64 bytes a 1 ms frame,
// 13 of 512 bytes a 125 us microframe.
constexpr double kFullSpeedLimit = 1.216e6;
constexpr double kHighSpeedLimit = 53.248e6;
constexpr DWORD kDefaultRing = 4096;
// The device FIFO the feeder keeps topped up: deep enough that the line is
// never what the bus waits for.
constexpr size_t kDeviceFifo = 1 << 20;
constexpr size_t kFeedLevel = 256 << 10;

// The run's bus and port options (BenchOptions), set by RunBench.
cehost::UsbCompletion gCompletion = cehost::UsbCompletion::kPerTransfer;
int gCompletionFrames = 8;
int gRxSlots = 0;

enum class Kind { kBasic, kCdc, kFtdi };
const char* KindName(Kind k) {
    return k == Kind::kBasic ? "basic" : k == Kind::kCdc ? "cdc" : "ftdi";
}

const char* BusName(UsbTiming t) {
    return t == UsbTiming::kUntimed     ? "untimed"
           : t == UsbTiming::kFullSpeed ? "full-speed"
                                        : "high-speed";
}
double BusLimit(UsbTiming t) {
    return t == UsbTiming::kHighSpeed ? kHighSpeedLimit : kFullSpeedLimit;
}
uint16_t BulkPacket(UsbTiming t) {
    return t == UsbTiming::kFullSpeed ? 64 : 512;
}
// Payload the bus can bring in at most: every bulk-IN packet of an FTDI chip
// starts with its two status bytes.
double RxLimit(Kind kind, UsbTiming t) {
    const double packet = BulkPacket(t);
    return BusLimit(t) * (kind == Kind::kFtdi ? (packet - 2) / packet : 1.0);
}
// Payload the bus can take out at most: every port here writes one chunk a
// transfer, one byte under the packet size (so that no zero-length packet
// is needed) and one more under when that length ends in 0xF (lengths the
// chips lose): 62 of 64, 510 of 512.
double TxLimit(UsbTiming t) {
    const unsigned packet = BulkPacket(t);
    unsigned chunk = packet - 1;
    if ((chunk & 0xFu) == 0xFu)
        chunk -= 1;
    return BusLimit(t) * chunk / packet;
}
double FrameMicroseconds(UsbTiming t) {
    return t == UsbTiming::kHighSpeed ? 125.0 : 1000.0;
}

// The far end of the serial line: sends whenever fed, counts what the
// device transmitted, holds CTS and DSR on.
class BenchLine : public sim::SerialLine {
  public:
    void Feed(const uint8_t* data, size_t n) { DeliverReceive(data, n); }
    void Transmit(const uint8_t*, size_t length) override { transmitted += length; }
    void SetOutputs(bool, bool) override {}
    void SetBreak(bool) override {}
    void Configure(const sim::LineConfig&) override {}
    sim::ModemInputs Inputs() const override {
        sim::ModemInputs in{};
        in.cts = in.dsr = true;
        return in;
    }
    std::atomic<uint64_t> transmitted{0};
};

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// Devices of one kind and packet size differ in product id by `group`, so
// that each group has its own device key (and port name prefix: the device
// manager names only ten ports per prefix).
sim::BuiltModel MakeDevice(Kind kind, uint16_t packet, int group,
                           std::shared_ptr<sim::SerialLine> line) {
    const char* name = kind == Kind::kBasic ? "bulk"
                       : kind == Kind::kCdc ? "cdc-acm"
                       : packet > 64        ? "ftdi-hs"
                                            : "ftdi";
    sim::ModelConfig config = sim::FindModel(name)->config;
    const uint16_t bcd = packet > 64 ? 0x0200 : 0x0110;
    const uint16_t speed = packet > 64 ? 0x10 : 0;
    std::visit(Overloaded{
                   [&](sim::BulkModelConfig& c) {
                       c.inPacket = c.outPacket = packet;
                       c.bcdUsb = bcd;
                       c.product = static_cast<uint16_t>(0x5E40 + group + speed);
                       c.rxFifo = kDeviceFifo;
                   },
                   [&](sim::CdcModelConfig& c) {
                       c.bulkPacket = packet;
                       c.bcdUsb = bcd;
                       c.product = static_cast<uint16_t>(0x5E60 + group + speed);
                       c.rxFifo = kDeviceFifo;
                   },
                   [&](sim::FtdiModelConfig& c) {
                       c.release = static_cast<uint16_t>(c.release + group);
                       c.rxFifo = kDeviceFifo;
                   },
                   [&](sim::Rcs310ModelConfig& c) { c.rxFifo = kDeviceFifo; },
               },
               config);
    return sim::BuildModel(config, std::move(line));
}

// Copies the values of the device key at `from` to a new key at `to`.
bool CopyDeviceKey(const std::u16string& from, const std::u16string& to) {
    for (const std::u16string& name : cehost::RegValueNames(from)) {
        std::optional<cehost::RegValue> value = cehost::RegRead(from, name);
        if (!value || !cehost::RegWrite(to, name, value->type, std::move(value->data)))
            return false;
    }
    return cehost::RegKeyExists(to);
}

// Makes sure the device key of (kind, packet, group) exists with the given
// ring size: group 0's comes from the driver's own first attach, the
// others are copies under another prefix.
bool PrepareKey(Kind kind, uint16_t packet, int group, DWORD ring) {
    auto probe = MakeDevice(kind, packet, group, nullptr);
    const std::u16string path = DeviceKeyPath(probe.usb->DeviceDescriptor());
    if (!cehost::RegKeyExists(path)) {
        if (group == 0) {
            cehost::UsbBus bus(UsbTiming::kUntimed);
            bus.SetLogging(false);
            DeviceKey key;
            std::string error;
            if (!ProbeModel(bus, probe.usb, &key, &error)) {
                std::fprintf(stderr, "serlynx bench: %s\n", error.c_str());
                return false;
            }
        } else {
            if (!PrepareKey(kind, packet, 0, ring))
                return false;
            auto first = MakeDevice(kind, packet, 0, nullptr);
            char prefix[16];
            std::snprintf(prefix, sizeof prefix, "B%02d", group);
            if (!CopyDeviceKey(DeviceKeyPath(first.usb->DeviceDescriptor()), path) ||
                !cehost::RegWriteString(path, kValuePrefix, cehost::Utf16(prefix))) {
                std::fprintf(stderr, "serlynx bench: could not copy the device key\n");
                return false;
            }
        }
    }
    return cehost::RegWriteDword(path, kValueReceiveBuffer, ring) &&
           cehost::RegWriteDword(path, kValueReceiveSlots, static_cast<DWORD>(gRxSlots));
}

// One served, opened port.
struct Port {
    std::shared_ptr<BenchLine> line;
    std::shared_ptr<sim::SerialLine> anyLine;
    sim::BuiltModel device;
    cehost::UsbBus* bus = nullptr;
    cehost::UsbDeviceId id = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;

    ~Port() { Close(); }
    void Close() {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        if (bus != nullptr && id != 0)
            bus->Unplug(id);
        id = 0;
    }
};

// Plugs the device on `bus`, finds the port the driver made for it and
// opens it. `line` null: a BenchLine is made.
std::unique_ptr<Port> OpenPort(cehost::UsbBus& bus, Kind kind, uint16_t packet, int group,
                               DWORD ring, std::shared_ptr<sim::SerialLine> line = nullptr) {
    if (!PrepareKey(kind, packet, group, ring))
        return nullptr;
    auto port = std::make_unique<Port>();
    if (line == nullptr) {
        port->line = std::make_shared<BenchLine>();
        line = port->line;
    }
    port->anyLine = line;
    port->device = MakeDevice(kind, packet, group, line);
    port->bus = &bus;
    bus.SetCompletion(gCompletion, gCompletionFrames);
    port->id = bus.Plug(port->device.usb);
    if (port->id == 0 || bus.Owner(port->id) != u"Serlynx") {
        std::fprintf(stderr, "serlynx bench: the driver did not serve the %s device\n",
                     KindName(kind));
        return nullptr;
    }
    auto active = cehost::ActiveDevices();
    std::u16string name;
    for (auto it = active.rbegin(); it != active.rend() && name.empty(); ++it) {
        if (!it->removing)
            name = it->name;
    }
    port->handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (port->handle == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "serlynx bench: %s could not be opened\n", cehost::Utf8(name).c_str());
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port->handle, &dcb);
    dcb.BaudRate = 3000000;
    SetCommState(port->handle, &dcb);
    // Reads return what is there, or wait up to 50 ms for the first byte.
    COMMTIMEOUTS t{MAXDWORD, 0, 50, 0, 1000};
    SetCommTimeouts(port->handle, &t);
    return port;
}

// CPU time and voluntary thread switches (a thread going to sleep: a wait
// on an event, a lock or a condition) of the whole process, every thread.
struct Usage {
    double cpu = 0;
    double switches = 0;
};
Usage ProcessUsage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    Usage r;
    r.cpu = u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    r.switches = static_cast<double>(u.ru_nvcsw);
    return r;
}

long ThreadCount() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Threads:", 0) == 0)
            return std::stol(line.substr(8));
    }
    return -1;
}

double RssBytes() {
    std::ifstream in("/proc/self/statm");
    long size = 0, resident = 0;
    in >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// Keeps each port's device FIFO topped up from one thread.
class Feeder {
  public:
    explicit Feeder(std::vector<Port*> ports) : ports_(std::move(ports)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Feeder() {
        stop_ = true;
        thread_.join();
    }

  private:
    void Run() {
        std::vector<uint8_t> chunk(16384);
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<uint8_t>(i);
        while (!stop_) {
            bool fed = false;
            for (Port* p : ports_) {
                if (p->device.pending() < kFeedLevel) {
                    p->line->Feed(chunk.data(), chunk.size());
                    fed = true;
                }
            }
            if (!fed)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    std::vector<Port*> ports_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Throughput {
    double bytesPerSecond = 0;
    double cpuPerMb = 0;
    double bytes = 0;
    double switches = 0;  // sleeps of the process's threads while measuring

    // Measures for `seconds` in five windows: the rate is the median
    // window's, so that a short burst of other work on the machine does not
    // decide the figure; CPU and sleeps are over the whole time.
    void Measure(const std::function<uint64_t()>& moved, double seconds) {
        constexpr int kWindows = 5;
        std::vector<double> rates;
        const Usage u0 = ProcessUsage();
        const uint64_t first = moved();
        uint64_t last = first;
        for (int i = 0; i < kWindows; ++i) {
            const auto t0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds / kWindows));
            const uint64_t now = moved();
            const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
            rates.push_back(static_cast<double>(now - last) / elapsed);
            last = now;
        }
        const Usage u1 = ProcessUsage();
        std::sort(rates.begin(), rates.end());
        bytesPerSecond = rates[kWindows / 2];
        bytes = static_cast<double>(last - first);
        cpuPerMb = bytes > 0 ? (u1.cpu - u0.cpu) / (bytes / 1e6) : 0;
        switches = u1.switches - u0.switches;
    }
    // Sleeps per packet's worth of payload.
    double SwitchesPerPacket(double payloadPerPacket) const {
        return bytes > 0 ? switches / (bytes / payloadPerPacket) : 0;
    }
};

// Reads every port in a loop (a thread each) with the devices fed; the
// rate is measured after a warm-up of a fifth of the time.
Throughput MeasureRx(const std::vector<Port*>& ports, double seconds) {
    Feeder feeder(ports);
    std::atomic<bool> stop{false};
    std::vector<std::atomic<uint64_t>> got(ports.size());
    std::vector<std::thread> readers;
    for (size_t i = 0; i < ports.size(); ++i) {
        readers.emplace_back([&, i] {
            std::vector<uint8_t> buffer(65536);
            while (!stop) {
                DWORD n = 0;
                if (!ReadFile(ports[i]->handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                              &n, nullptr))
                    break;
                got[i] += n;
            }
        });
    }
    auto total = [&] {
        uint64_t sum = 0;
        for (auto& g : got)
            sum += g;
        return sum;
    };
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 5));
    Throughput t;
    t.Measure(total, seconds);
    stop = true;
    for (auto& r : readers)
        r.join();
    return t;
}

// Writes 4096-byte blocks in a loop; the rate is what reached the line.
Throughput MeasureTx(Port& port, double seconds) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<uint8_t> block(4096, 0x55);
        while (!stop) {
            DWORD n = 0;
            if (!WriteFile(port.handle, block.data(), static_cast<DWORD>(block.size()), &n,
                           nullptr))
                break;
        }
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 5));
    Throughput t;
    t.Measure([&] { return port.line->transmitted.load(); }, seconds);
    stop = true;
    PurgeComm(port.handle, PURGE_TXABORT | PURGE_TXCLEAR);
    writer.join();
    return t;
}

struct Percentiles {
    double p50 = 0, p99 = 0;  // microseconds
    double switches = 0;      // sleeps of the process's threads per round trip
    double cpuUs = 0;         // CPU time of the process per round trip
};
Percentiles Summarise(std::vector<double> us) {
    Percentiles p;
    if (us.empty())
        return p;
    std::sort(us.begin(), us.end());
    p.p50 = us[us.size() / 2];
    p.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return p;
}

// Round-trip samples in microseconds, with the process's CPU time and
// sleeps over the trips they came from.
struct Trips {
    std::vector<double> us;
    int count = 0;
    Usage used;

    void Add(const Usage& u0, const Usage& u1, int trips) {
        used.cpu += u1.cpu - u0.cpu;
        used.switches += u1.switches - u0.switches;
        count += trips;
    }
    Percentiles Summary() const {
        Percentiles p = Summarise(us);
        if (count > 0) {
            p.switches = used.switches / count;
            p.cpuUs = used.cpu * 1e6 / count;
        }
        return p;
    }
};

// 1 byte out through the loopback plug and back, `samples` times after a
// warm-up of 10.
bool EchoSamples(Port& port, int samples, Trips& trips) {
    // Wait for the first byte, then return at once.
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 1000, 0, 1000};
    SetCommTimeouts(port.handle, &t);
    uint8_t out = 0x5A, in = 0;
    const Usage u0 = ProcessUsage();
    for (int i = 0; i < samples + 10; ++i) {
        const auto t0 = Clock::now();
        DWORD n = 0;
        if (!WriteFile(port.handle, &out, 1, &n, nullptr) || n != 1)
            return false;
        if (!ReadFile(port.handle, &in, 1, &n, nullptr) || n != 1)
            return false;
        if (i >= 10)  // warm-up
            trips.us.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    trips.Add(u0, ProcessUsage(), samples + 10);
    return true;
}

struct PingPong {
    HANDLE ping = nullptr, pong = nullptr;
    int rounds = 0;
};
DWORD WINAPI PongThread(LPVOID arg) {
    auto* pp = static_cast<PingPong*>(arg);
    for (int i = 0; i < pp->rounds; ++i) {
        WaitForSingleObject(pp->ping, INFINITE);
        SetEvent(pp->pong);
    }
    return 0;
}

// The bare hand-off: two platform threads bouncing two auto-reset events,
// `samples` times after a warm-up of 10.
void PingPongSamples(int samples, Trips& trips) {
    PingPong pp;
    pp.ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    pp.pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    pp.rounds = samples + 10;
    HANDLE thread = CreateThread(nullptr, 0, PongThread, &pp, 0, nullptr);
    const Usage u0 = ProcessUsage();
    for (int i = 0; i < pp.rounds; ++i) {
        const auto t0 = Clock::now();
        SetEvent(pp.ping);
        WaitForSingleObject(pp.pong, INFINITE);
        if (i >= 10)
            trips.us.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    trips.Add(u0, ProcessUsage(), pp.rounds);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(pp.ping);
    CloseHandle(pp.pong);
}

// One measured figure as the JSON output carries it (docs/performance.md,
// "The JSON output"): NaN and empty strings are written as null.
struct Figure {
    std::string scenario, port, bus;
    int packet = 0;  // bulk packet size of the bus's ports (0: none)
    DWORD ring = 0;  // "ReceiveBuffer" (0: not a receive figure)
    int ports = 0;
    double value = NAN;
    std::string unit;
    bool higherIsBetter = true;
    double limit = NAN;  // what the value is held against, in its unit
    double cpuPerMb = NAN, cpuUsPerTrip = NAN;
    double sleeps = NAN;
    std::string sleepsPer;                                // "packet", "chunk", "round trip"
    std::vector<std::pair<std::string, double>> details;  // further figures, by name

    // "<scenario> <port> [<bus>] [<ring> | <ports>]" ("rx ftdi full-speed
    // 4096", "echo bare", "scaling basic full-speed 16"): unique within a
    // run; what --only matches.
    std::string Name() const {
        std::string name = scenario + " " + port;
        if (!bus.empty())
            name += " " + bus;
        if (ring != 0)
            name += " " + std::to_string(ring);
        else if (scenario == "scaling")
            name += " " + std::to_string(ports);
        return name;
    }
};

struct TargetResult {
    std::string target, shown;
    double value = NAN;
    bool met = false;
};

// Figures the targets are judged on, gathered across the scenarios (NaN
// when the scenario did not run), and every figure for the JSON output.
struct Results {
    double rxFull = NAN, rxHigh = NAN;  // worst ratio to the limit, default settings
    double txFull = NAN;                // worst ratio to the chunked limit
    double echoFullFrames = NAN, echoFullFrames99 = NAN;
    double echoVsBare = NAN;
    double heapPerPort = NAN;
    double scaling32 = NAN;
    std::vector<Figure> figures;
    std::vector<TargetResult> targets;
};

// A figure of a port on `timing`'s bus, with the run's port settings.
Figure PortFigure(const char* scenario, const char* port, UsbTiming timing, int ports = 1) {
    Figure f;
    f.scenario = scenario;
    f.port = port;
    f.bus = BusName(timing);
    f.packet = BulkPacket(timing);
    f.ports = ports;
    return f;
}

double Worst(double a, double b) {
    return std::isnan(a) ? b : std::min(a, b);
}

// --only keeps the figures whose name (Figure::Name) contains its text, and
// the scenarios that have such figures.
bool Wanted(const BenchOptions& o, const std::string& name) {
    return o.only.empty() || name.find(o.only) != std::string::npos;
}
bool ScenarioWanted(const BenchOptions& o, const std::string& scenario) {
    return Wanted(o, scenario) || o.only.rfind(scenario + " ", 0) == 0;
}

void Header(const char* title) {
    std::printf("\n== %s\n", title);
}

bool BenchRx(const BenchOptions& o, Results& r) {
    Header(
        "rx: device -> ReadFile loop (MB/s; limit: the bus's line rate, less the FTDI status "
        "bytes)");
    std::printf("%-6s %-11s %-7s %10s %10s %8s %10s %8s\n", "port", "bus", "ring", "MB/s", "limit",
                "ratio", "cpu s/MB", "sl/pkt");
    const Kind kinds[] = {Kind::kBasic, Kind::kCdc, Kind::kFtdi};
    for (Kind kind : kinds) {
        for (UsbTiming timing :
             {UsbTiming::kUntimed, UsbTiming::kFullSpeed, UsbTiming::kHighSpeed}) {
            for (DWORD ring : {kDefaultRing, DWORD{65536}}) {
                if (o.quick && (ring != kDefaultRing || timing == UsbTiming::kHighSpeed))
                    continue;
                Figure f = PortFigure("rx", KindName(kind), timing);
                f.ring = ring;
                if (!Wanted(o, f.Name()))
                    continue;
                cehost::UsbBus bus(timing);
                bus.SetLogging(false);
                auto port = OpenPort(bus, kind, BulkPacket(timing), 0, ring);
                if (!port)
                    return false;
                Throughput t = MeasureRx({port.get()}, o.seconds);
                port->Close();
                const double payload = BulkPacket(timing) - (kind == Kind::kFtdi ? 2.0 : 0.0);
                f.value = t.bytesPerSecond / 1e6;
                f.unit = "MB/s";
                f.cpuPerMb = t.cpuPerMb;
                f.sleeps = t.SwitchesPerPacket(payload);
                f.sleepsPer = "packet";
                char limit[16] = "-", ratio[16] = "-";
                if (timing != UsbTiming::kUntimed) {
                    f.limit = RxLimit(kind, timing) / 1e6;
                    const double x = f.value / f.limit;
                    std::snprintf(limit, sizeof limit, "%.3f", f.limit);
                    std::snprintf(ratio, sizeof ratio, "%.3f", x);
                    if (ring == kDefaultRing) {
                        double& worst = timing == UsbTiming::kFullSpeed ? r.rxFull : r.rxHigh;
                        worst = Worst(worst, x);
                    }
                }
                std::printf("%-6s %-11s %-7u %10.3f %10s %8s %10.4f %8.2f\n", KindName(kind),
                            BusName(timing), static_cast<unsigned>(ring), f.value, limit, ratio,
                            f.cpuPerMb, f.sleeps);
                std::fflush(stdout);
                r.figures.push_back(f);
            }
        }
    }
    return true;
}

bool BenchTx(const BenchOptions& o, Results& r) {
    Header(
        "tx: WriteFile loop of 4096-byte blocks -> line (MB/s; limit: the line rate in the "
        "ports' chunks, 62 of 64 and 510 of 512 bytes a packet)");
    std::printf("%-6s %-11s %10s %10s %8s %10s %8s\n", "port", "bus", "MB/s", "limit", "ratio",
                "cpu s/MB", "sl/chunk");
    for (Kind kind : {Kind::kBasic, Kind::kCdc, Kind::kFtdi}) {
        for (UsbTiming timing :
             {UsbTiming::kUntimed, UsbTiming::kFullSpeed, UsbTiming::kHighSpeed}) {
            if (o.quick && timing == UsbTiming::kHighSpeed)
                continue;
            Figure f = PortFigure("tx", KindName(kind), timing);
            if (!Wanted(o, f.Name()))
                continue;
            cehost::UsbBus bus(timing);
            bus.SetLogging(false);
            auto port = OpenPort(bus, kind, BulkPacket(timing), 0, kDefaultRing);
            if (!port)
                return false;
            Throughput t = MeasureTx(*port, o.seconds);
            port->Close();
            const double chunk = TxLimit(timing) / BusLimit(timing) * BulkPacket(timing);
            f.value = t.bytesPerSecond / 1e6;
            f.unit = "MB/s";
            f.cpuPerMb = t.cpuPerMb;
            f.sleeps = t.SwitchesPerPacket(chunk);
            f.sleepsPer = "chunk";
            char limit[16] = "-", ratio[16] = "-";
            if (timing != UsbTiming::kUntimed) {
                f.limit = TxLimit(timing) / 1e6;
                const double x = f.value / f.limit;
                std::snprintf(limit, sizeof limit, "%.3f", f.limit);
                std::snprintf(ratio, sizeof ratio, "%.3f", x);
                if (timing == UsbTiming::kFullSpeed)
                    r.txFull = Worst(r.txFull, x);
            }
            std::printf("%-6s %-11s %10.3f %10s %8s %10.4f %8.2f\n", KindName(kind),
                        BusName(timing), f.value, limit, ratio, f.cpuPerMb, f.sleeps);
            std::fflush(stdout);
            r.figures.push_back(f);
        }
    }
    return true;
}

bool BenchEcho(const BenchOptions& o, Results& r) {
    Header(
        "echo: 1 byte through a loopback plug and back, basic port (us; frames); the bare "
        "ping-pong runs in blocks taken in turn with the untimed echo's");
    // Blocks of the bare ping-pong and of the untimed echo alternate, so that
    // both see the same machine: the ratio between them is what counts.
    constexpr int kBlocks = 10;
    const int block = std::max(1, o.echoSamples / kBlocks);
    Trips bareTrips;
    std::printf("%-11s %10s %10s %10s %10s %12s %8s %8s\n", "bus", "p50 us", "p99 us", "p50 fr",
                "p99 fr", "p50/bare", "sl/trip", "cpu us");
    for (UsbTiming timing : {UsbTiming::kUntimed, UsbTiming::kFullSpeed, UsbTiming::kHighSpeed}) {
        // The bare ping-pong comes with the untimed echo.
        if (!Wanted(o, std::string("echo basic ") + BusName(timing)) &&
            !(timing == UsbTiming::kUntimed && Wanted(o, "echo bare")))
            continue;
        cehost::UsbBus bus(timing);
        bus.SetLogging(false);
        auto plug = std::make_shared<sim::LoopbackPlug>();
        auto port = OpenPort(bus, Kind::kBasic, BulkPacket(timing), 0, kDefaultRing, plug);
        if (!port)
            return false;
        Trips trips;
        for (int i = 0; i < kBlocks; ++i) {
            if (timing == UsbTiming::kUntimed)
                PingPongSamples(block, bareTrips);
            if (!EchoSamples(*port, block, trips)) {
                std::fprintf(stderr, "serlynx bench: the echo did not come back\n");
                return false;
            }
        }
        port->Close();
        const Percentiles p = trips.Summary();
        const double frame = FrameMicroseconds(timing);
        char frames50[16] = "-", frames99[16] = "-", vsBare[16] = "-";
        auto echoFigure = [&](const char* port, const Percentiles& q) {
            Figure f = PortFigure("echo", port, timing);
            f.value = q.p50;
            f.unit = "us";
            f.higherIsBetter = false;
            f.cpuUsPerTrip = q.cpuUs;
            f.sleeps = q.switches;
            f.sleepsPer = "round trip";
            f.details.emplace_back("p99", q.p99);
            return f;
        };
        Figure echo = echoFigure("basic", p);
        if (timing == UsbTiming::kUntimed) {
            const Percentiles bare = bareTrips.Summary();
            std::printf("%-11s %10.1f %10.1f %10s %10s %12s %8.2f %8.1f\n", "bare", bare.p50,
                        bare.p99, "-", "-", "1.00x", bare.switches, bare.cpuUs);
            Figure f = echoFigure("bare", bare);  // on no bus
            f.bus.clear();
            f.packet = 0;
            f.ports = 0;
            r.figures.push_back(f);
            if (bare.p50 > 0) {
                r.echoVsBare = p.p50 / bare.p50;
                std::snprintf(vsBare, sizeof vsBare, "%.2fx", r.echoVsBare);
                echo.limit = bare.p50;
            }
        } else {
            echo.limit = frame;
            if (timing == UsbTiming::kFullSpeed) {
                r.echoFullFrames = p.p50 / frame;
                r.echoFullFrames99 = p.p99 / frame;
            }
            std::snprintf(frames50, sizeof frames50, "%.2f", p.p50 / frame);
            std::snprintf(frames99, sizeof frames99, "%.2f", p.p99 / frame);
        }
        std::printf("%-11s %10.1f %10.1f %10s %10s %12s %8.2f %8.1f\n", BusName(timing), p.p50,
                    p.p99, frames50, frames99, vsBare, p.switches, p.cpuUs);
        std::fflush(stdout);
        r.figures.push_back(echo);
    }
    return true;
}

bool BenchMemory(const BenchOptions& o, Results& r) {
    if (!Wanted(o, "memory basic untimed"))
        return true;
    Header("memory per idle open port, basic, default settings");
    const int count = o.quick ? 4 : 32;
    // Keys first, so that their registry storage is not counted.
    for (int g = 0; g < (count + 9) / 10; ++g) {
        if (!PrepareKey(Kind::kBasic, 64, g, kDefaultRing))
            return false;
    }
    cehost::UsbBus bus(UsbTiming::kUntimed);
    bus.SetLogging(false);
    const cehost::HeapStats heap0 = cehost::GetHeapStats();
    const double rss0 = RssBytes();
    std::vector<std::unique_ptr<Port>> ports;
    for (int i = 0; i < count; ++i) {
        auto port = OpenPort(bus, Kind::kBasic, 64, i / 10, kDefaultRing);
        if (!port)
            return false;
        ports.push_back(std::move(port));
    }
    const cehost::HeapStats heap1 = cehost::GetHeapStats();
    const double rss1 = RssBytes();
    const double heapPerPort =
        static_cast<double>(heap1.liveBytes - heap0.liveBytes) / static_cast<double>(count);
    r.heapPerPort = heapPerPort;
    std::printf(
        "%d ports: heap %.0f bytes/port (%.2f of 8 KiB), %.1f blocks/port; "
        "RSS growth %.1f KiB/port (includes the host's device, pipe and thread records)\n",
        count, heapPerPort, heapPerPort / 8192.0,
        static_cast<double>(heap1.liveBlocks - heap0.liveBlocks) / count,
        (rss1 - rss0) / 1024.0 / count);
    Figure f = PortFigure("memory", "basic", UsbTiming::kUntimed, count);
    f.packet = 64;
    f.value = heapPerPort;
    f.unit = "bytes";
    f.higherIsBetter = false;
    f.limit = 8192;
    f.details.emplace_back("blocks",
                           static_cast<double>(heap1.liveBlocks - heap0.liveBlocks) / count);
    f.details.emplace_back("rss_kib", (rss1 - rss0) / 1024.0 / count);
    r.figures.push_back(f);
    return true;
}

// What an open port costs while nothing moves: the CPU time of the whole
// process (bus scheduler polling the port's queued receive transfers every
// frame, and whatever the platform's waits spin) over the measuring time.
bool BenchIdle(const BenchOptions& o, Results& r) {
    Header("idle: CPU of one open basic port on its own bus, no data moving (% of one CPU)");
    for (UsbTiming timing : {UsbTiming::kFullSpeed, UsbTiming::kHighSpeed}) {
        Figure f = PortFigure("idle", "basic", timing);
        if (!Wanted(o, f.Name()))
            continue;
        cehost::UsbBus bus(timing);
        bus.SetLogging(false);
        auto port = OpenPort(bus, Kind::kBasic, BulkPacket(timing), 0, kDefaultRing);
        if (!port)
            return false;
        // Settled first: the open's own work is not idling.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const Usage u0 = ProcessUsage();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
        const Usage u1 = ProcessUsage();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        port->Close();
        f.value = 100.0 * (u1.cpu - u0.cpu) / wall;
        f.unit = "% CPU";
        f.higherIsBetter = false;
        f.sleeps = (u1.switches - u0.switches) / wall;
        f.sleepsPer = "second";
        std::printf("%-11s %6.2f %% of one CPU, %.1f sleeps/s\n", BusName(timing), f.value,
                    f.sleeps);
        std::fflush(stdout);
        r.figures.push_back(f);
    }
    return true;
}

bool BenchScaling(const BenchOptions& o, Results& r) {
    Header("scaling: N basic ports on N full-speed buses, aggregate rx");
    std::printf("%-5s %12s %12s %8s %9s %10s %8s\n", "N", "MB/s", "limit MB/s", "ratio", "threads",
                "cpu s/MB", "sl/pkt");
    const std::vector<int> counts =
        o.quick ? std::vector<int>{1, 4} : std::vector<int>{1, 4, 16, 32};
    for (int n : counts) {
        Figure f = PortFigure("scaling", "basic", UsbTiming::kFullSpeed, n);
        if (!Wanted(o, f.Name()))
            continue;
        const long threads0 = ThreadCount();
        std::vector<std::unique_ptr<cehost::UsbBus>> buses;
        std::vector<std::unique_ptr<Port>> ports;
        std::vector<Port*> raw;
        for (int i = 0; i < n; ++i) {
            buses.push_back(std::make_unique<cehost::UsbBus>(UsbTiming::kFullSpeed));
            buses.back()->SetLogging(false);
            auto port = OpenPort(*buses.back(), Kind::kBasic, 64, i / 10, kDefaultRing);
            if (!port)
                return false;
            raw.push_back(port.get());
            ports.push_back(std::move(port));
        }
        const long threads = ThreadCount() - threads0;
        Throughput t = MeasureRx(raw, o.seconds);
        for (auto& p : ports)
            p->Close();
        ports.clear();
        buses.clear();
        f.value = t.bytesPerSecond / 1e6;
        f.unit = "MB/s";
        f.limit = n * kFullSpeedLimit / 1e6;
        f.cpuPerMb = t.cpuPerMb;
        f.sleeps = t.SwitchesPerPacket(64);
        f.sleepsPer = "packet";
        if (n == 32)
            r.scaling32 = f.value / f.limit;
        std::printf("%-5d %12.3f %12.3f %8.3f %9ld %10.4f %8.2f\n", n, f.value, f.limit,
                    f.value / f.limit, threads, f.cpuPerMb, f.sleeps);
        std::fflush(stdout);
        f.details.emplace_back("threads", static_cast<double>(threads));
        r.figures.push_back(f);
    }
    std::printf("(threads: added by the N buses and ports, before the benchmark's own readers)\n");
    return true;
}

void Target(Results& r, const char* what, double value, bool met, const char* shown) {
    if (std::isnan(value))
        return;
    std::printf("  %-52s %-22s %s\n", what, shown, met ? "met" : "MISSED");
    r.targets.push_back({what, shown, value, met});
}

void Summary(Results& r) {
    Header("targets (figures of this run)");
    char text[48];
    std::snprintf(text, sizeof text, "worst %.3f", r.rxFull);
    Target(r, "rx >= 0.99 of the limit, full speed, default settings", r.rxFull, r.rxFull >= 0.99,
           text);
    std::snprintf(text, sizeof text, "worst %.3f", r.rxHigh);
    Target(r, "rx >= 0.99 of the limit, high speed, default settings", r.rxHigh, r.rxHigh >= 0.99,
           text);
    std::snprintf(text, sizeof text, "worst %.3f", r.txFull);
    Target(r, "tx >= 0.95 of the chunked limit, full speed", r.txFull, r.txFull >= 0.95, text);
    std::snprintf(text, sizeof text, "p50 %.2f, p99 %.2f", r.echoFullFrames, r.echoFullFrames99);
    Target(r, "round trip <= 2 frames, full speed (p50)", r.echoFullFrames, r.echoFullFrames <= 2,
           text);
    std::snprintf(text, sizeof text, "%.2fx", r.echoVsBare);
    Target(r, "untimed round trip <= 3x the bare ping-pong (p50)", r.echoVsBare, r.echoVsBare <= 3,
           text);
    std::snprintf(text, sizeof text, "%.0f bytes", r.heapPerPort);
    Target(r, "heap per idle port <= 8 KiB", r.heapPerPort, r.heapPerPort <= 8192, text);
    std::snprintf(text, sizeof text, "%.3f", r.scaling32);
    Target(r, "32 ports >= 0.90 of 32 x the line rate", r.scaling32, r.scaling32 >= 0.90, text);
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}
// Empty: null.
std::string JsonText(const std::string& text) {
    return text.empty() ? "null" : JsonString(text);
}
// NaN or infinite: null.
std::string JsonNumber(double value) {
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}
std::string JsonCount(long value, bool known = true) {
    return known ? std::to_string(value) : "null";
}

std::string CompletionName(const BenchOptions& o) {
    switch (o.completion) {
        case cehost::UsbCompletion::kPerTransfer:
            return "transfer";
        case cehost::UsbCompletion::kEndOfFrame:
            return "frame";
        case cehost::UsbCompletion::kEveryFrames:
            break;
    }
    return "every:" + std::to_string(o.completionFrames);
}

// The receive slots every port keeps queued when the device key names none.
constexpr int kDefaultRxSlots = 4;

// What the machine was doing at one moment: the load averages over 1, 5 and
// 15 minutes (NaN where unknown).
struct Load {
    double avg[3] = {NAN, NAN, NAN};
};
Load CurrentLoad() {
    Load l;
    double avg[3];
    if (getloadavg(avg, 3) == 3)
        std::copy(avg, avg + 3, l.avg);
    return l;
}
std::string JsonLoad(const Load& l) {
    return "[" + JsonNumber(l.avg[0]) + ", " + JsonNumber(l.avg[1]) + ", " + JsonNumber(l.avg[2]) +
           "]";
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

const char* CompilerName() {
#if defined(__clang__)
    return "clang " __clang_version__;
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#else
    return "";
#endif
}

struct RunInfo {
    std::string started;
    Load loadStart, loadEnd;
    double seconds = 0;
    bool complete = false;
    int status = 0;
    std::string counters;
};

// The run as JSON; the layout is documented in docs/performance.md.
std::string BenchJson(const BenchOptions& o, const Results& r, const RunInfo& run,
                      const std::vector<std::string>& scenarios) {
    std::string j = "{\n";
    j += "  \"schema\": \"serlynx-bench\",\n  \"schema_version\": 1,\n";
    j += "  \"source\": \"json\",\n";
    j += "  \"started\": " + JsonString(run.started) + ",\n";
    j += "  \"duration_s\": " + JsonNumber(run.seconds) + ",\n";
    j += "  \"complete\": " + std::string(run.complete ? "true" : "false") + ",\n";
    j += "  \"exit_status\": " + std::to_string(run.status) + ",\n";
    j += "  \"platform_counters\": " + JsonText(run.counters) + ",\n";
    j += "  \"git\": ";
    if (kGitRevision[0] == '\0')
        j += "null,\n";
    else
        j += std::string("{\"revision\": ") + JsonString(kGitRevision) +
             ", \"modified\": " + (kGitModified ? "true" : "false") + "},\n";
    j += "  \"settings\": {\"seconds\": " + JsonNumber(o.seconds) +
         ", \"samples\": " + std::to_string(o.echoSamples) +
         ", \"quick\": " + (o.quick ? "true" : "false") + ", \"only\": " + JsonText(o.only) +
         ", \"completion\": " + JsonString(CompletionName(o)) +
         ", \"rx_slots\": " + std::to_string(o.rxSlots > 0 ? o.rxSlots : kDefaultRxSlots) + "},\n";
    utsname u{};
    const bool haveUname = uname(&u) == 0;
    const long nproc = sysconf(_SC_NPROCESSORS_ONLN);
    j += "  \"machine\": {\"nproc\": " + JsonCount(nproc, nproc > 0) +
         ", \"load_start\": " + JsonLoad(run.loadStart) +
         ", \"load_end\": " + JsonLoad(run.loadEnd) + ", \"kernel\": " +
         JsonText(haveUname ? std::string(u.sysname) + " " + u.release + " " + u.machine : "") +
         ", \"compiler\": " + JsonText(CompilerName()) +
         ", \"build_type\": " + JsonText(SERLYNX_BUILD_TYPE) +
         ", \"sanitizer\": " + JsonText(SERLYNX_SANITIZER) + "},\n";
    j += "  \"scenarios\": [";
    for (size_t i = 0; i < scenarios.size(); ++i)
        j += (i ? ", " : "") + JsonString(scenarios[i]);
    j += "],\n  \"figures\": [";
    const std::string completion = JsonString(CompletionName(o));
    for (size_t i = 0; i < r.figures.size(); ++i) {
        const Figure& f = r.figures[i];
        const bool port = f.port != "bare";
        const bool timed = port && f.bus != "untimed";
        const double ratio = f.value / f.limit;
        j += i ? ",\n    " : "\n    ";
        j += "{\"name\": " + JsonString(f.Name()) + ", \"scenario\": " + JsonString(f.scenario) +
             ", \"port\": " + JsonString(f.port) + ", \"bus\": " + JsonText(f.bus) +
             ", \"packet\": " + JsonCount(f.packet, f.packet > 0) +
             ", \"ring\": " + JsonCount(f.ring, f.ring > 0) +
             ", \"ports\": " + JsonCount(f.ports, f.ports > 0) +
             ", \"slots\": " + JsonCount(o.rxSlots > 0 ? o.rxSlots : kDefaultRxSlots, port) +
             ", \"completion\": " + (timed ? completion : "null") +
             ",\n     \"value\": " + JsonNumber(f.value) + ", \"unit\": " + JsonString(f.unit) +
             ", \"better\": " + (f.higherIsBetter ? "\"higher\"" : "\"lower\"") +
             ", \"limit\": " + JsonNumber(f.limit) + ", \"ratio\": " + JsonNumber(ratio) +
             ", \"cpu_s_per_mb\": " + JsonNumber(f.cpuPerMb) +
             ", \"cpu_us_per_trip\": " + JsonNumber(f.cpuUsPerTrip) +
             ", \"sleeps\": " + JsonNumber(f.sleeps) +
             ", \"sleeps_per\": " + JsonText(f.sleepsPer) + ", \"details\": {";
        for (size_t k = 0; k < f.details.size(); ++k)
            j += (k ? ", " : "") + JsonString(f.details[k].first) + ": " +
                 JsonNumber(f.details[k].second);
        j += "}}";
    }
    j += "\n  ],\n  \"targets\": [";
    for (size_t i = 0; i < r.targets.size(); ++i) {
        const TargetResult& t = r.targets[i];
        j += i ? ",\n    " : "\n    ";
        j += "{\"target\": " + JsonString(t.target) + ", \"value\": " + JsonNumber(t.value) +
             ", \"shown\": " + JsonString(t.shown) + ", \"met\": " + (t.met ? "true" : "false") +
             "}";
    }
    j += "\n  ]\n}\n";
    return j;
}

}  // namespace

int RunBench(const BenchOptions& options) {
    BenchOptions o = options;
    if (o.quick) {
        o.seconds = std::min(o.seconds, 0.2);
        o.echoSamples = std::min(o.echoSamples, 50);
    }
    // With the JSON on standard output, everything else printed goes to
    // standard error, the platform's messages included.
    FILE* jsonFile = nullptr;
    int jsonFd = -1;
    if (o.json == "-") {
        std::fflush(stdout);
        jsonFd = dup(STDOUT_FILENO);
        if (jsonFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "serlynx bench: cannot redirect the text output: %s\n",
                         std::strerror(errno));
            return 1;
        }
    } else if (!o.json.empty()) {
        jsonFile = std::fopen(o.json.c_str(), "w");
        if (jsonFile == nullptr) {
            std::fprintf(stderr, "serlynx bench: cannot write %s: %s\n", o.json.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    RunInfo run;
    run.started = UtcNow();
    run.loadStart = CurrentLoad();
    const auto started = Clock::now();
    std::printf(
        "serlynx bench: %.1f s per figure%s; figures are wall-clock on this machine, "
        "ratios are to limits measured or fixed in this run\n",
        o.seconds, o.quick ? " (quick smoke run)" : "");
    gCompletion = o.completion;
    gCompletionFrames = o.completionFrames;
    gRxSlots = o.rxSlots;
    const char* mode = o.completion == cehost::UsbCompletion::kPerTransfer ? "per transfer"
                       : o.completion == cehost::UsbCompletion::kEndOfFrame
                           ? "at the end of each frame"
                           : "every N frames";
    std::printf("timed buses report completions %s", mode);
    if (o.completion == cehost::UsbCompletion::kEveryFrames)
        std::printf(" (N = %d)", o.completionFrames);
    std::printf("; receive slots: %s\n",
                o.rxSlots > 0 ? std::to_string(o.rxSlots).c_str() : "the default (4)");
    cehost::ResetPlatform();
    bool ok = true;
    Results results;
    struct Scenario {
        const char* name;
        bool (*run)(const BenchOptions&, Results&);
    };
    const Scenario scenarios[] = {{"rx", BenchRx},
                                  {"tx", BenchTx},
                                  {"echo", BenchEcho},
                                  {"memory", BenchMemory},
                                  {"idle", BenchIdle},
                                  {"scaling", BenchScaling}};
    std::vector<std::string> ran;
    for (const Scenario& s : scenarios) {
        if (ok && ScenarioWanted(o, s.name)) {
            ok = s.run(o, results);
            ran.push_back(s.name);
        }
    }
    if (ok && !o.only.empty() && results.figures.empty()) {
        std::fprintf(stderr,
                     "serlynx bench: no figure is named like \"%s\" (names: serlynx bench "
                     "--help)\n",
                     o.only.c_str());
        ok = false;
    }
    if (ok)
        Summary(results);
    cehost::SweepLeaks();
    run.complete = ok;
    run.status = ok ? 0 : 1;
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0) {
        run.counters = cehost::CountersReport();
        std::printf("platform counters: %s\n", run.counters.c_str());
        run.status = 1;
    }
    if (o.json.empty())
        return run.status;
    run.loadEnd = CurrentLoad();
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const std::string json = BenchJson(o, results, run, ran);
    std::fflush(stdout);
    if (jsonFd >= 0) {
        if (dup2(jsonFd, STDOUT_FILENO) < 0)
            return 1;
        close(jsonFd);
        jsonFile = stdout;
    }
    const bool written = std::fputs(json.c_str(), jsonFile) >= 0 && std::fflush(jsonFile) == 0 &&
                         !std::ferror(jsonFile);
    if ((jsonFile != stdout && std::fclose(jsonFile) != 0) || !written) {
        std::fprintf(stderr, "serlynx bench: cannot write %s\n",
                     jsonFile == stdout ? "the JSON to standard output" : o.json.c_str());
        return 1;
    }
    return run.status;
}

}  // namespace serlynx
