// COM_IOControl with arbitrary codes, lengths and buffers (null ones
// included) on an open handle of every port type, through the application
// API. Input: the port kind, then per call a code selector, buffer flags and
// the input and output lengths, the input bytes following.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common/fuzz_support.h"

namespace {

constexpr DWORD kSerialFamily = 0x001B0000;
constexpr DWORD kWaitOnMaskFunction = 11;

// Ends a comm-event wait that nothing would end: setting the mask again
// aborts it.
void AbortWaitSoon(HANDLE h, std::chrono::milliseconds after) {
    std::this_thread::sleep_for(after);
    DWORD mask = 0;
    GetCommMask(h, &mask);
    SetCommMask(h, mask);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const int kind = in.U8() % fuzz::kModelKinds;
    fuzz::Fleet& fleet = fuzz::Fleet::Get();
    HANDLE h = fleet.Handle(kind);
    for (int call = 0; call < 32 && !in.Empty(); ++call) {
        const uint8_t sel = in.U8();
        DWORD code = sel < 224 ? kSerialFamily | (static_cast<DWORD>(sel % 26) << 2) : in.U32();
        const uint8_t flags = in.U8();
        std::vector<uint8_t> inBuf(in.U8());
        std::vector<uint8_t> outBuf(in.U8(), 0xA5);
        fuzz::Bytes bytes = in.Take(inBuf.size());
        std::copy(bytes.begin(), bytes.end(), inBuf.begin());
        DWORD actual = 0xFFFFFFFF;
        std::thread aborter;
        if ((code & 0xFFFFC003) == kSerialFamily && ((code >> 2) & 0xFFF) == kWaitOnMaskFunction)
            aborter = std::thread(AbortWaitSoon, h, std::chrono::milliseconds(5));
        DeviceIoControl(h, code, (flags & 1) ? nullptr : inBuf.data(),
                        static_cast<DWORD>(inBuf.size()), (flags & 2) ? nullptr : outBuf.data(),
                        static_cast<DWORD>(outBuf.size()), (flags & 4) ? nullptr : &actual,
                        nullptr);
        if (aborter.joinable())
            aborter.join();
        if (!(flags & 4) && actual != 0xFFFFFFFF && actual > outBuf.size()) {
            std::fprintf(stderr, "fuzz: code %#x reported %u bytes out of a %zu-byte buffer\n",
                         code, actual, outBuf.size());
            std::abort();
        }
    }
    fleet.CheckAfterInput(kind);
    return 0;
}
