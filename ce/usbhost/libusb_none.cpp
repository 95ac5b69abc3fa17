// A build without libusb: a bus of real devices opens none.
#include "cehost/usb_real.h"
#include "usbhost/host.h"

namespace cehost {
namespace {

class NoEngine : public UsbEngine {
  public:
    bool Open(UsbDevice& d) override {
        if (auto* m = dynamic_cast<RealUsbDeviceModel*>(d.model.get()))
            m->SetError(RealUsbError::kUnsupported, "built without libusb-1.0");
        return false;
    }
    void StartLocked(const std::shared_ptr<UsbTransfer>&) override {}
    bool CancelLocked(const std::shared_ptr<UsbTransfer>&, DWORD) override { return false; }
    void Release(UsbDevice&) override {}
    void Stop() override {}
};

}  // namespace

std::unique_ptr<UsbEngine> MakeRealUsbEngine(UsbBusImpl&) {
    return std::make_unique<NoEngine>();
}

bool RealUsbSupported() {
    return false;
}

}  // namespace cehost
