// Throughput of paced lines through the whole stack: two ports (an FTDI
// chip as COM1:, a CDC chip as COM2:) joined by a paced null modem, both
// sending a numbered stream at once with RTS/CTS handshaking, and readers
// that take everything as it comes. Prints characters per second each way
// against the line's ceiling (115200 8N1: 11,520/s) and checks that every
// byte arrived in order.
//
// Usage: bench_lines [bytes each way, default 100000] [baud ...]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "ce/sync.h"
#include "cehost/core.h"
#include "cehost/counters.h"
#include "cehost/usb_bus.h"
#include "sim/cdc_model.h"
#include "sim/ftdi_model.h"
#include "sim/serial_line.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Numbered(size_t n, size_t offset) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>((i + offset) % 251);
    return b;
}

HANDLE OpenPort(const char16_t* name, DWORD baud) {
    HANDLE h =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    SetCommState(h, &dcb);
    COMMTIMEOUTS t{MAXDWORD, 0, 100, 0, 60000};
    SetCommTimeouts(h, &t);
    return h;
}

struct Direction {
    Bytes sent, got;
    double seconds = 0;
};

bool Serve(cehost::UsbBus& bus, std::shared_ptr<cehost::UsbDeviceModel> model) {
    if (!cehost::UsbInstallClient(u"serlynx.dll"))
        return false;
    const cehost::UsbDeviceId first = bus.Plug(model);
    return first != 0 && bus.Replug(first) != 0;
}

bool Run(DWORD baud, size_t bytes) {
    cehost::ResetPlatform();
    auto cable = sim::NullModem::Create(sim::LinePacing{true, 128});
    sim::FtdiModelConfig fc = sim::FtdiModelConfig::FullSpeed();
    fc.rxFifo = 256;
    sim::CdcModelConfig cc = sim::CdcCtsChipConfig();
    cc.rxFifo = 256;
    auto ftdi = std::make_shared<sim::FtdiModel>(fc, cable->EndA());
    auto cdc = std::make_shared<sim::CdcModel>(cc, cable->EndB());
    bool ok = true;
    {
        cehost::UsbBus bus;
        bus.SetLogging(false);
        if (!Serve(bus, ftdi) || !Serve(bus, cdc)) {
            std::printf("could not serve the devices\n");
            return false;
        }
        HANDLE a = OpenPort(u"COM1:", baud), b = OpenPort(u"COM2:", baud);
        if (a == INVALID_HANDLE_VALUE || b == INVALID_HANDLE_VALUE) {
            std::printf("could not open the ports\n");
            return false;
        }
        Direction ab, ba;
        ab.sent = Numbered(bytes, 0);
        ba.sent = Numbered(bytes, 100);
        const auto start = std::chrono::steady_clock::now();
        auto writer = [](HANDLE h, const Bytes& out) {
            size_t done = 0;
            while (done < out.size()) {
                DWORD w = 0;
                const DWORD n = static_cast<DWORD>(std::min<size_t>(4096, out.size() - done));
                if (!WriteFile(h, out.data() + done, n, &w, nullptr) || w == 0)
                    break;
                done += w;
            }
        };
        auto reader = [start](HANDLE h, Direction& d) {
            auto idleSince = std::chrono::steady_clock::now();
            Bytes buf(4096);
            while (d.got.size() < d.sent.size() &&
                   std::chrono::steady_clock::now() - idleSince < std::chrono::seconds(5)) {
                DWORD n = 0;
                if (!ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr))
                    break;
                if (n == 0)
                    continue;
                idleSince = std::chrono::steady_clock::now();
                d.got.insert(d.got.end(), buf.begin(), buf.begin() + n);
            }
            d.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        std::thread wa(writer, a, std::cref(ab.sent)), wb(writer, b, std::cref(ba.sent));
        std::thread ra(reader, a, std::ref(ba)), rb(reader, b, std::ref(ab));
        wa.join();
        wb.join();
        ra.join();
        rb.join();
        const double ceiling = baud / 10.0;
        for (auto [name, d] : {std::pair{"FTDI->CDC", &ab}, std::pair{"CDC->FTDI", &ba}}) {
            const bool exact = d->got == d->sent;
            ok = ok && exact;
            const double rate = d->got.size() / d->seconds;
            std::printf("%7lu Bd %s: %zu bytes in %.3f s = %.0f chars/s (%.1f%% of %.0f) %s\n",
                        static_cast<unsigned long>(baud), name, d->got.size(), d->seconds, rate,
                        100.0 * rate / ceiling, ceiling, exact ? "exact" : "MISMATCH");
        }
        CloseHandle(a);
        CloseHandle(b);
    }
    cehost::SweepLeaks();
    if (cehost::MisuseTotal() != 0 || cehost::LeakTotal() != 0) {
        std::printf("%s\n", cehost::CountersReport().c_str());
        ok = false;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t bytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    std::vector<DWORD> rates;
    for (int i = 2; i < argc; ++i)
        rates.push_back(static_cast<DWORD>(std::strtoul(argv[i], nullptr, 10)));
    if (rates.empty())
        rates = {115200, 460800};
    bool ok = true;
    for (DWORD baud : rates)
        ok = Run(baud, bytes) && ok;
    return ok ? 0 : 1;
}
