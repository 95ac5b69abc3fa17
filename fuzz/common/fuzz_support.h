// Pieces shared by the fuzz targets: a reader over the fuzzer's bytes, the
// report of a finding, the served-port set-up (driver installed, device
// plugged for its first attach and plugged again for the configured one,
// "COM1:" open) and the end-of-input checks that turn a platform misuse or
// leak into a finding.
//
// Threads: everything here runs on the fuzzer's thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bad_inputs/chips.h"
#include "ce/windows.h"
#include "cehost/usb_bus.h"
#include "cehost/usb_device_model.h"
#include "common/scripted_model.h"
#include "common/serve.h"

namespace fuzz {

using cehost::Bytes;

// Takes values from the front of the input; past its end every value is 0
// and every byte string empty.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t U8() { return Empty() ? 0 : data_[pos_++]; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    Bytes Take(size_t n) {
        const size_t from = pos_;
        pos_ = std::min(size_, pos_ + n);
        return Bytes(data_ + from, data_ + pos_);
    }
    // A length-prefixed byte string (one length byte).
    Bytes Chunk() { return Take(U8()); }

  private:
    const uint8_t* data_;
    size_t size_, pos_ = 0;
};

// Reports a finding ("fuzz: " and the printf-style text) and aborts.
[[noreturn]] void Finding(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The scripted device model is the tests' own (tests/common).
using testfix::InStep;
using testfix::ScriptedModel;

// Loads the driver library once for the whole run, so that its coverage
// counters stay registered while the emulated loader loads and releases it
// around every plug.
void KeepDriverLoaded();

// A finding when the platform counted a misuse or leak; sweeps for
// leftovers first. `what` names the input's stage in the report.
void CheckCounters(const char* what);

// With the driver kept loaded, on a platform brought back to its start: the
// driver installed, `model` plugged for its first attach, `between` run with
// the device key's path, and the device plugged again. When the configured
// attach serves it, its port is opened, moved a few bytes through (a
// GetCommState and SetCommState, a write, a read that returns at once) and
// closed; the device is unplugged and the counters checked.
void AttachAndUse(const std::shared_ptr<cehost::UsbDeviceModel>& model,
                  const std::function<void(const std::u16string& key)>& between, const char* what);

// The devices the targets plug, by number (an input's kind byte picks one):
// models of the catalog (badtest::MakeChip), with a loopback plug behind
// each serial channel.
// The order stays, so that the corpora keep their meaning.
constexpr const char* kKinds[] = {"bulk",         "cdc-acm",         "cdc-cts",
                                  "cdc-nocoding", "cdc-two-channel", "ftdi",
                                  "ftdi-hs",      "ftdi-header",     "rcs310"};
constexpr int kModelKinds = sizeof kKinds / sizeof kKinds[0];

// One device of every kind, each behind a ScriptedModel, all served on one
// bus as "COM1:" to "COM9:" (kind k is COM<k+1>), with a handle open on each.
// Built on first use and kept for the whole run.
struct Fleet {
    static Fleet& Get();
    // The end-of-input checks of a target that used the kind's port: no
    // misuse counted, and the port opens again (the last close and the first
    // open bring its settings back to their defaults); a finding otherwise.
    void CheckAfterInput(int kind);

    std::unique_ptr<cehost::UsbBus> bus;
    std::shared_ptr<ScriptedModel> models[kModelKinds];
    cehost::UsbDeviceId ids[kModelKinds] = {};
    HANDLE handles[kModelKinds] = {};

  private:
    Fleet();
};

}  // namespace fuzz
