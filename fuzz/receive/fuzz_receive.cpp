// The receive path of every port type fed arbitrary transfers: packets of
// any length and content on the data endpoint (FTDI status pairs, type-4
// data), SERIAL_STATE notifications of any length on the status endpoint,
// stalls, and transfers completing with host errors. A reader drains the port
// meanwhile. On the bulk-only port, when nothing but data came, every byte
// sent must be read back in order.
#include <chrono>
#include <string_view>
#include <thread>
#include <vector>

#include "common/fuzz_support.h"

namespace {

using enum cehost::UsbHandshake;

constexpr DWORD kErrors[] = {
    USB_CRC_ERROR,          USB_STALL_ERROR,         USB_DEVICE_NOT_RESPONDING_ERROR,
    USB_DATA_OVERRUN_ERROR, USB_DATA_UNDERRUN_ERROR, USB_CANCELED_ERROR,
    USB_NOT_COMPLETE_ERROR, USB_CLIENT_BUFFER_ERROR};

// Reads whatever the ring holds without waiting.
void Drain(HANDLE h, std::vector<uint8_t>& got) {
    uint8_t buf[1024];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n != 0)
        got.insert(got.end(), buf, buf + n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const int kind = in.U8() % fuzz::kModelKinds;
    fuzz::Fleet& fleet = fuzz::Fleet::Get();
    HANDLE h = fleet.handles[kind];
    fuzz::ScriptedModel& model = *fleet.models[kind];
    const sim::DataPath path = badtest::Path(fuzz::kKinds[kind]);
    const uint8_t dataIn = path.dataIn, statusIn = path.statusIn;
    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(h, &immediate);
    std::vector<uint8_t> sent, got;
    // What an earlier input's last transfers brought is read until 5 ms
    // pass without a byte, before this input counts bytes.
    for (int quiet = 0; quiet < 5; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        const size_t before = got.size();
        Drain(h, got);
        quiet = got.size() == before ? quiet + 1 : 0;
    }
    got.clear();
    bool onlyData = true;
    for (int step = 0; step < 64 && !in.Empty(); ++step) {
        const uint8_t op = in.U8();
        if (op % 8 == 5 || op % 8 == 6) {
            // A status packet (or, without a status endpoint, a data one).
            model.Script(statusIn ? statusIn : dataIn, fuzz::InStep{kAck, in.Chunk()});
            onlyData = false;
        } else if (op % 8 == 7) {
            const uint8_t which = in.U8(), ep = (which & 1) && statusIn ? statusIn : dataIn;
            if (which & 2)
                model.Script(ep, fuzz::InStep{kStall, {}});
            else
                fleet.bus->CompleteWithError(fleet.ids[kind], {ep, cehost::kAnyRequest},
                                             kErrors[(which >> 2) % 8], 1);
            onlyData = false;
        } else {
            fuzz::Bytes packet = in.Chunk();
            // A device cannot send more than a packet at a time; the model
            // cuts longer ones, so only what fits counts as sent.
            if (op & 0x80 || packet.size() > path.inPacket)
                packet.resize(path.inPacket, op);  // full: the transfer goes on
            sent.insert(sent.end(), packet.begin(), packet.end());
            model.Script(dataIn, fuzz::InStep{kAck, std::move(packet)});
        }
        Drain(h, got);
    }
    // Let the device send what was scripted, reading as it comes.
    // A port that stopped polling (a halted pipe it gave up on) is given
    // 20 ms without progress, 1 s in all.
    auto lastProgress = std::chrono::steady_clock::now();
    const auto deadline = lastProgress + std::chrono::seconds(1);
    for (size_t pending = model.Pending(); pending != 0;) {
        Drain(h, got);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        const auto now = std::chrono::steady_clock::now();
        const size_t left = model.Pending();
        if (left < pending)
            lastProgress = now;
        pending = left;
        if (now > deadline || now - lastProgress > std::chrono::milliseconds(20))
            break;
    }
    const bool allSent = model.Pending() == 0;
    Drain(h, got);
    model.DropScript();
    fleet.bus->ClearFaults(fleet.ids[kind]);

    if (std::string_view(fuzz::kKinds[kind]) == "bulk" && onlyData && allSent) {
        // A transfer of the bulk-only port ends at its first short packet; the
        // driver queues the next at once, so all bytes arrive. Wait a little
        // longer for the tail.
        for (int i = 0; i < 100 && got.size() < sent.size(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            Drain(h, got);
        }
        if (got != sent)
            fuzz::Finding("bulk port: %zu bytes sent, %zu read%s", sent.size(), got.size(),
                          got.size() == sent.size() ? " (different)" : "");
    }
    fleet.CheckAfterInput(kind);
    return 0;
}
