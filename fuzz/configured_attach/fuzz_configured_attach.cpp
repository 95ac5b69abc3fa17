// The configured attach on arbitrary registry values: a device of each kind
// is plugged once (its first attach writes the device key), the input then
// rewrites, retypes or deletes values of that key, and the device is plugged
// again. When the driver serves it, the port is opened, used and closed.
// Every input ends with the device unplugged and the platform's misuse and
// leak counters at 0.
//
// Input: the device kind, then per value a name selector, a type and the
// value's bytes (length-prefixed).
#include <iterator>

#include "cehost/regfile.h"
#include "common/fuzz_support.h"
#include "platform.h"

namespace {

// The driver's value names, the device manager's, and an empty name.
const char16_t* const kNames[] = {
    kValueClassEndp,     kValueReceiveEndp,  kValueSendEndp, kValueUsbMode, kValuePriority256,
    kValueReceiveBuffer, kValueFriendlyName, kValuePrefix,   kValueDll,     kValueDeviceType,
    kValueTsp,           u"Index",           u"Order",       u"IClass",     u"",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    auto model = badtest::MakeChip(fuzz::kKinds[in.U8() % fuzz::kModelKinds]);
    fuzz::AttachAndUse(
        model,
        [&](const std::u16string& key) {
            for (int v = 0; v < 12 && !in.Empty(); ++v) {
                const uint8_t sel = in.U8();
                const char16_t* name = kNames[(sel & 0x7F) % std::size(kNames)];
                const uint8_t type = in.U8();
                fuzz::Bytes value = in.Chunk();
                HKEY k = nullptr;
                if (!(sel & 0x80)) {
                    cehost::RegWrite(key, name, type % 12, value);
                } else if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &k) ==
                           ERROR_SUCCESS) {
                    RegDeleteValue(k, name);
                    RegCloseKey(k);
                }
            }
        },
        "configured attach");
    return 0;
}
