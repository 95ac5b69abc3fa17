// Real USB devices of the Linux machine the platform runs on.
//
// A bus made with UsbTiming::kReal serves real devices through libusb-1.0
// instead of simulating them: plug it a RealUsbDeviceModel and the client
// drivers see the same function table, client loading, attach and removal
// as on a simulated bus, while every transfer goes to the device. Plugging
// opens the device's usbfs node, detaches the kernel's own drivers from its
// interfaces and claims them; unplugging (or the device going away) ends
// what is in flight, tells the client, and gives the interfaces back to the
// kernel's drivers.
//
// Devices are found through sysfs (/sys/bus/usb/devices), which everyone
// may read: listing and describing them needs no permission, opening one
// needs read-write access to its node under /dev/bus/usb.
//
// Threads: the functions here may be called from any thread.
// RealUsbDeviceModel's error is written by the bus while Plug runs and read
// by the caller after it returned.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cehost/usb_device_model.h"

namespace cehost {

// A connected device as sysfs shows it.
struct RealUsbDevice {
    std::string port;  // sysfs name: "1-2.3" is bus 1, port 2, then port 3
    int bus = 0;
    int address = 0;
    uint16_t vendor = 0, product = 0, release = 0;
    std::string manufacturer, productName, serial;
    std::string speed;  // "12", "480"... (Mbit/s) as sysfs gives it
    std::string node;   // "/dev/bus/usb/001/004"
    // The device descriptor, then every configuration's descriptors.
    Bytes descriptors;
    // "1-2:1.0 ftdi_sio" for every interface a kernel driver is bound to.
    std::vector<std::string> drivers;
};

// Every device under `sysfsRoot` but the root hubs, by bus then port.
std::vector<RealUsbDevice> ListRealUsbDevices(
    const std::string& sysfsRoot = "/sys/bus/usb/devices");
// Reads one device (a sysfs name such as "1-2"); false when it is not there.
bool ReadRealUsbDevice(const std::string& sysfsRoot, const std::string& name,
                       RealUsbDevice* device);

// Which device a user means: "VID:PID" (hexadecimal), "VID:PID@PORT" (the
// device on that sysfs port, e.g. 1-2.3) or "VID:PID#N" (the Nth of the
// devices with those ids, counted from 1 in bus and port order).
struct RealUsbSelector {
    uint16_t vendor = 0, product = 0;
    std::string port;
    int index = 0;  // 0: not given
};
bool ParseRealUsbSelector(const std::string& text, RealUsbSelector* selector, std::string* error);
// The device the selector names, or -1 with `error` saying what is
// connected instead (none with these ids, or several and how to pick one).
int SelectRealUsbDevice(const std::vector<RealUsbDevice>& devices, const RealUsbSelector& selector,
                        std::string* error);
// "0403:6001 at 1-2 (/dev/bus/usb/001/004), FTDI \"USB Serial\""
std::string DescribeRealUsbDevice(const RealUsbDevice& device);

enum class RealUsbError {
    kNone,
    kNoPermission,  // the usbfs node cannot be opened read-write
    kBusy,          // another program has claimed an interface
    kNotFound,      // no such device is connected
    kGone,          // the device went away while it was being opened
    kUnsupported,   // this build has no libusb, or libusb failed to start
    kFailed,        // anything else (the detail says what)
};
// One paragraph: what went wrong with `device` and what to do about it.
std::string RealUsbErrorText(RealUsbError error, const RealUsbDevice& device,
                             const std::string& detail);

// A real device to plug on a kReal bus. Its descriptors (and string texts)
// are those sysfs gives, so it can also stand on a simulated bus as a
// device that has descriptors but moves no data (to see what a first
// attach makes of it without touching the device).
class RealUsbDeviceModel : public UsbDeviceModel {
  public:
    explicit RealUsbDeviceModel(RealUsbDevice device);
    const RealUsbDevice& Device() const { return device_; }

    Bytes DeviceDescriptor() override;
    Bytes ConfigurationDescriptor(uint8_t index) override;
    Bytes StringDescriptor(uint8_t index, uint16_t language) override;
    std::string Name() const override;

    // Why the last Plug of this device on a kReal bus failed.
    RealUsbError Error() const;
    std::string ErrorText() const;
    void SetError(RealUsbError error, const std::string& detail);

  private:
    const RealUsbDevice device_;
    mutable std::mutex mu_;
    RealUsbError error_ = RealUsbError::kNone;  // mu_
    std::string detail_;                        // mu_
};

// True when this build can serve real devices (it was built with libusb).
bool RealUsbSupported();

// How a transfer ended on a real device, as the host's USB stack reports it.
enum class RealTransferEnd {
    kCompleted,
    kError,
    kTimedOut,
    kCancelled,
    kStall,
    kNoDevice,
    kOverflow
};
// The error code the client then reads from GetTransferStatus, the same as
// the simulated bus gives for that outcome: `moved` of `length` bytes,
// `flags` as issued, `cancelError` what a client ended it early with (abort
// or close: USB_CANCELED_ERROR; removal: USB_DEVICE_GONE_ERROR).
DWORD RealTransferError(RealTransferEnd how, bool in, bool control, uint32_t moved, uint32_t length,
                        DWORD flags, DWORD cancelError);

}  // namespace cehost
