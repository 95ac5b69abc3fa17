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
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cehost/usb_bus.h"
#include "common/fuzz_support.h"

namespace {

// With SERLYNX_FUZZ_SEEDS=<dir>, writes one seed per device model (its own
// descriptors and strings, in the input's layout) and exits.
void WriteSeeds(const char* dir) {
    for (int k = 0; k < fuzz::kModelKinds; ++k) {
        auto model = fuzz::MakeModel(k);
        fuzz::Bytes seed = model->DeviceDescriptor();
        seed.resize(18);
        fuzz::Bytes config = model->ConfigurationDescriptor(0);
        seed.push_back(static_cast<uint8_t>(config.size()));
        seed.push_back(static_cast<uint8_t>(config.size() >> 8));
        seed.insert(seed.end(), config.begin(), config.end());
        for (uint8_t i = 0; i < 4; ++i) {
            fuzz::Bytes s = model->StringDescriptor(i, 0x0409);
            if (s.size() > 255)
                s.resize(255);
            seed.push_back(static_cast<uint8_t>(s.size()));
            seed.insert(seed.end(), s.begin(), s.end());
        }
        seed.push_back(0);
        std::string path = std::string(dir) + "/model-" + std::to_string(k);
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(seed.data(), 1, seed.size(), f) != seed.size())
            std::abort();
        std::fclose(f);
    }
    std::exit(0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("SERLYNX_FUZZ_SEEDS"))
        WriteSeeds(dir);
    fuzz::KeepDriverLoaded();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    fuzz::Bytes device = in.Take(18);
    fuzz::Bytes config = in.Take(in.U16() % 1024);
    auto model = std::make_shared<fuzz::ScriptedModel>();
    for (uint8_t i = 0; i < 4; ++i) {
        fuzz::Bytes s = in.Chunk();
        if (!s.empty())
            model->SetString(i, std::move(s));
    }
    const uint8_t fix = in.U8();
    // Most inputs keep the framing bytes right so that the parsers get past
    // them; the rest test the framing itself.
    if (!(fix & 1)) {
        device.resize(18);
        device[0] = 18;
        device[1] = 1;
        if (config.size() >= 4) {
            config[1] = 2;
            config[2] = static_cast<uint8_t>(config.size());
            config[3] = static_cast<uint8_t>(config.size() >> 8);
        }
    }
    model->SetDescriptors(device, config);

    fuzz::Reset();
    {
        cehost::UsbBus bus;
        cehost::UsbDeviceId id = 0;
        if (fuzz::Serve(bus, model, &id)) {
            HANDLE h = fuzz::OpenCom();
            if (h != INVALID_HANDLE_VALUE && h != nullptr) {
                DCB dcb{};
                dcb.DCBlength = sizeof dcb;
                GetCommState(h, &dcb);
                SetCommState(h, &dcb);
                fuzz::ExerciseAndClose(h);
            }
        }
    }  // the bus unplugs every device
    fuzz::CheckCounters("first attach");
    return 0;
}
