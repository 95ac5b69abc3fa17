// The first attach after installation on arbitrary devices: device and
// configuration descriptors and string descriptors as the input gives them.
// When the first attach wrote a device key, the device is plugged again for
// its configured attach and, when served, opened, used briefly and closed.
// Every input ends with the device unplugged and the platform's misuse and
// leak counters at 0.
//
// Input: device descriptor (18 bytes), configuration length (2 bytes) and
// bytes, then string descriptors 0 to 3 (length-prefixed), then the byte
// that tells whether to fix the descriptors' length and type bytes.
#include "common/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    fuzz::Bytes device = in.Take(18);
    fuzz::Bytes config = in.Take(in.U16() % 1024);
    auto model = std::make_shared<fuzz::ScriptedModel>();
    for (uint8_t i = 0; i < 4; ++i)
        model->SetString(i, in.Chunk());  // an empty one: no such string
    // Most inputs keep the framing bytes right so that the parsers get past
    // them; the rest test the framing itself.
    if (!(in.U8() & 1)) {
        device.resize(18);
        device[0] = 18, device[1] = 1;
        if (config.size() >= 4)
            config[1] = 2;
        config = testfix::FixTotalLength(std::move(config));
    }
    model->SetDescriptors(device, config);
    fuzz::AttachAndUse(model, nullptr, "first attach");
    return 0;
}
