// COM_IOControl with arbitrary codes, lengths and buffers (null ones
// included) on an open handle of every port type, through the application
// API. Input: the port kind, then per call a code selector, buffer flags and
// the input and output lengths, the input bytes following.
//
// The codes and buffer sizes are the driver's own request table
// (driver/stream/requests.h): a selector below 224 picks function number
// selector % (requests + 3), so that 0 and the two numbers past the last
// request are tried too; flag 8 cuts or pads the buffers (zeros) to the
// request's sizes, flag 16 then makes them one byte short. A request whose buffers break
// its rule must be refused with ERROR_INVALID_PARAMETER (its count 0), or
// with ERROR_INVALID_HANDLE once a process-exit notice cut the handle loose.
#include <algorithm>
#include <chrono>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

#include "ce/thread.h"
#include "common/fuzz_support.h"
#include "driver/stream/requests.h"

namespace {

constexpr DWORD kSerialFamily = 0x001B0000;
constexpr DWORD kRequests = std::size(kSerialRequestRules);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const int kind = in.U8() % fuzz::kModelKinds;
    fuzz::Fleet& fleet = fuzz::Fleet::Get();
    HANDLE h = fleet.handles[kind];
    for (int call = 0; call < 32 && !in.Empty(); ++call) {
        const uint8_t sel = in.U8();
        DWORD code =
            sel < 224 ? kSerialFamily | (static_cast<DWORD>(sel % (kRequests + 3)) << 2) : in.U32();
        const SerialRequestRule* rule = nullptr;
        for (const SerialRequestRule& r : kSerialRequestRules)
            rule = r.code == code ? &r : rule;
        const uint8_t flags = in.U8(), inSize = in.U8();
        std::vector<uint8_t> outBuf(in.U8(), 0xA5), inBuf = in.Take(inSize);
        inBuf.resize(inSize);
        if ((flags & 8) && rule != nullptr) {
            const DWORD shorter = (flags & 16) ? 1 : 0;
            inBuf.resize(rule->inSize >= shorter ? rule->inSize - shorter : 0);
            outBuf.resize(rule->outSize >= shorter ? rule->outSize - shorter : 0, 0xA5);
        }
        const DWORD inLength = static_cast<DWORD>(inBuf.size());
        const DWORD outLength = static_cast<DWORD>(outBuf.size());
        const bool nullIn = flags & 1, nullOut = flags & 2, nullCount = flags & 4;
        DWORD actual = 0xFFFFFFFF;
        // A comm-event wait that nothing else would end is ended by setting the
        // mask again (the future joins at the end of the call's turn).
        std::future<void> aborter;
        if (code == IOCTL_SERIAL_WAIT_ON_MASK)
            aborter = std::async(std::launch::async, [h] {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                DWORD mask = 0;
                GetCommMask(h, &mask);
                SetCommMask(h, mask);
            });
        SetLastError(0);
        const BOOL ok = DeviceIoControl(h, code, nullIn ? nullptr : inBuf.data(), inLength,
                                        nullOut ? nullptr : outBuf.data(), outLength,
                                        nullCount ? nullptr : &actual, nullptr);
        const DWORD error = GetLastError();
        const unsigned c = code;
        if (!nullCount && actual != 0xFFFFFFFF && actual > outBuf.size())
            fuzz::Finding("code %#x: more bytes reported than the output buffer holds", c);
        const bool broken =
            rule != nullptr &&
            ((rule->inSize != 0 && (nullIn || inLength < rule->inSize)) ||
             (rule->outSize != 0 && (nullOut || nullCount || outLength < rule->outSize)));
        if (!broken)
            continue;
        if (ok)
            fuzz::Finding("code %#x: buffers that break the request's rule were taken", c);
        if (error != ERROR_INVALID_HANDLE && error != ERROR_INVALID_PARAMETER)
            fuzz::Finding("code %#x: broken buffers not refused as invalid", c);
        if (error != ERROR_INVALID_HANDLE && rule->outSize != 0 && !nullCount && actual != 0)
            fuzz::Finding("code %#x: a refused request left a count", c);
    }
    fleet.CheckAfterInput(kind);
    return 0;
}
